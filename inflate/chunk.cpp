// The chunk decoder: checks a chunk member's framing (1F 8B 08, raw deflate
// data, CRC-32, ISIZE), runs the block loop over a byte-wise bit input fed
// from memory, copies stored blocks and flushes the 32 KiB window into the
// caller's buffer through the CRC-32. Running out of input is a sticky flag,
// not an unwinding: every fetch succeeds (with zero bytes once the input is
// used up) and each decoding step tests the flag after gathering bits.
#include "inflate/inflate.h"

#include <string.h>

#include "inflate/state.h"
#include "platform/memory.h"

#define STORED_BLOCK 0
#define FIXED_BLOCK 1
#define DYNAMIC_BLOCK 2
#define RESERVED_BLOCK 3

// Results of DecodeChunk and DecodeMember besides the method byte.
#define CHUNK_TOO_SMALL 0
#define CHUNK_CAPACITY_BELOW_INPUT (-1)
#define CHUNK_FAILED (-2)

// Input shorter than this cannot hold a header and a size field.
#define MIN_MEMBER_LENGTH (MEMBER_HEADER_SIZE + MEMBER_ISIZE_SIZE)

static uint32_t ReadLe32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

/*
 * DecodeChunk: decodes one chunk member held whole in memory. A capacity
 * below the input length is refused before anything is allocated, with the
 * output length left as it was. Otherwise the output length receives the
 * record's out_count whatever the result: the decoded length on success, the
 * claimed ISIZE when the buffer is too small, and the bytes offered to the
 * sink after a failure. When the record cannot be allocated the result is -2
 * with output length 0.
 */
int DecodeChunk(const uint8_t* input, uint32_t input_length, uint8_t* output,
                uint32_t* output_length) {
    if (*output_length < input_length) {
        return CHUNK_CAPACITY_BELOW_INPUT;
    }
    InflateState* s = (InflateState*)AllocateBlock(sizeof(InflateState));
    if (s == nullptr) {
        *output_length = 0;
        return CHUNK_FAILED;
    }
    s->in_data = input;
    s->in_len = input_length;
    s->out_data = output;
    s->out_capacity = *output_length;
    int result = DecodeMember(s);  // 8, 0 or -2
    *output_length = s->out_count;
    ReleaseBlock(s);
    return result;
}

/*
 * DecodeMember: header check, size decision, decoding and the end test. The
 * size decision reads ISIZE from the last four input bytes, where it stands
 * when the input is exactly one member; the decoded length is compared with
 * the capacity again at the end, since the decision may have read other bytes.
 */
int DecodeMember(InflateState* s) {
    s->crc = 0xFFFFFFFF;
    s->out_count = 0;
    s->src_pos = 0;
    s->error = INPUT_OK;
    s->out_total = 0;
    s->in_fill = 0;
    s->in_pos = 0;
    s->window_pos = 0;
    s->lit_lookup_bits = DYNAMIC_LIT_LOOKUP_BITS;
    s->dist_lookup_bits = DYNAMIC_DIST_LOOKUP_BITS;

    uint32_t id1 = NextByte(s);  // the first fetch loads the first input load
    uint32_t id2 = NextByte(s);
    s->method = (int32_t)NextByte(s);
    if (s->error != INPUT_OK || (id1 | (id2 << 8)) != MEMBER_MAGIC ||
        s->method != CHUNK_METHOD_DEFLATE) {
        return CHUNK_FAILED;
    }
    if (s->in_len < MIN_MEMBER_LENGTH) {
        return CHUNK_FAILED;
    }
    s->out_count = ReadLe32(s->in_data + s->in_len - MEMBER_ISIZE_SIZE);
    if (s->out_count > s->out_capacity) {
        return CHUNK_TOO_SMALL;
    }
    s->out_count = 0;
    if (DecodeAndVerify(s) != 0) {
        return CHUNK_FAILED;
    }
    if (s->in_pos != s->in_fill) {
        return CHUNK_FAILED;  // bytes after the trailer in the current load
    }
    if (s->out_count > s->out_capacity) {
        return CHUNK_FAILED;
    }
    return s->method;
}

/*
 * DecodeAndVerify: decodes the deflate data, then reads the eight trailer
 * bytes (zero bytes if the input ran out) and compares them with the CRC-32
 * and the count of the bytes flushed.
 */
int DecodeAndVerify(InflateState* s) {
    UpdateCrc32(s, nullptr, 0);
    if (DecodeBlocks(s) != BLOCK_OK) {
        return CHUNK_FAILED;
    }
    uint8_t trailer[MEMBER_TRAILER_SIZE];  // CRC-32 and ISIZE, little-endian
    for (int i = 0; i < MEMBER_TRAILER_SIZE; i++) {
        trailer[i] = (uint8_t)NextByte(s);
    }
    if (s->error != INPUT_OK) {
        return CHUNK_FAILED;
    }
    if (ReadLe32(trailer) != UpdateCrc32(s, s->window, 0)) {
        return CHUNK_FAILED;
    }
    if (ReadLe32(trailer + MEMBER_TRAILER_SIZE - MEMBER_ISIZE_SIZE) != s->out_total) {
        return CHUNK_FAILED;
    }
    return 0;
}

/*
 * DecodeBlocks: the block loop. After the last block, whole bytes still in
 * the bit buffer are handed back to the input load so that the trailer is
 * read from the first byte after the deflate data; the bits below a byte
 * belong to the last deflate byte and are dropped. Those bytes are always
 * the most recent of the current load; the guard on in_pos only keeps a
 * broken invariant from reading before the buffer.
 */
int DecodeBlocks(InflateState* s) {
    s->window_pos = 0;
    s->bit_count = 0;
    s->bit_buf = 0;
    int last_block = 0;  // last-block flag of the block just decoded
    do {
        int result = DecodeBlock(s, &last_block);
        if (result != BLOCK_OK) {
            return result;
        }
        if (s->error != INPUT_OK) {
            return BLOCK_OK;  // the caller fails on the flag; nothing is flushed
        }
    } while (!last_block);
    while (s->bit_count >= 8 && s->in_pos > 0) {
        s->bit_count -= 8;
        s->in_pos -= 1;
    }
    FlushWindow(s);
    return BLOCK_OK;
}

/*
 * DecodeBlock: reads a block header (last-block bit, then the two type bits)
 * and hands the block to the decoder of its type. Type 3 is reserved.
 */
int DecodeBlock(InflateState* s, int* last_block) {
    EnsureBits(s, &s->bit_buf, &s->bit_count, 1);
    if (s->error != INPUT_OK) {
        return BLOCK_OK;
    }
    *last_block = (int)(s->bit_buf & 1);
    DropBits(&s->bit_buf, &s->bit_count, 1);
    EnsureBits(s, &s->bit_buf, &s->bit_count, 2);
    if (s->error != INPUT_OK) {
        return BLOCK_OK;
    }
    uint32_t type = s->bit_buf & 3;  // STORED_BLOCK .. RESERVED_BLOCK
    DropBits(&s->bit_buf, &s->bit_count, 2);
    switch (type) {
    case STORED_BLOCK:
        return CopyStoredBlock(s);
    case FIXED_BLOCK:
        return DecodeFixedBlock(s);
    case DYNAMIC_BLOCK:
        return DecodeDynamicBlock(s);
    default:
        return BLOCK_REFUSED;  // type 3 is reserved
    }
}

/*
 * CopyStoredBlock: a stored block starts at the next byte boundary with LEN
 * and its complement NLEN (u16 little-endian each), then LEN raw bytes. The
 * bytes already in the bit buffer are taken first, one at a time; after that
 * the bit buffer is empty and the rest is moved in runs straight from the
 * input load, each run ending at the end of the load or of the window. The
 * result is the same as moving every byte through the bit buffer: the same
 * flushes, and when the input runs out the flag is set and nothing of the
 * working state is written back.
 */
int CopyStoredBlock(InflateState* s) {
    uint32_t w = s->window_pos;  // working window position
    uint32_t b = s->bit_buf;     // working bit buffer
    uint32_t k = s->bit_count;   // working bit count
    DropBits(&b, &k, k & 7);
    EnsureBits(s, &b, &k, 16);
    if (s->error != INPUT_OK) {
        return BLOCK_OK;
    }
    uint32_t len = b & 0xFFFF;  // bytes still to copy
    DropBits(&b, &k, 16);
    EnsureBits(s, &b, &k, 16);
    if (s->error != INPUT_OK) {
        return BLOCK_OK;
    }
    if ((b & 0xFFFF) != (len ^ 0xFFFF)) {
        return BLOCK_INVALID;
    }
    DropBits(&b, &k, 16);

    while (len > 0) {
        if (k >= 8 || s->in_pos == s->in_fill) {
            // A byte from the bit buffer, or the first of a new load.
            EnsureBits(s, &b, &k, 8);
            if (s->error != INPUT_OK) {
                return BLOCK_OK;
            }
            s->window[w++] = (uint8_t)b;
            DropBits(&b, &k, 8);
            len--;
        } else {
            uint32_t run = s->in_fill - s->in_pos;  // bytes left in the load
            if (run > len) {
                run = len;
            }
            if (run > WINDOW_SIZE - w) {
                run = WINDOW_SIZE - w;
            }
            memcpy(s->window + w, s->in_buf + s->in_pos, run);
            s->in_pos += run;
            w += run;
            len -= run;
        }
        if (w == WINDOW_SIZE) {
            s->window_pos = WINDOW_SIZE;
            FlushWindow(s);
            w = 0;
            if (len > 0 && s->error != INPUT_OK) {
                return BLOCK_OK;  // the flush overflowed the sink's count
            }
        }
    }
    s->window_pos = w;
    s->bit_buf = b;
    s->bit_count = k;
    return BLOCK_OK;
}

/*
 * SourceRead: the memory source. Copies up to n of the caller's input bytes
 * that have not been delivered yet; -1 once all of them have been.
 */
int SourceRead(InflateState* s, uint8_t* destination, uint32_t n) {
    if (s->src_pos >= s->in_len) {
        return -1;
    }
    uint32_t available = s->in_len - s->src_pos;  // bytes not yet delivered
    if (n > available) {
        n = available;
    }
    memcpy(destination, s->in_data + s->src_pos, n);
    s->src_pos += n;
    return (int)n;
}

/*
 * SinkWrite: the memory sink. Stores what fits below the capacity and counts
 * everything offered, so that the count tells the full decoded length even
 * when the buffer was too small. A count that would pass 2^32 - 1 sets the
 * error flag instead and stores nothing.
 */
void SinkWrite(InflateState* s, const uint8_t* source, uint32_t n) {
    if (n > 0xFFFFFFFFu - s->out_count) {
        s->error = OUTPUT_COUNT_OVERFLOW;
        return;
    }
    if (s->out_count < s->out_capacity) {
        uint32_t room = s->out_capacity - s->out_count;  // bytes still storable
        memcpy(s->out_data + s->out_count, source, n < room ? n : room);
    }
    s->out_count += n;
}

/*
 * FillInput: loads the next up to 32,768 input bytes and returns the first.
 * When nothing is left it sets the error flag and delivers a zero byte, so
 * that every fetch past the end yields 0 and sets the flag again.
 */
uint32_t FillInput(InflateState* s) {
    s->in_fill = 0;
    for (;;) {
        int got = SourceRead(s, s->in_buf + s->in_fill, INPUT_LOAD_SIZE - s->in_fill);
        if (got <= 0) {
            break;
        }
        s->in_fill += (uint32_t)got;
        if (s->in_fill == INPUT_LOAD_SIZE) {
            break;
        }
    }
    if (s->in_fill == 0) {
        s->error = INPUT_EXHAUSTED;
        s->in_fill = 1;
        s->in_buf[0] = 0;
    }
    s->in_pos = 1;
    return s->in_buf[0];
}

/*
 * FlushWindow: hands the bytes in the window to the CRC-32 and the sink and
 * empties it. An empty window is not handed over at all.
 */
void FlushWindow(InflateState* s) {
    if (s->window_pos == 0) {
        return;
    }
    UpdateCrc32(s, s->window, s->window_pos);
    SinkWrite(s, s->window, s->window_pos);
    s->out_total += s->window_pos;
    s->window_pos = 0;
}
