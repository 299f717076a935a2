// Random code length sets, seeded, against the bit-at-a-time reference
// decoder: every pattern up to the longest code must read through the tables
// to the symbol and length the reference finds, or to an invalid entry
// exactly where the reference finds no code. Over-subscribed sets must be
// refused.
#include "huffman_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <ostream>
#include <string>
#include <vector>

using namespace huffman_test;

namespace {

// One of the three codes a deflate block uses.
struct CodeKind {
    const char* name;
    unsigned count;         // lengths in the list
    unsigned simple_count;  // symbols below it are simple codes
    const uint16_t* bases;
    const uint16_t* extras;
    unsigned max_bits;  // longest code length of this kind
};

std::ostream& operator<<(std::ostream& out, const CodeKind& kind) {
    return out << kind.name;
}

const CodeKind kKinds[] = {
    {"literal_length", 288, 257, kLengthBase, kLengthExtra, 15},
    {"distance", 30, 0, kDistBase, kDistExtra, 15},
    {"code_length", 19, 19, nullptr, nullptr, 7},
};

// Kraft sum in units of 2^-16.
uint64_t Kraft(const std::vector<unsigned>& lengths) {
    uint64_t sum = 0;
    for (unsigned len : lengths) {
        if (len != 0) {
            sum += uint64_t{1} << (MAXLENGTHBITS - len);
        }
    }
    return sum;
}

// A complete code over `symbols` (at least 2) of the kind's symbols: leaves
// of a binary tree split at random, some runs biased towards deep leaves.
std::vector<unsigned> CompleteSet(const CodeKind& kind, unsigned symbols, std::mt19937& rng) {
    std::vector<unsigned> leaves{1, 1};
    bool deep = rng() % 2 == 0;
    while (leaves.size() < symbols) {
        std::vector<size_t> splittable;
        for (size_t i = 0; i < leaves.size(); i++) {
            if (leaves[i] < kind.max_bits) {
                splittable.push_back(i);
            }
        }
        if (splittable.empty()) {
            break;
        }
        size_t pick = deep ? splittable.back() : splittable[rng() % splittable.size()];
        unsigned len = leaves[pick] + 1;
        leaves[pick] = len;
        leaves.push_back(len);
    }
    std::vector<unsigned> lengths(kind.count, 0);
    std::vector<unsigned> order(kind.count);
    for (unsigned i = 0; i < kind.count; i++) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i < leaves.size(); i++) {
        lengths[order[i]] = leaves[i];
    }
    return lengths;
}

// Symbol count for a random set of this kind.
unsigned SymbolCount(const CodeKind& kind, std::mt19937& rng) {
    unsigned most = kind.count;
    if (kind.max_bits == 7 && most > 19) {
        most = 19;
    }
    return 2 + rng() % (most - 1);
}

// Builds the set with each lookup size the decoders ask for and compares
// every pattern with the reference.
void CheckAgainstReference(const CodeKind& kind, const std::vector<unsigned>& lengths,
                           bool complete, const std::string& label) {
    ReferenceDecoder ref(lengths);
    unsigned max_len = ref.MaxLen();
    for (int wanted : {5, 6, 7, 9}) {
        HuffEntry* head = nullptr;
        int lookup = wanted;
        int result = BuildHuffmanTable(lengths.data(), kind.count, kind.simple_count, kind.bases,
                                       kind.extras, &head, &lookup);
        int expect_result = (complete || max_len == 1) ? HUFF_COMPLETE : HUFF_INCOMPLETE;
        ASSERT_EQ(result, expect_result) << label << " lookup " << wanted;
        ASSERT_NE(head, nullptr) << label;
        std::unique_ptr<HuffEntry, void (*)(HuffEntry*)> owner(head, FreeHuffmanTables);
        ASSERT_LE(lookup, (int)max_len) << label;

        // The tables tile the block, and none is larger than the first level.
        std::map<const HuffEntry*, unsigned> linked = LinkedTables(head, lookup);
        ASSERT_TRUE(TilesBlock(head, linked)) << label;
        for (const auto& [table, bits] : linked) {
            ASSERT_LE(bits, (unsigned)lookup) << label;
        }

        for (uint32_t p = 0; p < (1u << max_len); p++) {
            unsigned bits = 0;
            int symbol = ref.Decode(p, &bits);
            Lookup got = ReadSymbol(head, lookup, p);
            ASSERT_FALSE(got.corrupt) << label << " lookup " << wanted << " pattern " << p;
            // Symbols whose extras row is 99 (lengths 286, 287) read as invalid too.
            Expected want{OP_INVALID, 0};
            if (symbol >= 0) {
                want = ExpectedEntry((unsigned)symbol, kind.simple_count, kind.bases, kind.extras);
            }
            ASSERT_EQ(got.invalid, want.op == OP_INVALID)
                << label << " lookup " << wanted << " pattern " << p << " symbol " << symbol;
            if (got.invalid) {
                continue;
            }
            ASSERT_EQ(got.op, want.op) << label << " pattern " << p << " symbol " << symbol;
            ASSERT_EQ(got.value, want.value) << label << " pattern " << p << " symbol " << symbol;
            ASSERT_EQ(got.bits, bits) << label << " pattern " << p << " symbol " << symbol;
        }
    }
}

class HuffmanProperty : public ::testing::TestWithParam<CodeKind> {};

TEST_P(HuffmanProperty, CompleteSetsMatchReference) {
    const CodeKind& kind = GetParam();
    std::mt19937 rng(20240601u + kind.count);
    for (int round = 0; round < 40; round++) {
        std::vector<unsigned> lengths = CompleteSet(kind, SymbolCount(kind, rng), rng);
        ASSERT_EQ(Kraft(lengths), uint64_t{1} << MAXLENGTHBITS);
        CheckAgainstReference(kind, lengths, true, "complete round " + std::to_string(round));
    }
}

TEST_P(HuffmanProperty, IncompleteSetsMatchReference) {
    const CodeKind& kind = GetParam();
    std::mt19937 rng(777u + kind.count);
    for (int round = 0; round < 40; round++) {
        std::vector<unsigned> lengths;
        if (round % 2 == 0) {
            // A complete set with some codes taken away.
            lengths = CompleteSet(kind, SymbolCount(kind, rng), rng);
            std::vector<unsigned> used;
            for (unsigned s = 0; s < kind.count; s++) {
                if (lengths[s] != 0) {
                    used.push_back(s);
                }
            }
            unsigned drop = 1 + rng() % (unsigned)(used.size() - 1);
            std::shuffle(used.begin(), used.end(), rng);
            for (unsigned i = 0; i < drop; i++) {
                lengths[used[i]] = 0;
            }
        } else {
            // Random lengths, kept while they fit the code space.
            lengths.assign(kind.count, 0);
            unsigned tries = 1 + rng() % kind.count;
            for (unsigned i = 0; i < tries; i++) {
                unsigned s = rng() % kind.count;
                unsigned old = lengths[s];
                lengths[s] = 1 + rng() % kind.max_bits;
                if (Kraft(lengths) >= (uint64_t{1} << MAXLENGTHBITS)) {
                    lengths[s] = old;
                }
            }
            if (Kraft(lengths) == 0) {
                lengths[0] = kind.max_bits;
            }
        }
        ASSERT_LT(Kraft(lengths), uint64_t{1} << MAXLENGTHBITS);
        CheckAgainstReference(kind, lengths, false, "incomplete round " + std::to_string(round));
    }
}

TEST_P(HuffmanProperty, OverSubscribedSetsAreRefused) {
    const CodeKind& kind = GetParam();
    std::mt19937 rng(4242u + kind.count);
    for (int round = 0; round < 200; round++) {
        std::vector<unsigned> lengths = CompleteSet(kind, SymbolCount(kind, rng), rng);
        std::vector<unsigned> longer;  // symbols whose code can be shortened
        unsigned unused = kind.count;
        for (unsigned s = 0; s < kind.count; s++) {
            if (lengths[s] > 1) {
                longer.push_back(s);
            } else if (lengths[s] == 0) {
                unused = s;
            }
        }
        if ((round % 2 == 0 && !longer.empty()) || unused == kind.count) {
            lengths[longer[rng() % longer.size()]]--;
        } else {
            lengths[unused] = 1 + rng() % kind.max_bits;
        }
        ASSERT_GT(Kraft(lengths), uint64_t{1} << MAXLENGTHBITS);
        HuffEntry* head = reinterpret_cast<HuffEntry*>(1);
        int lookup = 9;
        int result = BuildHuffmanTable(lengths.data(), kind.count, kind.simple_count, kind.bases,
                                       kind.extras, &head, &lookup);
        ASSERT_EQ(result, HUFF_OVERSUBSCRIBED) << "round " << round;
        ASSERT_EQ(head, reinterpret_cast<HuffEntry*>(1)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HuffmanProperty, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<CodeKind>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
