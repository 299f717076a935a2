// The chunk decoder's public face: one chunk member in memory, decoded into a
// caller's buffer and checked against the CRC-32 and length in its trailer.
#pragma once

#include <stdint.h>

// Result of a successful DecodeChunk: the member's method byte (deflate).
#define CHUNK_METHOD_DEFLATE 8

// Decodes the chunk member input[0 .. input_length) into output. On entry
// *output_length is the output buffer's capacity; on return it holds the
// decoded length (see the failure results for what it holds otherwise).
// Returns 8 on success, 0 when the ISIZE at the end of the input exceeds the
// capacity, -1 when the capacity is below the input length, -2 otherwise.
int DecodeChunk(const uint8_t* input, uint32_t input_length, uint8_t* output,
                uint32_t* output_length);
