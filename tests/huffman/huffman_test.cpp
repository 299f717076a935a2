// The Huffman table builder on the codes whose table shapes are known: the
// two fixed codes, sub-tables several levels deep, and the small and degenerate
// codes that decide the builder's results and lookup bits.
#include "huffman_support.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <vector>

using namespace huffman_test;

namespace {

// Builds and releases around a test body.
struct Built {
    HuffEntry* head = reinterpret_cast<HuffEntry*>(1);  // sentinel: not written yet
    int lookup = 0;
    int result = -1;
    Built(const std::vector<unsigned>& lengths, unsigned simple, const uint16_t* bases,
          const uint16_t* extras, int wanted) {
        lookup = wanted;
        result = BuildHuffmanTable(lengths.data(), (unsigned)lengths.size(), simple, bases, extras,
                                   &head, &lookup);
    }
    ~Built() {
        if (result == HUFF_COMPLETE || result == HUFF_INCOMPLETE) {
            FreeHuffmanTables(head);
        }
    }
};

// Reads the code of `symbol` through the tables.
Lookup ReadCodeOf(const Built& b, const std::vector<unsigned>& lengths, unsigned symbol) {
    std::vector<uint32_t> codes = CanonicalCodes(lengths);
    return ReadSymbol(b.head, b.lookup, Reverse(codes[symbol], lengths[symbol]));
}

TEST(HuffmanFixed, LiteralLengthCodeHas104SubTablesAndInvalid286And287) {
    std::vector<unsigned> lengths = FixedLiteralLengths();
    Built b(lengths, 257, kLengthBase, kLengthExtra, 7);
    ASSERT_EQ(b.result, HUFF_COMPLETE);
    ASSERT_EQ(b.lookup, 7);

    std::map<const HuffEntry*, unsigned> linked = LinkedTables(b.head, b.lookup);
    ASSERT_EQ(linked.size(), 105u);
    EXPECT_TRUE(TilesBlock(b.head, linked));
    std::map<unsigned, int> sizes;  // sub-table entries -> how many
    for (const auto& [table, bits] : linked) {
        if (table != b.head) {
            sizes[1u << bits]++;
        }
    }
    EXPECT_EQ(sizes, (std::map<unsigned, int>{{2, 76}, {4, 28}}));

    for (unsigned symbol : {286u, 287u}) {
        EXPECT_TRUE(ReadCodeOf(b, lengths, symbol).invalid) << symbol;
    }
    // Spot checks of each kind of entry.
    Lookup lit = ReadCodeOf(b, lengths, 200);  // 9 bits: first level, then a 4-entry table
    EXPECT_EQ(lit.op, OP_LITERAL);
    EXPECT_EQ(lit.value, 200);
    EXPECT_EQ(lit.bits, 9u);
    Lookup eob = ReadCodeOf(b, lengths, 256);
    EXPECT_EQ(eob.op, OP_END_OF_BLOCK);
    EXPECT_EQ(eob.bits, 7u);
    Lookup len = ReadCodeOf(b, lengths, 284);  // base 227 with 5 extra bits
    EXPECT_EQ(len.op, 5);
    EXPECT_EQ(len.value, 227);
    EXPECT_EQ(len.bits, 8u);
}

TEST(HuffmanFixed, DistanceCodeIsIncompleteWithTwoInvalidPatterns) {
    std::vector<unsigned> lengths(30, 5);
    Built b(lengths, 0, kDistBase, kDistExtra, 5);
    ASSERT_EQ(b.result, HUFF_INCOMPLETE);
    ASSERT_EQ(b.lookup, 5);
    EXPECT_EQ(LinkedTables(b.head, b.lookup).size(), 1u);
    // 11110 and 11111, first code bit first, are 01111 and 11111 as indices.
    for (unsigned index = 0; index < 32; index++) {
        bool invalid = index == 0x0F || index == 0x1F;
        EXPECT_EQ(b.head[index].op == OP_INVALID, invalid) << index;
    }
    Lookup last = ReadCodeOf(b, lengths, 29);
    EXPECT_EQ(last.op, 13);
    EXPECT_EQ(last.value, 24577);
    EXPECT_EQ(last.bits, 5u);
}

TEST(HuffmanDeep, DistanceLengthsOneToFifteenLinkTwoLevelsDeep) {
    std::vector<unsigned> lengths(30, 0);
    for (unsigned s = 0; s < 15; s++) {
        lengths[s] = s + 1;
    }
    lengths[15] = 15;
    Built b(lengths, 0, kDistBase, kDistExtra, 6);
    ASSERT_EQ(b.result, HUFF_COMPLETE);
    ASSERT_EQ(b.lookup, 6);
    ASSERT_EQ(b.head[63].op, OP_LITERAL + 6);
    ASSERT_EQ(b.head[63].bits, 6);
    const HuffEntry* second = SubTable(b.head, b.head[63]);
    ASSERT_EQ(second[63].op, OP_LITERAL + 3);
    ASSERT_EQ(second[63].bits, 6);
    const HuffEntry* third = SubTable(b.head, second[63]);
    // Symbols 12..15 (lengths 13, 14, 15, 15) need 1, 2, 3 and 3 more bits.
    struct Want {
        unsigned symbol, bits;
        std::vector<unsigned> indices;
    };
    for (const Want& want :
         std::vector<Want>{{12, 1, {0, 2, 4, 6}}, {13, 2, {1, 5}}, {14, 3, {3}}, {15, 3, {7}}}) {
        for (unsigned index : want.indices) {
            EXPECT_EQ(third[index].value, kDistBase[want.symbol]) << index;
            EXPECT_EQ(third[index].op, kDistExtra[want.symbol]) << index;
            EXPECT_EQ(third[index].bits, want.bits) << index;
        }
    }
    // One block, the tables in the order they were opened.
    EXPECT_EQ(second, b.head + 64);
    EXPECT_EQ(third, b.head + 128);
}

// A 5-bit and a 16-bit code with 5 lookup bits: the placeholders of 16 bits
// need four levels and more than 2^16 entries, so the last tables lie where
// only a link counted in pairs of entries reaches.
TEST(HuffmanDeep, LinksReachPastEntry65536) {
    std::vector<unsigned> lengths = {5, 16};
    Built b(lengths, 19, nullptr, nullptr, 5);
    ASSERT_EQ(b.result, HUFF_INCOMPLETE);
    ASSERT_EQ(b.lookup, 5);
    std::map<const HuffEntry*, unsigned> linked = LinkedTables(b.head, b.lookup);
    EXPECT_TRUE(TilesBlock(b.head, linked));
    EXPECT_GT(linked.rbegin()->first - b.head, 65536);
    Lookup last = ReadCodeOf(b, lengths, 1);
    EXPECT_EQ(last.op, OP_LITERAL);
    EXPECT_EQ(last.value, 1);
    EXPECT_EQ(last.bits, 16u);
}

// Small codes, as (lengths, simple count, wanted lookup) -> (result, lookup).
struct SmallCase {
    const char* name;
    std::vector<unsigned> lengths;
    int wanted;
    int result;
    int lookup;  // on return
    bool null_head;
};

std::ostream& operator<<(std::ostream& out, const SmallCase& c) {
    return out << c.name;
}

class HuffmanSmall : public ::testing::TestWithParam<SmallCase> {};

TEST_P(HuffmanSmall, ResultAndLookupBits) {
    const SmallCase& c = GetParam();
    Built b(c.lengths, 19, nullptr, nullptr, c.wanted);
    EXPECT_EQ(b.result, c.result);
    EXPECT_EQ(b.lookup, c.lookup);
    if (c.result == HUFF_OVERSUBSCRIBED) {
        EXPECT_EQ(b.head, reinterpret_cast<HuffEntry*>(1)) << "head written on result 2";
    } else if (c.null_head) {
        EXPECT_EQ(b.head, nullptr);
    } else {
        ASSERT_NE(b.head, nullptr);
        // Every pattern of the first level reads as the reference says.
        ReferenceDecoder ref(c.lengths);
        for (uint32_t p = 0; p < (1u << ref.MaxLen()); p++) {
            unsigned bits = 0;
            int symbol = ref.Decode(p, &bits);
            Lookup got = ReadSymbol(b.head, b.lookup, p);
            ASSERT_FALSE(got.corrupt) << p;
            ASSERT_EQ(got.invalid, symbol < 0) << p;
            if (symbol >= 0) {
                EXPECT_EQ(got.value, symbol) << p;
                EXPECT_EQ(got.bits, bits) << p;
            }
        }
    }
}

std::vector<unsigned> Lengths(std::initializer_list<unsigned> head, size_t total = 19) {
    std::vector<unsigned> v(head);
    v.resize(total, 0);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HuffmanSmall,
    ::testing::Values(
        SmallCase{"single_length_1", Lengths({0, 0, 1}), 7, HUFF_COMPLETE, 1, false},
        SmallCase{"single_length_2", Lengths({0, 2}), 7, HUFF_INCOMPLETE, 2, false},
        SmallCase{"three_length_1", Lengths({1, 1, 1}), 7, HUFF_OVERSUBSCRIBED, 1, false},
        SmallCase{"oversubscribed_writes_lookup", Lengths({3, 3, 3, 3, 3, 3, 3, 3, 3}), 7,
                  HUFF_OVERSUBSCRIBED, 3, false},
        SmallCase{"nine_lowered_to_longest", Lengths({5, 5, 6, 6, 7, 7, 5, 5, 5, 5, 5, 5, 5, 5}), 9,
                  HUFF_INCOMPLETE, 7, false},
        SmallCase{"seven_raised_to_shortest", Lengths({8, 8, 8, 8}), 7, HUFF_INCOMPLETE, 8, false},
        SmallCase{"all_zero", Lengths({}), 7, HUFF_COMPLETE, 0, true},
        SmallCase{"two_length_1", Lengths({1, 1}), 7, HUFF_COMPLETE, 1, false},
        SmallCase{"lengths_1_and_15", Lengths({1, 0, 15}), 6, HUFF_INCOMPLETE, 6, false},
        SmallCase{"length_16", Lengths({1, 16}), 6, HUFF_INCOMPLETE, 6, false}),
    [](const ::testing::TestParamInfo<SmallCase>& info) { return std::string(info.param.name); });

TEST(HuffmanSmall, SingleLengthOneCodeOwnsOnePatternOnly) {
    Built b(Lengths({0, 0, 0, 1}), 19, nullptr, nullptr, 7);
    ASSERT_EQ(b.result, HUFF_COMPLETE);
    ASSERT_EQ(b.lookup, 1);
    EXPECT_EQ(b.head[0].op, OP_LITERAL);
    EXPECT_EQ(b.head[0].value, 3);
    EXPECT_EQ(b.head[0].bits, 1);
    EXPECT_EQ(b.head[1].op, OP_INVALID);
    EXPECT_EQ(LinkedTables(b.head, b.lookup).size(), 1u);
}

TEST(HuffmanSmall, ReleasingNullHeadDoesNothing) {
    FreeHuffmanTables(nullptr);
}

}  // namespace
