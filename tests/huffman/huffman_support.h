// Helpers for the Huffman table tests: the reading procedure that the block
// decoders use, a walk over the tables that the link entries reach and their
// layout in the build's block, and a reference decoder that assigns canonical
// codes the plain way and reads one bit at a time.
#pragma once

#include "inflate/huffman.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

namespace huffman_test {

// Length codes 257..285 and the two rows for 286 and 287 that make those
// symbols invalid (base 0, extra bits 99).
inline const uint16_t kLengthBase[31] = {3,  4,   5,   6,   7,   8,   9,   10, 11, 13, 15,
                                         17, 19,  23,  27,  31,  35,  43,  51, 59, 67, 83,
                                         99, 115, 131, 163, 195, 227, 258, 0,  0};
inline const uint16_t kLengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                                          3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
// Distance codes 0..29.
inline const uint16_t kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline const uint16_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// What one symbol read through the tables gave.
struct Lookup {
    bool invalid = false;  // an op 99 entry was met
    bool corrupt = false;  // an op that no entry may carry (unwritten memory)
    uint8_t op = 0;
    uint16_t value = 0;
    unsigned bits = 0;  // bits consumed
};

// Reads one symbol from `pattern` (first code bit in bit 0) the way the block
// decoders do: index by the lookup bits, follow links, drop each entry's bits.
inline Lookup ReadSymbol(const HuffEntry* table, int lookup_bits, uint32_t pattern) {
    Lookup out;
    unsigned pos = 0;
    const HuffEntry* e = &table[pattern & ((1u << lookup_bits) - 1)];
    while (e->op > OP_LITERAL) {
        if (e->op == OP_INVALID) {
            out.invalid = true;
            return out;
        }
        if (e->op > OP_LITERAL + MAXLENGTHBITS) {
            out.corrupt = true;
            return out;
        }
        pos += e->bits;
        unsigned n = e->op - OP_LITERAL;
        e = &SubTable(table, *e)[(pattern >> pos) & ((1u << n) - 1)];
    }
    if (e->op == 14) {  // no builder entry carries op 14
        out.corrupt = true;
        return out;
    }
    out.op = e->op;
    out.value = e->value;
    out.bits = pos + e->bits;
    return out;
}

// Every table reachable from the head through link entries, with its bits
// (the head has the lookup bits; a sub-table the bits its link op gives).
inline std::map<const HuffEntry*, unsigned> LinkedTables(const HuffEntry* head, int lookup_bits) {
    std::map<const HuffEntry*, unsigned> found;
    std::vector<const HuffEntry*> todo{head};
    found[head] = (unsigned)lookup_bits;
    while (!todo.empty()) {
        const HuffEntry* t = todo.back();
        todo.pop_back();
        unsigned size = 1u << found[t];
        for (unsigned i = 0; i < size; i++) {
            if (t[i].op > OP_LITERAL && t[i].op <= OP_LITERAL + MAXLENGTHBITS) {
                const HuffEntry* sub = SubTable(head, t[i]);
                if (found.emplace(sub, t[i].op - OP_LITERAL).second) {
                    todo.push_back(sub);
                }
            }
        }
    }
    return found;
}

// Whether the reachable tables tile the build's block from the head on, in
// the order of their positions, without gap or overlap (AddressSanitizer then
// checks that the block holds them all).
inline bool TilesBlock(const HuffEntry* head, const std::map<const HuffEntry*, unsigned>& linked) {
    const HuffEntry* at = head;
    for (const auto& [table, bits] : linked) {
        if (table != at) {
            return false;
        }
        at += size_t{1} << bits;
    }
    return true;
}

// Canonical codes as RFC 1951 section 3.2.2 assigns them, most significant
// (first) bit first; 0 for symbols without a code.
inline std::vector<uint32_t> CanonicalCodes(const std::vector<unsigned>& lengths) {
    unsigned bl_count[MAXLENGTHBITS + 1] = {};
    for (unsigned len : lengths) {
        bl_count[len]++;
    }
    bl_count[0] = 0;
    uint32_t next_code[MAXLENGTHBITS + 2] = {};
    uint32_t code = 0;
    for (unsigned bits = 1; bits <= MAXLENGTHBITS; bits++) {
        code = (code + bl_count[bits - 1]) << 1;
        next_code[bits] = code;
    }
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t n = 0; n < lengths.size(); n++) {
        if (lengths[n] != 0) {
            codes[n] = next_code[lengths[n]]++;
        }
    }
    return codes;
}

// The code of `len` bits turned into the order the bit buffer holds it.
inline uint32_t Reverse(uint32_t code, unsigned len) {
    uint32_t r = 0;
    for (unsigned i = 0; i < len; i++) {
        r = (r << 1) | ((code >> i) & 1);
    }
    return r;
}

// Reference decoder: takes one bit at a time (bit 0 of the pattern first)
// and stops at the first code that matches.
class ReferenceDecoder {
  public:
    explicit ReferenceDecoder(const std::vector<unsigned>& lengths) {
        std::vector<uint32_t> codes = CanonicalCodes(lengths);
        for (unsigned len = 1; len <= MAXLENGTHBITS; len++) {
            by_code_[len].assign(size_t{1} << len, -1);
        }
        for (size_t n = 0; n < lengths.size(); n++) {
            if (lengths[n] != 0) {
                by_code_[lengths[n]][codes[n]] = (int)n;
                max_len_ = std::max(max_len_, lengths[n]);
            }
        }
    }
    unsigned MaxLen() const {
        return max_len_;
    }
    // The symbol and its length, or -1 when no code starts the pattern.
    int Decode(uint32_t pattern, unsigned* bits) const {
        uint32_t code = 0;
        for (unsigned len = 1; len <= max_len_; len++) {
            code = (code << 1) | ((pattern >> (len - 1)) & 1);
            if (by_code_[len][code] >= 0) {
                *bits = len;
                return by_code_[len][code];
            }
        }
        return -1;
    }

  private:
    std::vector<int> by_code_[MAXLENGTHBITS + 1];  // symbol of each code of each length, or -1
    unsigned max_len_ = 0;
};

// The entry a symbol must produce, given the build's simple count and tables.
struct Expected {
    uint8_t op;
    uint16_t value;
};
inline Expected ExpectedEntry(unsigned symbol, unsigned simple_count, const uint16_t* bases,
                              const uint16_t* extras) {
    if (symbol < simple_count) {
        return {(uint8_t)(symbol < 256 ? OP_LITERAL : OP_END_OF_BLOCK), (uint16_t)symbol};
    }
    return {(uint8_t)(extras[symbol - simple_count] & 0xFF), bases[symbol - simple_count]};
}

// The fixed literal/length code lengths.
inline std::vector<unsigned> FixedLiteralLengths() {
    std::vector<unsigned> lengths(288);
    for (unsigned n = 0; n < 288; n++) {
        lengths[n] = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
    }
    return lengths;
}

}  // namespace huffman_test
