// The length, distance, mask and code-length-order tables of deflate
// (RFC 1951 section 3.2.5 and 3.2.7), written out as constants so that no
// decoder builds them at run time.
#include "inflate/tables.h"

// Lengths 3..258 for symbols 257..285, then the two symbols that no valid
// stream uses.
const uint16_t length_base[LENGTH_CODES] = {3,  4,   5,   6,   7,   8,   9,   10, 11, 13, 15,
                                            17, 19,  23,  27,  31,  35,  43,  51, 59, 67, 83,
                                            99, 115, 131, 163, 195, 227, 258, 0,  0};
const uint16_t length_extra[LENGTH_CODES] = {0,
                                             0,
                                             0,
                                             0,
                                             0,
                                             0,
                                             0,
                                             0,
                                             1,
                                             1,
                                             1,
                                             1,
                                             2,
                                             2,
                                             2,
                                             2,
                                             3,
                                             3,
                                             3,
                                             3,
                                             4,
                                             4,
                                             4,
                                             4,
                                             5,
                                             5,
                                             5,
                                             5,
                                             0,
                                             INVALID_EXTRA,
                                             INVALID_EXTRA};

// Distances 1..32768 for symbols 0..29.
const uint16_t distance_base[DISTANCE_CODES] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint16_t distance_extra[DISTANCE_CODES] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                 4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

const uint16_t bit_mask[MASK_ENTRIES] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                                         0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                         0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

const uint32_t code_length_order[CODE_LENGTH_CODES] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
