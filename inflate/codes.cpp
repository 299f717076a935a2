// The inner loop of the Huffman-coded blocks: literals, lengths and
// distances decoded into the circular 32 KiB window. The bit buffer, the
// window position and the input position live in locals for the whole block
// (stores into the window could otherwise alias the record's fields), and are
// stored back only when the block ends; the loop is longer for it, and must
// keep the record in step by hand around every refill and flush. Most steps
// run in a fast loop on a 64-bit look-ahead, which pays with a second copy of
// the symbol step and with bookkeeping to give back the byte-wise state.
#include <string.h>

#include "inflate/state.h"
#include "inflate/tables.h"

// The working copies of the bit input and the window position.
struct CodeCursor {
    uint32_t bit_buf;    // unconsumed bits, next bit in bit 0
    uint32_t bit_count;  // valid bits in bit_buf
    uint32_t in_pos;     // next unread byte of the input load
    uint32_t in_fill;    // valid bytes of the input load
    uint32_t w;          // window position
    uint32_t error;      // copy of the record's sticky flag
};

/*
 * GatherBits: EnsureBits on the working copies. A byte of the current load
 * is taken directly; at the end of the load the record's FillInput loads the
 * next one (or delivers a zero byte and sets the flag). Returns 0 when the
 * error flag is set afterwards, whatever set it.
 */
static inline int GatherBits(InflateState* s, CodeCursor* c, uint32_t n) {
    while (c->bit_count < n) {
        uint32_t byte;  // next input byte
        if (c->in_pos < c->in_fill) {
            byte = s->in_buf[c->in_pos++];
        } else {
            s->in_pos = c->in_pos;
            byte = FillInput(s);
            c->in_pos = s->in_pos;
            c->in_fill = s->in_fill;
            c->error = s->error;
        }
        c->bit_buf |= byte << c->bit_count;
        c->bit_count += 8;
    }
    return c->error == INPUT_OK;
}

static inline void DropCursorBits(CodeCursor* c, uint32_t n) {
    c->bit_buf >>= n;
    c->bit_count -= n;
}

/*
 * ReadSymbol: one symbol from a table of the given lookup bits, following
 * links into sub-tables. Null when the input ran out (flag set) or the code
 * is invalid (*invalid set); otherwise the symbol's entry, its bits dropped.
 */
static inline const HuffEntry* ReadSymbol(InflateState* s, CodeCursor* c, const HuffEntry* table,
                                          uint32_t bits, int* invalid) {
    if (!GatherBits(s, c, bits)) {
        return nullptr;
    }
    const HuffEntry* entry = table + (c->bit_buf & bit_mask[bits]);
    while (entry->op > OP_LITERAL) {
        if (entry->op == OP_INVALID) {
            *invalid = 1;
            return nullptr;
        }
        DropCursorBits(c, entry->bits);
        uint32_t sub_bits = entry->op - OP_LINK_BASE;  // index bits of the sub-table
        if (!GatherBits(s, c, sub_bits)) {
            return nullptr;
        }
        entry = entry->link + (c->bit_buf & bit_mask[sub_bits]);
    }
    DropCursorBits(c, entry->bits);
    return entry;
}

// Input bytes that the fast loop wants in the current load before a step.
// A step reads at most a length code (MAXBITS), its extra bits (5), a
// distance code (MAXBITS) and its extra bits (13): 48 bits. Gathering takes a
// byte only while fewer bits are held than asked (at most 16), so at most 23
// bits are held after it and one step takes at most (23 + 48) / 8 = 8 bytes;
// the look-ahead's refill reads 8 bytes at once and runs at most 7 ahead.
#define FAST_INPUT_BYTES 16

// The longest match, and so the window room that the fast loop wants before
// a step: a step never passes the end of the window, at most reaches it.
#define MAX_MATCH 258

/* FlushFullWindow: hands the full window to FlushWindow and starts it again. */
static inline void FlushFullWindow(InflateState* s, CodeCursor* c) {
    s->window_pos = WINDOW_SIZE;
    FlushWindow(s);
    c->w = 0;
    c->error = s->error;
}

/*
 * CopyMatch: copies length bytes from window position d (already reduced
 * into the window) to the write position, splitting only where the source or
 * the destination reaches the end of the window. A source that starts fewer
 * than n bytes before the destination is copied front to back byte by byte,
 * which repeats the bytes just written; any other range moves as one block
 * (the source then lies after the destination when they overlap).
 */
// Bytes moved at a time by an overlapping copy whose distance allows it.
#define COPY_STEP 8

static inline void CopyMatch(InflateState* s, CodeCursor* c, uint32_t d, uint32_t length) {
    uint8_t* window = s->window;
    do {
        d &= WINDOW_SIZE - 1;
        uint32_t w = c->w;
        uint32_t n = WINDOW_SIZE - (d > w ? d : w);  // bytes before either range wraps
        if (n > length) {
            n = length;
        }
        length -= n;
        if (d > w) {
            memmove(window + w, window + d, n);
        } else if (w - d >= n) {
            memcpy(window + w, window + d, n);
        } else if (w - d == 1) {
            memset(window + w, window[d], n);
        } else if (w - d >= COPY_STEP) {
            // Steps of COPY_STEP bytes that each read only bytes already
            // written: the same bytes as copying one at a time.
            uint32_t i = 0;  // bytes copied
            for (; i + COPY_STEP <= n; i += COPY_STEP) {
                memcpy(window + w + i, window + d + i, COPY_STEP);
            }
            for (; i < n; i++) {
                window[w + i] = window[d + i];
            }
        } else {
            for (uint32_t i = 0; i < n; i++) {
                window[w + i] = window[d + i];
            }
        }
        c->w = w + n;
        d += n;
        if (c->w == WINDOW_SIZE) {
            FlushFullWindow(s, c);
        }
    } while (length > 0);
}

// Results of FastSteps.
#define FAST_CAREFUL 0       // go on with a step of the careful loop
#define FAST_END_OF_BLOCK 1  // end of block, the working state stored back
#define FAST_INVALID 2       // invalid code, in_pos stored back

// The fast loop's bit input: a 64-bit look-ahead refilled eight bytes at a
// time, and beside it the count that the byte-wise gathering would hold, so
// that the cursor can be given back exactly as that gathering leaves it.
struct LookAhead {
    uint64_t bits;   // the next input bits, next bit in bit 0
    uint32_t avail;  // valid bits in bits
    uint32_t pos;    // next load byte not yet in bits
    uint32_t held;   // bit_count of the byte-wise gathering
};

// The n lowest bits of a 64-bit word, for n up to 23 (the mask table stops
// at 16).
#define LOW_BITS(n) ((((uint64_t)1) << (n)) - 1)

/* Refill: tops the look-ahead up to at least 56 bits from eight load bytes. */
static inline void Refill(const uint8_t* in_buf, LookAhead* a) {
    uint64_t word;  // eight load bytes; the targets are little-endian
    memcpy(&word, in_buf + a->pos, sizeof word);
    a->bits |= word << a->avail;
    a->pos += (63 - a->avail) >> 3;
    a->avail |= 56;
}

/* Gather: the byte-wise gathering's count for a gathering of n bits. */
static inline void Gather(LookAhead* a, uint32_t n) {
    if (a->held < n) {
        a->held += (n - a->held + 7) & ~7u;
    }
}

static inline void Drop(LookAhead* a, uint32_t n) {
    a->bits >>= n;
    a->avail -= n;
    a->held -= n;
}

/* LookSymbol: ReadSymbol on the look-ahead (mask: that of the lookup bits). */
static inline const HuffEntry* LookSymbol(LookAhead* a, const HuffEntry* table, uint32_t bits,
                                          uint32_t mask) {
    Gather(a, bits);
    const HuffEntry* entry = table + (a->bits & mask);
    while (entry->op > OP_LITERAL) {
        if (entry->op == OP_INVALID) {
            return nullptr;
        }
        Drop(a, entry->bits);
        uint32_t sub_bits = entry->op - OP_LINK_BASE;  // index bits of the sub-table
        Gather(a, sub_bits);
        entry = entry->link + (a->bits & bit_mask[sub_bits]);
    }
    Drop(a, entry->bits);
    return entry;
}

/*
 * GiveBack: the cursor as the byte-wise gathering leaves it. Its input
 * position lies held - avail bits (whole bytes) away from the look-ahead's;
 * when it is ahead, the bytes between are taken from the load again.
 */
static inline void GiveBack(const uint8_t* in_buf, const LookAhead* a, CodeCursor* c) {
    uint32_t bit_buf;  // the held bits
    if (a->held <= a->avail) {
        c->in_pos = a->pos - (a->avail - a->held) / 8;
        bit_buf = (uint32_t)(a->bits & LOW_BITS(a->held));
    } else {
        c->in_pos = a->pos + (a->held - a->avail) / 8;
        bit_buf = (uint32_t)(a->bits & LOW_BITS(a->avail));
        for (uint32_t i = a->pos, shift = a->avail; i < c->in_pos; i++, shift += 8) {
            bit_buf |= (uint32_t)in_buf[i] << shift;
        }
    }
    c->bit_buf = bit_buf;
    c->bit_count = a->held;
}

/*
 * FastSteps: whole steps (a symbol with its length and distance) while the
 * load holds more than a step can take and the window has room for the
 * longest match, so that neither end needs testing inside. A step never
 * passes the end of the window, at most reaches it and flushes it. The
 * bytes taken and the bit count given back are those of the careful loop.
 */
static int FastSteps(InflateState* s, CodeCursor* c, const HuffEntry* lit_table,
                     const HuffEntry* dist_table, uint32_t lit_bits, uint32_t dist_bits) {
    const uint8_t* in_buf = s->in_buf;         // the input load
    uint8_t* window = s->window;               // the window
    uint32_t lit_mask = bit_mask[lit_bits];    // index mask of the literal table
    uint32_t dist_mask = bit_mask[dist_bits];  // index mask of the distance table
    LookAhead a = {c->bit_buf, c->bit_count, c->in_pos, c->bit_count};
    int result = FAST_CAREFUL;  // why the loop ended
    while (c->error == INPUT_OK && c->in_fill - a.pos >= FAST_INPUT_BYTES &&
           WINDOW_SIZE - c->w >= MAX_MATCH) {
        Refill(in_buf, &a);
        const HuffEntry* entry = LookSymbol(&a, lit_table, lit_bits, lit_mask);
        if (entry == nullptr) {
            result = FAST_INVALID;
            break;
        }
        if (entry->op == OP_LITERAL) {
            window[c->w++] = (uint8_t)entry->value;
            continue;
        }
        if (entry->op == OP_END_OF_BLOCK) {
            result = FAST_END_OF_BLOCK;
            break;
        }
        if (dist_table == nullptr) {
            result = FAST_INVALID;
            break;
        }
        uint32_t extra = entry->op;  // extra bits of the length
        Gather(&a, extra);
        uint32_t length = entry->value + (uint32_t)(a.bits & LOW_BITS(extra));  // bytes to copy
        Drop(&a, extra);
        entry = LookSymbol(&a, dist_table, dist_bits, dist_mask);
        if (entry == nullptr) {
            result = FAST_INVALID;
            break;
        }
        extra = entry->op;
        Gather(&a, extra);
        uint32_t distance = entry->value + (uint32_t)(a.bits & LOW_BITS(extra));  // 1..32768
        Drop(&a, extra);
        if (distance > c->w && s->out_total == 0) {
            result = FAST_INVALID;  // before the chunk's first byte
            break;
        }
        CopyMatch(s, c, c->w - distance, length);
    }
    GiveBack(in_buf, &a, c);
    if (result == FAST_END_OF_BLOCK) {
        s->window_pos = c->w;
        s->bit_buf = c->bit_buf;
        s->bit_count = c->bit_count;
    }
    if (result != FAST_CAREFUL) {
        s->in_pos = c->in_pos;
    }
    return result;
}

/*
 * DecodeCodes: decodes one block's coded data up to its end-of-block code.
 * A distance that reaches before the first byte of the chunk is refused
 * like an invalid code: the window is never read where this chunk has not
 * written. Since flushes happen only when the window is full, any flushed
 * output means that all 32,768 bytes behind the write position are the
 * chunk's own. A length symbol in a block without distance code is refused
 * too. Only the end-of-block code writes the working state back; the input
 * position is kept in step on every way out.
 */
int DecodeCodes(InflateState* s, const HuffEntry* lit_table, const HuffEntry* dist_table,
                int lit_bits, int dist_bits) {
    CodeCursor c = {s->bit_buf, s->bit_count, s->in_pos, s->in_fill, s->window_pos, s->error};
    int invalid = 0;  // set by ReadSymbol for an invalid code
    for (;;) {
        int fast = FastSteps(s, &c, lit_table, dist_table, (uint32_t)lit_bits, (uint32_t)dist_bits);
        if (fast != FAST_CAREFUL) {
            return fast == FAST_END_OF_BLOCK ? BLOCK_OK : BLOCK_INVALID;
        }
        // One step of the careful loop, near the end of the load or window.
        const HuffEntry* entry = ReadSymbol(s, &c, lit_table, (uint32_t)lit_bits, &invalid);
        if (entry == nullptr) {
            break;
        }
        if (entry->op == OP_LITERAL) {
            s->window[c.w++] = (uint8_t)entry->value;
            if (c.w == WINDOW_SIZE) {
                FlushFullWindow(s, &c);
            }
            continue;
        }
        if (entry->op == OP_END_OF_BLOCK) {
            s->window_pos = c.w;
            s->bit_buf = c.bit_buf;
            s->bit_count = c.bit_count;
            s->in_pos = c.in_pos;
            return BLOCK_OK;
        }
        if (dist_table == nullptr) {
            invalid = 1;
            break;
        }
        uint32_t extra = entry->op;  // extra bits of the length
        if (!GatherBits(s, &c, extra)) {
            break;
        }
        uint32_t length = entry->value + (c.bit_buf & bit_mask[extra]);  // bytes to copy
        DropCursorBits(&c, extra);

        entry = ReadSymbol(s, &c, dist_table, (uint32_t)dist_bits, &invalid);
        if (entry == nullptr) {
            break;
        }
        extra = entry->op;
        if (!GatherBits(s, &c, extra)) {
            break;
        }
        uint32_t distance = entry->value + (c.bit_buf & bit_mask[extra]);  // 1..32768
        DropCursorBits(&c, extra);
        if (distance > c.w && s->out_total == 0) {
            invalid = 1;  // before the chunk's first byte
            break;
        }
        CopyMatch(s, &c, c.w - distance, length);
    }
    s->in_pos = c.in_pos;
    return invalid ? BLOCK_INVALID : BLOCK_OK;
}
