// The builder's heap use, counted by the POSIX stand-in: one block per table,
// none for codes without tables or with over-subscribed lengths, and every
// block released again when an allocation fails part-way through a build.
#include "huffman_support.h"
#include "platform/posix/testing.h"

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

// Fails the nth allocation for every n up to the number of tables: each
// attempt returns 3 with no block left; one more than that succeeds.
TEST_P(HuffmanOutOfMemory, EachTableFailureReleasesEverything) {
    const Code& c = GetParam();
    PlatformReset();
    size_t before = PlatformLiveHeapBlocks();
    HuffEntry* head = nullptr;
    int lookup = c.wanted;
    ASSERT_LE(BuildHuffmanTable(c.lengths.data(), (unsigned)c.lengths.size(), c.simple_count,
                                c.bases, c.extras, &head, &lookup),
              HUFF_INCOMPLETE);
    size_t tables = ChainTables(head).size();
    ASSERT_EQ(PlatformLiveHeapBlocks(), before + tables);
    ASSERT_GT(tables, 1u);
    FreeHuffmanTables(head);
    ASSERT_EQ(PlatformLiveHeapBlocks(), before);

    for (unsigned n = 1; n <= tables; n++) {
        PlatformFailNth(FAULT_ALLOC, n);
        lookup = c.wanted;
        int result = BuildHuffmanTable(c.lengths.data(), (unsigned)c.lengths.size(), c.simple_count,
                                       c.bases, c.extras, &head, &lookup);
        EXPECT_EQ(result, HUFF_NO_MEMORY) << "failing allocation " << n;
        EXPECT_EQ(PlatformLiveHeapBlocks(), before) << "failing allocation " << n;
        PlatformFailNth(FAULT_ALLOC, 0);
    }
    PlatformFailNth(FAULT_ALLOC, tables + 1);
    lookup = c.wanted;
    int result = BuildHuffmanTable(c.lengths.data(), (unsigned)c.lengths.size(), c.simple_count,
                                   c.bases, c.extras, &head, &lookup);
    PlatformFailNth(FAULT_ALLOC, 0);
    ASSERT_LE(result, HUFF_INCOMPLETE);
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

// One block per table: the count after a build is the chain's length.
TEST(HuffmanHeap, OneBlockPerChainedTable) {
    PlatformReset();
    size_t before = PlatformLiveHeapBlocks();
    std::vector<unsigned> lengths(30, 5);
    HuffEntry* head = nullptr;
    int lookup = 5;
    ASSERT_EQ(BuildHuffmanTable(lengths.data(), 30, 0, kDistBase, kDistExtra, &head, &lookup),
              HUFF_INCOMPLETE);
    EXPECT_EQ(PlatformCallCount(FAULT_ALLOC), 1u);
    EXPECT_EQ(PlatformLiveHeapBlocks(), before + 1);
    FreeHuffmanTables(head);
    EXPECT_EQ(PlatformLiveHeapBlocks(), before);
}

}  // namespace
