// DecodeChunk's single allocation: refused allocation, and no heap block
// left behind on any path.
#include <gtest/gtest.h>

#include "tests/standin/testing.h"
#include "testdata.h"

namespace {

const testdata::Bytes kAbcMember = {0x1F, 0x8B, 0x08, 0x01, 0x03, 0x00, 0xFC, 0xFF, 0x61, 0x62,
                                    0x63, 0xC2, 0x41, 0x24, 0x35, 0x03, 0x00, 0x00, 0x00};

TEST(DecodeChunkHeap, AllocationFailureGivesMinusTwoAndLengthZero) {
    PlatformReset();
    size_t before = PlatformLiveHeapBlocks();
    PlatformFailNth(FAULT_ALLOC, 1);
    testdata::Decoded d = testdata::Decode(kAbcMember, 64);
    EXPECT_EQ(d.result, -2);
    EXPECT_EQ(d.length, 0u);
    for (uint8_t b : d.output) {
        ASSERT_EQ(b, testdata::kFill);
    }
    EXPECT_EQ(PlatformLiveHeapBlocks(), before);
    PlatformReset();
    // The next call allocates normally again.
    EXPECT_EQ(testdata::Decode(kAbcMember, 64).result, 8);
}

// The capacity test comes before the allocation: nothing is allocated.
TEST(DecodeChunkHeap, CapacityBelowInputAllocatesNothing) {
    PlatformReset();
    testdata::Decode(kAbcMember, 18);
    EXPECT_EQ(PlatformCallCount(FAULT_ALLOC), 0u);
}

// Success and failure paths, through stored, fixed and dynamic blocks
// (tables included), leave the number of live heap blocks as it was.
TEST(DecodeChunkHeap, NoBlockLeftOnAnyPath) {
    testdata::Bytes content = testdata::TextBytes(70000, 3);
    std::vector<testdata::Bytes> members;
    for (int level : {0, 1, 9}) {
        for (int strategy : {0, 4}) {
            members.push_back(
                testdata::FrameMember(testdata::ZlibDeflateRaw(content, level, strategy), content));
        }
    }
    size_t before = PlatformLiveHeapBlocks();
    for (const testdata::Bytes& m : members) {
        uint32_t cap = 80000;
        EXPECT_EQ(testdata::Decode(m, cap).result, 8);
        for (size_t cut : {m.size() / 3, m.size() / 2, m.size() - 9}) {
            testdata::Bytes part(m.begin(), m.begin() + cut);
            part.insert(part.end(), {0, 0, 0, 0});
            EXPECT_LT(testdata::Decode(part, cap).result, 1);
        }
        testdata::Bytes flipped = m;
        flipped[m.size() / 2] ^= 0x10;
        testdata::Decode(flipped, cap);
        EXPECT_EQ(PlatformLiveHeapBlocks(), before);
    }
}

}  // namespace
