// The chunk decoder's whole state for one chunk, and the operations that the
// chunk decoder and the block decoders share. Everything lives in one heap
// record so that a call needs exactly one allocation of its own; the price is
// a fixed 64 KiB per call, whatever the chunk's size.
#pragma once

#include <stdint.h>

#include "inflate/huffman.h"

// Sizes of the input load and of the sliding window (deflate's 32 KiB).
#define INPUT_LOAD_SIZE 32768
#define WINDOW_SIZE 32768

// A chunk member's identification bytes read as one little-endian u16, and
// the sizes of its framing: the header (1F 8B 08), the trailer (CRC-32 and
// ISIZE) and the ISIZE field, which ends the trailer.
#define MEMBER_MAGIC 0x8B1F
#define MEMBER_HEADER_SIZE 3
#define MEMBER_TRAILER_SIZE 8
#define MEMBER_ISIZE_SIZE 4

// Values of the sticky error flag.
#define INPUT_OK 0
#define INPUT_EXHAUSTED 1
#define OUTPUT_COUNT_OVERFLOW 2

// Results of the block operations: 0 done, then the failures.
#define BLOCK_OK 0
#define BLOCK_INVALID 1    // invalid data: a bad code, count or repeat, an incomplete code
#define BLOCK_REFUSED 2    // over-subscribed code lengths, or block type 3
#define BLOCK_NO_MEMORY 3  // a table could not be allocated

// Lookup bits wanted for the first-level tables of a dynamic block.
#define DYNAMIC_LIT_LOOKUP_BITS 11
#define DYNAMIC_DIST_LOOKUP_BITS 8

struct InflateState {
    const uint8_t* in_data;           // the caller's chunk member; not owned
    uint8_t* out_data;                // the caller's output buffer; not owned
    uint32_t in_len;                  // bytes at in_data
    uint32_t out_capacity;            // bytes that out_data can take
    uint32_t src_pos;                 // input bytes the memory source has delivered
    uint32_t out_count;               // bytes offered to the sink (stored or not)
    uint32_t error;                   // sticky: INPUT_OK, INPUT_EXHAUSTED, OUTPUT_COUNT_OVERFLOW
    int32_t method;                   // method byte of the member header
    uint32_t out_total;               // bytes flushed from the window so far
    uint32_t in_fill;                 // valid bytes in in_buf
    uint32_t in_pos;                  // next unread byte in in_buf
    uint32_t window_pos;              // bytes in window = next write index
    uint32_t crc;                     // CRC-32 register, uncomplemented
    uint32_t bit_buf;                 // unconsumed input bits, next bit in bit 0
    uint32_t bit_count;               // valid bits in bit_buf
    int32_t lit_lookup_bits;          // dynamic literal/length first-level size
    int32_t dist_lookup_bits;         // dynamic distance first-level size
    uint8_t in_buf[INPUT_LOAD_SIZE];  // current input load
    uint8_t window[WINDOW_SIZE];      // recent content, and the output staging area
};

// Chunk level (chunk.cpp).
int DecodeMember(InflateState* s);
int DecodeAndVerify(InflateState* s);
int DecodeBlocks(InflateState* s);
int DecodeBlock(InflateState* s, int* last_block);
int CopyStoredBlock(InflateState* s);

// Memory source and sink.
int SourceRead(InflateState* s, uint8_t* destination, uint32_t n);
void SinkWrite(InflateState* s, const uint8_t* source, uint32_t n);

// Bit input. EnsureBits and DropBits work on a bit buffer and count that may
// be the record's own or a decoding step's working copies; they are inline,
// since the block headers and the code lengths call them for every few bits.
uint32_t FillInput(InflateState* s);

/* NextByte: the next input byte, from the current load or a new one. */
static inline uint32_t NextByte(InflateState* s) {
    if (s->in_pos < s->in_fill) {
        return s->in_buf[s->in_pos++];
    }
    return FillInput(s);
}

/*
 * EnsureBits: gathers whole bytes above the bits present until at least n
 * (at most 16) bits are there; at most 23 bits are ever held.
 */
static inline void EnsureBits(InflateState* s, uint32_t* bit_buf, uint32_t* bit_count, uint32_t n) {
    while (*bit_count < n) {
        *bit_buf |= NextByte(s) << *bit_count;
        *bit_count += 8;
    }
}

/* DropBits: consumes the n lowest bits. */
static inline void DropBits(uint32_t* bit_buf, uint32_t* bit_count, uint32_t n) {
    *bit_buf >>= n;
    *bit_count -= n;
}

// Window flushing (chunk.cpp) and the CRC-32 (crc32.cpp).
void FlushWindow(InflateState* s);
uint32_t UpdateCrc32(InflateState* s, const uint8_t* data, uint32_t n);
extern const uint32_t crc32_table[256];

// Huffman-coded blocks (blocks.cpp, codes.cpp).
int DecodeFixedBlock(InflateState* s);
int DecodeDynamicBlock(InflateState* s);
int DecodeCodes(InflateState* s, const HuffEntry* lit_table, const HuffEntry* dist_table,
                int lit_bits, int dist_bits);
