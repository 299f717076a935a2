// Multi-level Huffman decoding tables for deflate's three prefix codes. All
// tables of one code live in one heap block of 4-byte entries; a link names
// its sub-table by position in that block rather than by address, which
// keeps an entry small enough that the 512-entry first level of a literal
// code fits in 2 KiB.
#pragma once

#include <stdint.h>

// Longest code length that deflate allows, and the most lengths in one code.
#define MAXBITS 15
#define MAXLENGTHBITS 16
#define MAXCODES 288

// What a table entry is, by its `op`.
#define OP_EXTRA_MAX 13  // 0..13: length or distance base with op extra bits
#define OP_END_OF_BLOCK 15
#define OP_LITERAL                                                                                 \
    16                 // a literal, or a code-length symbol; above it, links:
                       // op - OP_LITERAL (1 to 16) is the sub-table's index bits
#define OP_INVALID 99  // a pattern that no code owns

// Every table has at least two entries and the first starts the block, so
// every table starts at an even position and a link counts in pairs: 16 bits
// then reach any table of the largest tree (fewer than 2^17 entries).
#define LINK_UNIT 2

// One decoding table entry. A table of n bits is 2^n of these.
struct HuffEntry {
    uint8_t op;    // see the OP_ values above
    uint8_t bits;  // bits to drop when this entry is taken
    union {
        uint16_t value;  // op 0..16: symbol or base
        uint16_t link;   // op 17..32: position of the sub-table's entry 0 in the block, in
                         // LINK_UNITs from the first table's entry 0
    };
};

/* SubTable: entry 0 of the sub-table that a link entry of the tree at head names. */
static inline const HuffEntry* SubTable(const HuffEntry* head, HuffEntry link) {
    return head + (uint32_t)link.link * LINK_UNIT;
}

// Builder results.
#define HUFF_COMPLETE 0
#define HUFF_INCOMPLETE 1
#define HUFF_OVERSUBSCRIBED 2
#define HUFF_NO_MEMORY 3

// Builds the tables of the code given by lengths[0 .. count). Symbols below
// simple_count are literals (op 16) or, from 256 on, end of block (op 15);
// the others take value and op from bases[] and the low byte of extras[],
// indexed by symbol - simple_count. *lookup_bits is the wanted first-level
// size on entry and the size used on return. Returns one of HUFF_*.
int BuildHuffmanTable(const unsigned* lengths, unsigned count, unsigned simple_count,
                      const uint16_t* bases, const uint16_t* extras, HuffEntry** table,
                      int* lookup_bits);

// Releases the tables of a build from its head; a null head releases nothing.
void FreeHuffmanTables(HuffEntry* table);
