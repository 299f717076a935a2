// The inner loop of the Huffman-coded blocks: literals, lengths and
// distances decoded into the circular 32 KiB window. The bit buffer, the
// window position and the input position live in locals for the whole block
// (stores into the window could otherwise alias the record's fields), and are
// stored back only when the block ends; the loop is longer for it, and must
// keep the record in step by hand around every refill and flush.
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
