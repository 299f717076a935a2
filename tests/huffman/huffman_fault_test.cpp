// The builder's heap use, counted by the POSIX stand-in: one block per build
// whatever the number of tables, none for codes without tables or with
// over-subscribed lengths, and none left when that block is refused.
#include "huffman_support.h"
#include "tests/standin/testing.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

using namespace huffman_test;

namespace {

struct Code {
    const char* name;
    std::vector<unsigned> lengths;
    unsigned simple_count;
    const uint16_t* bases;
    const uint16_t* extras;
    int wanted;
};

std::vector<unsigned> DeepDistance() {
    std::vector<unsigned> lengths(30, 0);
    for (unsigned s = 0; s < 15; s++) {
        lengths[s] = s + 1;
    }
    lengths[15] = 15;
    return lengths;
}

const Code kMultiTable[] = {
    {"fixed_literal_length", FixedLiteralLengths(), 257, kLengthBase, kLengthExtra, 7},
    {"deep_distance", DeepDistance(), 0, kDistBase, kDistExtra, 6},
    {"incomplete_jump", {1, 0, 15}, 0, kDistBase, kDistExtra, 6},
};

std::ostream& operator<<(std::ostream& out, const Code& c) {
    return out << c.name;
}

class HuffmanOutOfMemory : public ::testing::TestWithParam<Code> {};

// A build of many tables takes exactly one block; when it is refused the
// result is 3, the head is not written and nothing is left; the next build
// succeeds again.
TEST_P(HuffmanOutOfMemory, RefusedBlockLeavesNothing) {
    const Code& c = GetParam();
    PlatformReset();
    size_t before = PlatformLiveHeapBlocks();
    HuffEntry* head = nullptr;
    int lookup = c.wanted;
    ASSERT_LE(BuildHuffmanTable(c.lengths.data(), (unsigned)c.lengths.size(), c.simple_count,
                                c.bases, c.extras, &head, &lookup),
              HUFF_INCOMPLETE);
    ASSERT_GT(LinkedTables(head, lookup).size(), 1u);
    EXPECT_EQ(PlatformCallCount(FAULT_ALLOC), 1u);
    EXPECT_EQ(PlatformLiveHeapBlocks(), before + 1);
    FreeHuffmanTables(head);
    ASSERT_EQ(PlatformLiveHeapBlocks(), before);

    PlatformFailNth(FAULT_ALLOC, 1);
    HuffEntry* refused = reinterpret_cast<HuffEntry*>(1);  // sentinel: not written
    lookup = c.wanted;
    EXPECT_EQ(BuildHuffmanTable(c.lengths.data(), (unsigned)c.lengths.size(), c.simple_count,
                                c.bases, c.extras, &refused, &lookup),
              HUFF_NO_MEMORY);
    EXPECT_EQ(refused, reinterpret_cast<HuffEntry*>(1));
    EXPECT_EQ(PlatformLiveHeapBlocks(), before);

    lookup = c.wanted;
    ASSERT_LE(BuildHuffmanTable(c.lengths.data(), (unsigned)c.lengths.size(), c.simple_count,
                                c.bases, c.extras, &head, &lookup),
              HUFF_INCOMPLETE);
    FreeHuffmanTables(head);
    EXPECT_EQ(PlatformLiveHeapBlocks(), before);
}

INSTANTIATE_TEST_SUITE_P(Codes, HuffmanOutOfMemory, ::testing::ValuesIn(kMultiTable),
                         [](const ::testing::TestParamInfo<Code>& info) {
                             return std::string(info.param.name);
                         });

// Codes that need no table, or are refused, take nothing from the heap.
struct NoTable {
    const char* name;
    std::vector<unsigned> lengths;
    int result;
};

std::ostream& operator<<(std::ostream& out, const NoTable& c) {
    return out << c.name;
}

class HuffmanNoAllocation : public ::testing::TestWithParam<NoTable> {};

TEST_P(HuffmanNoAllocation, HeapUntouched) {
    const NoTable& c = GetParam();
    PlatformReset();
    size_t before = PlatformLiveHeapBlocks();
    HuffEntry* head = nullptr;
    int lookup = 7;
    EXPECT_EQ(BuildHuffmanTable(c.lengths.data(), (unsigned)c.lengths.size(), 19, nullptr, nullptr,
                                &head, &lookup),
              c.result);
    EXPECT_EQ(PlatformCallCount(FAULT_ALLOC), 0u);
    EXPECT_EQ(PlatformLiveHeapBlocks(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, HuffmanNoAllocation,
    ::testing::Values(NoTable{"all_zero", std::vector<unsigned>(19, 0), HUFF_COMPLETE},
                      NoTable{"three_length_1", {1, 1, 1, 0, 0}, HUFF_OVERSUBSCRIBED},
                      NoTable{"late_oversubscription", {2, 2, 2, 3, 3, 4, 4}, HUFF_OVERSUBSCRIBED}),
    [](const ::testing::TestParamInfo<NoTable>& info) { return std::string(info.param.name); });

}  // namespace
