// The two Huffman-coded block types of deflate: fixed codes (type 1) and
// dynamic codes (type 2). Both build their decoding tables for every block
// and release them before returning, whatever the outcome; nothing is cached
// between blocks, which costs a table build per fixed block but keeps each
// block self-contained.
#include "inflate/state.h"
#include "inflate/tables.h"

// The fixed literal/length code of RFC 1951 section 3.2.6.
#define FIXED_LIT_CODES 288
#define FIXED_LIT_LOOKUP_BITS 7
#define FIXED_DIST_CODES 30
#define FIXED_DIST_LENGTH 5
#define FIXED_DIST_LOOKUP_BITS 5

// Code counts of a dynamic block header.
#define MAX_LIT_CODES 286
#define MAX_DIST_CODES 30
#define HLIT_BASE 257
#define HDIST_BASE 1
#define HCLEN_BASE 4
#define CODE_LENGTH_BITS 3  // each code-length code length
#define CODE_LENGTH_LOOKUP_BITS 7
#define MAX_LENGTHS (MAX_LIT_CODES + MAX_DIST_CODES)

// Code-length symbols 16..18: repeat the previous length, or zero, a number
// of times given by extra bits.
#define FIRST_REPEAT_SYMBOL 16
struct RepeatCode {
    uint32_t extra_bits;  // bits of the repeat count
    uint32_t base;        // shortest repeat
    int repeats_zero;     // 1: store 0 and make it the previous length
};
static const RepeatCode repeat_codes[3] = {
    {2, 3, 0},   // 16: previous length 3..6 times
    {3, 3, 1},   // 17: zero 3..10 times
    {7, 11, 1},  // 18: zero 11..138 times
};

// Code lengths of the fixed literal/length code, by symbol range.
struct LengthRun {
    uint32_t end;     // first symbol after the run
    uint32_t length;  // code length of the run's symbols
};
static const LengthRun fixed_lit_lengths[4] = {{144, 8}, {256, 9}, {280, 7}, {288, 8}};

/* The block's result for a failed build: an incomplete code is invalid
   data; over-subscribed lengths and a failed allocation keep their own. */
static int BlockResult(int built) {
    static const int BLOCK_RESULTS[] = {BLOCK_OK, BLOCK_INVALID, BLOCK_REFUSED,
                                        BLOCK_NO_MEMORY};  // by HUFF_ result
    return BLOCK_RESULTS[built];
}

/*
 * DecodeFixedBlock: builds the fixed codes and decodes the block. The fixed
 * distance code has 30 symbols of 5 bits, so the builder reports it
 * incomplete (patterns 30 and 31 are invalid entries); that is accepted.
 * Literal/length symbols 286 and 287 decode as invalid through their rows
 * of the length tables.
 */
int DecodeFixedBlock(InflateState* s) {
    unsigned lengths[FIXED_LIT_CODES];  // code lengths, first of the literal/length
                                        // code, then of the distance code
    uint32_t symbol = 0;
    for (uint32_t run = 0; run < 4; run++) {
        for (; symbol < fixed_lit_lengths[run].end; symbol++) {
            lengths[symbol] = fixed_lit_lengths[run].length;
        }
    }
    HuffEntry* lit_table = nullptr;  // literal/length tables
    int lit_bits = FIXED_LIT_LOOKUP_BITS;
    int result = BuildHuffmanTable(lengths, FIXED_LIT_CODES, FIRST_LENGTH_SYMBOL, length_base,
                                   length_extra, &lit_table, &lit_bits);
    if (result != HUFF_COMPLETE) {
        if (result == HUFF_INCOMPLETE) {
            FreeHuffmanTables(lit_table);
        }
        return BlockResult(result);
    }

    for (symbol = 0; symbol < FIXED_DIST_CODES; symbol++) {
        lengths[symbol] = FIXED_DIST_LENGTH;
    }
    HuffEntry* dist_table = nullptr;  // distance tables
    int dist_bits = FIXED_DIST_LOOKUP_BITS;
    result = BuildHuffmanTable(lengths, FIXED_DIST_CODES, 0, distance_base, distance_extra,
                               &dist_table, &dist_bits);
    if (result > HUFF_INCOMPLETE) {
        FreeHuffmanTables(lit_table);
        return BlockResult(result);
    }

    result = DecodeCodes(s, lit_table, dist_table, lit_bits, dist_bits);
    FreeHuffmanTables(lit_table);
    FreeHuffmanTables(dist_table);
    return result == BLOCK_OK ? BLOCK_OK : BLOCK_INVALID;
}

/*
 * ReadCodeLengths: reads the literal/length and distance code lengths of a
 * dynamic block as one sequence, with the code-length code in table. A
 * repeat may cross from the literal/length into the distance lengths but
 * not past the end; a 16 with no earlier length in the block repeats 0.
 * Works on the caller's working bit buffer. 0 done (or the error flag set),
 * 1 invalid code or a repeat past the end.
 */
static int ReadCodeLengths(InflateState* s, uint32_t* b, uint32_t* k, const HuffEntry* table,
                           int table_bits, unsigned* lengths, uint32_t total) {
    uint32_t index = 0;     // next length to store
    unsigned previous = 0;  // length that code 16 repeats
    while (index < total) {
        EnsureBits(s, b, k, (uint32_t)table_bits);
        if (s->error != INPUT_OK) {
            return BLOCK_OK;
        }
        const HuffEntry* entry = table + (*b & bit_mask[table_bits]);
        if (entry->op == OP_INVALID) {
            return BLOCK_INVALID;
        }
        DropBits(b, k, entry->bits);
        uint32_t symbol = entry->value;  // 0..18
        if (symbol < FIRST_REPEAT_SYMBOL) {
            lengths[index++] = symbol;
            previous = symbol;
            continue;
        }
        const RepeatCode* code = &repeat_codes[symbol - FIRST_REPEAT_SYMBOL];
        EnsureBits(s, b, k, code->extra_bits);
        if (s->error != INPUT_OK) {
            return BLOCK_OK;
        }
        uint32_t repeat = code->base + (*b & bit_mask[code->extra_bits]);  // lengths to store
        DropBits(b, k, code->extra_bits);
        if (code->repeats_zero) {
            previous = 0;
        }
        if (repeat > total - index) {
            return BLOCK_INVALID;
        }
        while (repeat-- > 0) {
            lengths[index++] = previous;
        }
    }
    return BLOCK_OK;
}

/*
 * DecodeDynamicBlock: reads the header (HLIT, HDIST, HCLEN), the code-length
 * code and with it the lengths of both main codes, builds the tables and
 * decodes the block. The code-length code may be a single code of length 1,
 * and so may the distance code (the builder reports both complete). A code
 * whose lengths are all 0 has no table: the code-length and literal/length
 * codes are then refused, and a distance code without table refuses the
 * first length symbol met (DecodeCodes).
 */
int DecodeDynamicBlock(InflateState* s) {
    uint32_t b = s->bit_buf;    // working bit buffer
    uint32_t k = s->bit_count;  // working bit count
    EnsureBits(s, &b, &k, 5);
    if (s->error != INPUT_OK) {
        return BLOCK_OK;
    }
    uint32_t lit_count = HLIT_BASE + (b & 0x1F);  // literal/length lengths
    DropBits(&b, &k, 5);
    EnsureBits(s, &b, &k, 5);
    if (s->error != INPUT_OK) {
        return BLOCK_OK;
    }
    uint32_t dist_count = HDIST_BASE + (b & 0x1F);  // distance lengths
    DropBits(&b, &k, 5);
    EnsureBits(s, &b, &k, 4);
    if (s->error != INPUT_OK) {
        return BLOCK_OK;
    }
    uint32_t code_count = HCLEN_BASE + (b & 0xF);  // code-length code lengths present
    DropBits(&b, &k, 4);
    if (lit_count > MAX_LIT_CODES || dist_count > MAX_DIST_CODES) {
        return BLOCK_INVALID;
    }

    unsigned lengths[MAX_LENGTHS];  // first the code-length code's, then both main codes'
    for (uint32_t i = 0; i < CODE_LENGTH_CODES; i++) {
        uint32_t length = 0;  // absent lengths are 0
        if (i < code_count) {
            EnsureBits(s, &b, &k, CODE_LENGTH_BITS);
            if (s->error != INPUT_OK) {
                return BLOCK_OK;
            }
            length = b & bit_mask[CODE_LENGTH_BITS];
            DropBits(&b, &k, CODE_LENGTH_BITS);
        }
        lengths[code_length_order[i]] = length;
    }
    HuffEntry* length_table = nullptr;  // code-length code
    int length_bits = CODE_LENGTH_LOOKUP_BITS;
    int result = BuildHuffmanTable(lengths, CODE_LENGTH_CODES, CODE_LENGTH_CODES, nullptr, nullptr,
                                   &length_table, &length_bits);
    if (result != HUFF_COMPLETE) {
        if (result == HUFF_INCOMPLETE) {
            FreeHuffmanTables(length_table);
        }
        return BlockResult(result);
    }
    if (length_table == nullptr) {
        return BLOCK_INVALID;  // all 19 lengths 0: no code to read lengths with
    }
    result = ReadCodeLengths(s, &b, &k, length_table, length_bits, lengths, lit_count + dist_count);
    FreeHuffmanTables(length_table);
    if (result != BLOCK_OK || s->error != INPUT_OK) {
        return result;
    }
    s->bit_buf = b;
    s->bit_count = k;

    HuffEntry* lit_table = nullptr;  // literal/length tables
    int lit_bits = s->lit_lookup_bits;
    result = BuildHuffmanTable(lengths, lit_count, FIRST_LENGTH_SYMBOL, length_base, length_extra,
                               &lit_table, &lit_bits);
    if (result != HUFF_COMPLETE) {
        if (result == HUFF_INCOMPLETE) {
            FreeHuffmanTables(lit_table);
        }
        return BlockResult(result);
    }
    if (lit_table == nullptr) {
        return BLOCK_INVALID;  // no literal/length code: not even an end of block
    }
    HuffEntry* dist_table = nullptr;  // distance tables; null if all lengths 0
    int dist_bits = s->dist_lookup_bits;
    result = BuildHuffmanTable(lengths + lit_count, dist_count, 0, distance_base, distance_extra,
                               &dist_table, &dist_bits);
    if (result != HUFF_COMPLETE) {
        if (result == HUFF_INCOMPLETE) {
            FreeHuffmanTables(dist_table);
        }
        FreeHuffmanTables(lit_table);
        return BlockResult(result);
    }

    result = DecodeCodes(s, lit_table, dist_table, lit_bits, dist_bits);
    FreeHuffmanTables(lit_table);
    FreeHuffmanTables(dist_table);
    return result == BLOCK_OK ? BLOCK_OK : BLOCK_INVALID;
}
