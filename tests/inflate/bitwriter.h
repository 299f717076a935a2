// A small deflate bit writer for hand-made test streams: raw bits (least
// significant bit first), Huffman codes (most significant code bit first),
// the fixed codes, canonical codes from a list of lengths, and dynamic
// block headers whose code-length sequence the test spells out itself.
#pragma once

#include <cstdint>
#include <vector>

struct BitWriter {
    std::vector<uint8_t> bytes;  // finished bytes
    uint32_t acc = 0;            // pending bits, next bit in bit 0
    int count = 0;               // number of pending bits

    // value's low n bits, least significant first (as deflate's header
    // fields and extra bits are stored).
    void Bits(uint32_t value, int n) {
        for (int i = 0; i < n; i++) {
            acc |= ((value >> i) & 1u) << count;
            if (++count == 8) {
                bytes.push_back(static_cast<uint8_t>(acc));
                acc = 0;
                count = 0;
            }
        }
    }
    // A Huffman code of n bits, most significant bit first.
    void Code(uint32_t code, int n) {
        for (int i = n - 1; i >= 0; i--) {
            Bits((code >> i) & 1u, 1);
        }
    }
    // Pads with zero bits to the next byte boundary.
    void Align() {
        if (count > 0) {
            Bits(0, 8 - count);
        }
    }
    void Byte(uint8_t b) {
        Bits(b, 8);
    }
    std::vector<uint8_t> Finish() {
        Align();
        return bytes;
    }

    // Block header: last-block flag and type.
    void Header(bool last, int type) {
        Bits(last ? 1 : 0, 1);
        Bits(static_cast<uint32_t>(type), 2);
    }
    // A whole stored block (aligned LEN, NLEN, bytes); nlen < 0 means ~len.
    void Stored(bool last, const std::vector<uint8_t>& data, int nlen = -1) {
        Header(last, 0);
        Align();
        uint32_t len = static_cast<uint32_t>(data.size());
        Bits(len & 0xFFFF, 16);
        Bits(nlen < 0 ? (~len & 0xFFFF) : static_cast<uint32_t>(nlen), 16);
        for (uint8_t b : data) {
            Byte(b);
        }
    }

    // Fixed literal/length symbol 0..287 (RFC 1951 section 3.2.6).
    void FixedSymbol(unsigned sym) {
        if (sym < 144) {
            Code(0x30 + sym, 8);
        } else if (sym < 256) {
            Code(0x190 + (sym - 144), 9);
        } else if (sym < 280) {
            Code(sym - 256, 7);
        } else {
            Code(0xC0 + (sym - 280), 8);
        }
    }
    // Fixed distance symbol 0..31 (five bits).
    void FixedDistSymbol(unsigned sym) {
        Code(sym, 5);
    }
    // A length 3..258 as fixed symbol plus extra bits.
    void FixedLength(unsigned length) {
        unsigned sym, extra, base;
        LengthCode(length, &sym, &extra, &base);
        FixedSymbol(sym);
        Bits(length - base, static_cast<int>(extra));
    }
    // A distance 1..32768 as fixed symbol plus extra bits.
    void FixedDistance(unsigned distance) {
        unsigned sym, extra, base;
        DistanceCode(distance, &sym, &extra, &base);
        FixedDistSymbol(sym);
        Bits(distance - base, static_cast<int>(extra));
    }

    static void LengthCode(unsigned length, unsigned* sym, unsigned* extra, unsigned* base) {
        static const unsigned bases[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const unsigned extras[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        int i = 28;
        while (bases[i] > length) {
            i--;
        }
        *sym = 257 + static_cast<unsigned>(i);
        *extra = extras[i];
        *base = bases[i];
    }
    static void DistanceCode(unsigned distance, unsigned* sym, unsigned* extra, unsigned* base) {
        static const unsigned bases[30] = {
            1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
            193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        int i = 29;
        while (bases[i] > distance) {
            i--;
        }
        *sym = static_cast<unsigned>(i);
        *extra = i < 4 ? 0 : static_cast<unsigned>(i / 2 - 1);
        *base = bases[i];
    }
};

// Canonical Huffman codes (RFC 1951 section 3.2.2) for a list of lengths.
struct CanonicalCode {
    std::vector<unsigned> lengths;  // by symbol; 0 = no code
    std::vector<uint32_t> codes;    // by symbol

    explicit CanonicalCode(std::vector<unsigned> lens) : lengths(std::move(lens)) {
        unsigned bl_count[17] = {};
        for (unsigned l : lengths) {
            bl_count[l]++;
        }
        bl_count[0] = 0;
        uint32_t next[17] = {};
        uint32_t code = 0;
        for (int bits = 1; bits <= 16; bits++) {
            code = (code + bl_count[bits - 1]) << 1;
            next[bits] = code;
        }
        codes.resize(lengths.size());
        for (size_t s = 0; s < lengths.size(); s++) {
            if (lengths[s] != 0) {
                codes[s] = next[lengths[s]]++;
            }
        }
    }
    void Write(BitWriter& bw, unsigned sym) const {
        bw.Code(codes[sym], static_cast<int>(lengths[sym]));
    }
};

// One item of a dynamic block's code-length sequence: a symbol 0..18 and
// the value of its extra bits (for 16, 17, 18).
struct LengthItem {
    unsigned symbol;
    unsigned extra;
};

// The order in which the code-length code's lengths are stored.
inline const unsigned kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                              11, 4,  12, 3, 13, 2, 14, 1, 15};

// Writes a dynamic block header: HLIT, HDIST, HCLEN fields as given (raw
// field values), the code-length code lengths (by symbol, written in the
// storage order for hclen_field + 4 entries), then the sequence coded with
// the code-length code. Returns that code for writing more.
inline CanonicalCode WriteDynamicHeader(BitWriter& bw, bool last, unsigned hlit_field,
                                        unsigned hdist_field, unsigned hclen_field,
                                        const std::vector<unsigned>& cl_lengths,
                                        const std::vector<LengthItem>& sequence) {
    bw.Header(last, 2);
    bw.Bits(hlit_field, 5);
    bw.Bits(hdist_field, 5);
    bw.Bits(hclen_field, 4);
    for (unsigned i = 0; i < hclen_field + 4; i++) {
        bw.Bits(cl_lengths[kCodeLengthOrder[i]], 3);
    }
    CanonicalCode cl(cl_lengths);
    static const int extra_bits[3] = {2, 3, 7};
    for (const LengthItem& item : sequence) {
        cl.Write(bw, item.symbol);
        if (item.symbol >= 16) {
            bw.Bits(item.extra, extra_bits[item.symbol - 16]);
        }
    }
    return cl;
}

// The plain code-length sequence for a list of lengths (symbols 0..15 only).
inline std::vector<LengthItem> PlainSequence(const std::vector<unsigned>& lengths) {
    std::vector<LengthItem> seq;
    for (unsigned l : lengths) {
        seq.push_back({l, 0});
    }
    return seq;
}

// A complete code-length code in which every symbol 0..18 has a code:
// 0..12 four bits, 13..18 five bits (13/16 + 6/32 = 1).
inline std::vector<unsigned> AllClLengths() {
    std::vector<unsigned> l(19, 4);
    for (int s = 13; s < 19; s++) {
        l[s] = 5;
    }
    return l;
}
