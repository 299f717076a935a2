// Constant tables of deflate's Huffman-coded blocks: the length and distance
// codes with their extra bits, the bit masks and the order of the code-length
// code's lengths. Plain arrays, shared read-only by every chunk and thread.
#pragma once

#include <stdint.h>

// Literal/length symbols 257..287 map to rows 0..30 of the length tables;
// rows 29 and 30 (symbols 286, 287) carry INVALID_EXTRA so that their table
// entries decode as invalid codes.
#define LENGTH_CODES 31
#define FIRST_LENGTH_SYMBOL 257
#define DISTANCE_CODES 30
#define INVALID_EXTRA 99
#define MASK_ENTRIES 17
#define CODE_LENGTH_CODES 19

extern const uint16_t length_base[LENGTH_CODES];       // shortest length of each length code
extern const uint16_t length_extra[LENGTH_CODES];      // extra bits after each length code
extern const uint16_t distance_base[DISTANCE_CODES];   // shortest distance of each distance code
extern const uint16_t distance_extra[DISTANCE_CODES];  // extra bits after each distance code
extern const uint16_t bit_mask[MASK_ENTRIES];          // entry n is 2^n - 1
extern const uint32_t code_length_order[CODE_LENGTH_CODES];  // storage order of the code-length
                                                             // code's lengths
