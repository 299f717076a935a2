// The inner loop of the Huffman-coded blocks: literals, lengths and
// distances decoded into the circular 32 KiB window. The bit input and the
// window position live in working copies for the whole block (stores into
// the window could otherwise alias the record's fields) and are stored back
// when the block ends. Symbols are decoded by two loops: a careful one that
// gathers byte by byte through the record's input loads and flushes the
// window when it is full, and a fast one for while the load holds more than
// a step reads and the window has room for the longest match, on a 64-bit
// buffer refilled a word at a time, with no end tests, up to three literals
// per refill and copies that may write past their end. Both share the
// reading of a symbol and the match with its refusals. The price is the code
// of two loops and the few hundred bytes at the end of each window that are
// decoded carefully.
#include <string.h>

#include "inflate/state.h"
#include "inflate/tables.h"

// The working copies of the bit input and the window position. Outside the
// fast loop the bits of bit_buf above bit_count are 0, as in the record;
// inside it they are the first bits of the load byte at in_pos.
struct CodeCursor {
    uint64_t bit_buf;    // unconsumed bits, next bit in bit 0
    uint32_t bit_count;  // bits of bit_buf taken from the load
    uint32_t in_pos;     // next load byte not yet in bit_buf
    uint32_t in_fill;    // valid bytes of the input load
    uint32_t w;          // window position
};

// A block's two codes as DecodeCodes was given them.
struct CodeTables {
    const HuffEntry* lit;   // literal/length tables
    const HuffEntry* dist;  // distance tables; null when the block has no distance code
    uint32_t lit_bits;      // lookup bits of each
    uint32_t dist_bits;
};

// Results of one step.
#define STEP_NEXT 0     // a literal or a match was decoded
#define STEP_END 1      // end of block, its code dropped
#define STEP_INVALID 2  // an invalid code, or a refused length or distance
#define STEP_STOPPED 3  // the error flag was found set after a gathering

// An op that no table holds: ReadSymbol's answer when the error flag was
// found set.
#define OP_STOPPED 0xFF

// Input bytes that the fast loop wants in the load before a step: those that
// its refill reads. A step reads at most a length code (MAXBITS), its extra
// bits (5), a distance code (MAXBITS) and its extra bits (13): 48 bits, and
// a refill leaves at least 56.
#define FAST_INPUT_BYTES 8

// How far a fast copy may write past its end, and the window room that the
// fast loop wants before a step: the longest match and that slack, so that
// a fast step never reaches the end of the window.
#define MAX_MATCH 258
#define COPY_SLACK 16
#define FAST_WINDOW_ROOM (MAX_MATCH + COPY_SLACK)

// The shared pieces are inlined into both loops with the careful flag a
// constant, so that the fast loop loses its gatherings and end tests.
#define STEP_INLINE static inline __attribute__((always_inline))

/*
 * Gather: EnsureBits on the working copies, in the careful loop only (the
 * fast loop's refill holds enough). A byte of the current load is taken
 * directly; at the end of the load the record's FillInput loads the next one
 * (or delivers a zero byte and sets the flag). Returns 0 when the error flag
 * is set afterwards, whatever set it.
 */
STEP_INLINE int Gather(InflateState* s, CodeCursor* c, uint32_t n, int careful) {
    if (!careful) {
        return 1;
    }
    while (c->bit_count < n) {
        uint32_t byte;  // next input byte
        if (c->in_pos < c->in_fill) {
            byte = s->in_buf[c->in_pos++];
        } else {
            s->in_pos = c->in_pos;
            byte = FillInput(s);
            c->in_pos = s->in_pos;
            c->in_fill = s->in_fill;
        }
        c->bit_buf |= (uint64_t)byte << c->bit_count;
        c->bit_count += 8;
    }
    return s->error == INPUT_OK;
}

STEP_INLINE void Drop(CodeCursor* c, uint32_t n) {
    c->bit_buf >>= n;
    c->bit_count -= n;
}

/*
 * LowBits: the n lowest bits of the buffer, n at most 16. The mask is
 * computed rather than looked up: n comes from the entry just loaded, and a
 * second load would wait behind it.
 */
STEP_INLINE uint32_t LowBits(const CodeCursor* c, uint32_t n) {
    return (uint32_t)c->bit_buf & ((1u << n) - 1);
}

/*
 * FollowLinks: completes the symbol whose first-level entry was taken,
 * following links into sub-tables, and drops its bits. An invalid code
 * gives its op 99 entry; a gathering that finds the error flag set gives
 * OP_STOPPED.
 */
STEP_INLINE HuffEntry FollowLinks(InflateState* s, CodeCursor* c, const HuffEntry* table,
                                  HuffEntry entry, int careful) {
    while (entry.op > OP_LITERAL) {
        if (entry.op == OP_INVALID) {
            return entry;
        }
        Drop(c, entry.bits);
        uint32_t sub_bits = entry.op - OP_LITERAL;  // index bits of the sub-table
        const HuffEntry* sub = SubTable(table, entry);
        if (!Gather(s, c, sub_bits, careful)) {
            entry.op = OP_STOPPED;
            return entry;
        }
        entry = sub[LowBits(c, sub_bits)];
    }
    Drop(c, entry.bits);
    return entry;
}

/* ReadSymbol: one symbol from a tree of the given lookup bits, as FollowLinks gives it. */
STEP_INLINE HuffEntry ReadSymbol(InflateState* s, CodeCursor* c, const HuffEntry* table,
                                 uint32_t bits, int careful) {
    if (!Gather(s, c, bits, careful)) {
        HuffEntry stopped = {OP_STOPPED, 0, {0}};
        return stopped;
    }
    return FollowLinks(s, c, table, table[LowBits(c, bits)], careful);
}

/* FlushFullWindow: hands the full window to FlushWindow; the window starts again at 0. */
static void FlushFullWindow(InflateState* s) {
    s->window_pos = WINDOW_SIZE;
    FlushWindow(s);
}

/*
 * CopyMatch: copies length bytes from window position d (already reduced
 * into the window) to window position w and returns the write position
 * after them, splitting only where the source or the destination reaches
 * the end of the window, and flushing the window when the destination fills
 * it. A source that starts fewer than n bytes before the destination is
 * copied front to back byte by byte, which repeats the bytes just written;
 * any other range moves as one block (the source then lies after the
 * destination when they overlap).
 */
static uint32_t CopyMatch(InflateState* s, uint32_t w, uint32_t d, uint32_t length) {
    uint8_t* window = s->window;
    do {
        d &= WINDOW_SIZE - 1;
        uint32_t n = WINDOW_SIZE - (d > w ? d : w);  // bytes before either range wraps
        if (n > length) {
            n = length;
        }
        length -= n;
        if (d > w) {
            memmove(window + w, window + d, n);
        } else if (w - d >= n) {
            memcpy(window + w, window + d, n);
        } else {
            for (uint32_t i = 0; i < n; i++) {
                window[w + i] = window[d + i];
            }
        }
        w += n;
        d += n;
        if (w == WINDOW_SIZE) {
            FlushFullWindow(s);
            w = 0;
        }
    } while (length > 0);
    return w;
}

/*
 * CopyMatchFast: CopyMatch for a match that reaches neither end of the
 * window, not even with COPY_SLACK bytes more, on either side. Copies in
 * whole words as far as the distance allows, which may write up to
 * COPY_SLACK bytes past the end; those bytes are window content that a later
 * distance may still read, so they are saved first and put back after. A
 * source after the destination may overlap the word being written; each
 * word is read whole before it is written.
 */
STEP_INLINE void CopyMatchFast(uint8_t* window, uint32_t w, uint32_t d, uint32_t length) {
    uint8_t* to = window + w;          // next byte to write
    const uint8_t* from = window + d;  // its source
    uint8_t* end = to + length;        // first byte after the match
    uint8_t saved[COPY_SLACK];         // the bytes past the end
    memcpy(saved, end, COPY_SLACK);
    uint32_t gap = w - d;  // distance; a source after the destination counts as far
    if (gap >= 16) {
        do {
            memmove(to, from, 16);
            to += 16;
            from += 16;
        } while (to < end);
    } else if (gap >= 8) {
        do {
            memcpy(to, from, 8);
            to += 8;
            from += 8;
        } while (to < end);
    } else if (gap == 1) {
        uint64_t run = 0x0101010101010101ull * *from;  // the byte, eight times
        do {
            memcpy(to, &run, 8);
            to += 8;
        } while (to < end);
    } else {
        do {
            *to++ = *from++;
        } while (to < end);
    }
    memcpy(end, saved, COPY_SLACK);
}

/*
 * Match: the rest of a step whose literal/length symbol was a length: its
 * extra bits, the distance symbol with its extra bits, and the copy. A
 * length in a block without distance code is refused, and so is a distance
 * that reaches before the first byte of the chunk: the window is never read
 * where this chunk has not written. Since flushes happen only when the
 * window is full, any flushed output means that all 32,768 bytes behind
 * the write position are the chunk's own.
 */
STEP_INLINE int Match(InflateState* s, CodeCursor* c, const CodeTables* t, HuffEntry entry,
                      int careful) {
    if (t->dist == nullptr) {
        return STEP_INVALID;
    }
    uint32_t extra = entry.op;  // extra bits of the length
    if (!Gather(s, c, extra, careful)) {
        return STEP_STOPPED;
    }
    uint32_t length = entry.value + LowBits(c, extra);  // bytes to copy
    Drop(c, extra);

    entry = ReadSymbol(s, c, t->dist, t->dist_bits, careful);
    if (entry.op > OP_EXTRA_MAX) {
        return entry.op == OP_INVALID ? STEP_INVALID : STEP_STOPPED;
    }
    extra = entry.op;
    if (!Gather(s, c, extra, careful)) {
        return STEP_STOPPED;
    }
    uint32_t distance = entry.value + LowBits(c, extra);  // 1..32768
    Drop(c, extra);
    if (distance > c->w && s->out_total == 0) {
        return STEP_INVALID;
    }
    uint32_t d = (c->w - distance) & (WINDOW_SIZE - 1);  // source position
    if (careful || d + length + COPY_SLACK > WINDOW_SIZE) {
        c->w = CopyMatch(s, c->w, d, length);
    } else {
        CopyMatchFast(s->window, c->w, d, length);
        c->w += length;
    }
    return STEP_NEXT;
}

/*
 * CarefulStep: one literal/length symbol and, for a length, its match,
 * gathering byte by byte and flushing the window when it is full.
 */
static int CarefulStep(InflateState* s, CodeCursor* c, const CodeTables* t) {
    HuffEntry entry = ReadSymbol(s, c, t->lit, t->lit_bits, 1);
    if (entry.op == OP_LITERAL) {
        s->window[c->w++] = (uint8_t)entry.value;
        if (c->w == WINDOW_SIZE) {
            FlushFullWindow(s);
            c->w = 0;
        }
        return STEP_NEXT;
    }
    if (entry.op > OP_EXTRA_MAX) {
        return entry.op == OP_END_OF_BLOCK ? STEP_END
               : entry.op == OP_INVALID    ? STEP_INVALID
                                           : STEP_STOPPED;
    }
    return Match(s, c, t, entry, 1);
}

/*
 * Refill: tops the buffer up to at least 56 bits with the eight load bytes
 * from in_pos. The bits above the count then hold the start of the next
 * byte, which the following refill ORs in again unchanged.
 */
STEP_INLINE void Refill(const uint8_t* in_buf, CodeCursor* c) {
    uint64_t word;  // eight load bytes; the targets are little-endian
    memcpy(&word, in_buf + c->in_pos, sizeof word);
    c->bit_buf |= word << c->bit_count;
    c->in_pos += (63 - c->bit_count) >> 3;
    c->bit_count |= 56;
}

/*
 * FastRoom: whether the fast loop may take a step: the load holds more than
 * a step reads and the window has room for the longest match and the copy
 * slack.
 */
STEP_INLINE int FastRoom(const CodeCursor* c) {
    return c->in_fill - c->in_pos >= FAST_INPUT_BYTES && c->w <= WINDOW_SIZE - FAST_WINDOW_ROOM;
}

/*
 * FastSteps: steps while FastRoom allows, each after a refill. The
 * first-level entry of the next symbol is taken before the refill, from
 * bits that are already there: a refill leaves all 64 bits of the buffer
 * true input bits, counted or not, and a step takes at most 48 of them, so
 * at least 16 are left for the next code. A step is a run of up to three
 * literals that the first level resolves (at most 45 bits), or one symbol
 * of any other kind with its match.
 */
STEP_INLINE int FastSteps(InflateState* s, CodeCursor* c, const CodeTables* t) {
    uint8_t* window = s->window;
    uint32_t lit_mask = bit_mask[t->lit_bits];  // index mask of the literal first level
    Refill(s->in_buf, c);
    HuffEntry entry = t->lit[c->bit_buf & lit_mask];  // first-level entry of the next symbol
    for (;;) {
        if (entry.op == OP_LITERAL) {
            Drop(c, entry.bits);
            window[c->w++] = (uint8_t)entry.value;
            entry = t->lit[c->bit_buf & lit_mask];
            if (entry.op == OP_LITERAL) {
                Drop(c, entry.bits);
                window[c->w++] = (uint8_t)entry.value;
                entry = t->lit[c->bit_buf & lit_mask];
                if (entry.op == OP_LITERAL) {
                    Drop(c, entry.bits);
                    window[c->w++] = (uint8_t)entry.value;
                    entry = t->lit[c->bit_buf & lit_mask];
                }
            }
        } else {
            entry = FollowLinks(s, c, t->lit, entry, 0);
            if (entry.op == OP_LITERAL) {
                window[c->w++] = (uint8_t)entry.value;
            } else if (entry.op > OP_EXTRA_MAX) {
                return entry.op == OP_END_OF_BLOCK ? STEP_END : STEP_INVALID;
            } else {
                int result = Match(s, c, t, entry, 0);  // STEP_NEXT or STEP_INVALID
                if (result != STEP_NEXT) {
                    return result;
                }
            }
            entry = t->lit[c->bit_buf & lit_mask];
        }
        if (!FastRoom(c)) {
            return STEP_NEXT;
        }
        Refill(s->in_buf, c);
    }
}

/*
 * DecodeCodes: decodes one block's coded data up to its end-of-block code.
 * Before each careful step the fast loop takes over when there is room; on
 * leaving it gives the whole bytes it holds back to the load, so that fewer
 * than 8 bits stay in the buffer. Bytes taken early make no difference: a
 * byte-wise gathering takes a byte when the bits asked for reach into it,
 * whatever was held before, and those bytes were in the load anyway. The
 * bytes given back are all of the current load: outside the fast loop at
 * most 15 bits are held between steps (a gathering of n bits holds at most
 * n + 7, and a step ends by dropping the code it gathered for), so a whole
 * byte is held only together with a byte taken from the current load, and
 * the fast loop moves the input position by exactly the bytes it adds.
 * Only the end-of-block code writes the working state back; the input
 * position is kept in step on every way out.
 */
int DecodeCodes(InflateState* s, const HuffEntry* lit_table, const HuffEntry* dist_table,
                int lit_bits, int dist_bits) {
    CodeCursor c = {s->bit_buf, s->bit_count, s->in_pos, s->in_fill, s->window_pos};
    CodeTables t = {lit_table, dist_table, (uint32_t)lit_bits, (uint32_t)dist_bits};
    int result;  // the step that ended the block
    for (;;) {
        if (FastRoom(&c) && s->error == INPUT_OK) {
            result = FastSteps(s, &c, &t);
            c.in_pos -= c.bit_count / 8;
            c.bit_count &= 7;
            c.bit_buf &= bit_mask[c.bit_count];
            if (result != STEP_NEXT) {
                break;
            }
        }
        result = CarefulStep(s, &c, &t);
        if (result != STEP_NEXT) {
            break;
        }
    }
    s->in_pos = c.in_pos;
    if (result == STEP_END) {
        s->window_pos = c.w;
        s->bit_buf = (uint32_t)c.bit_buf;
        s->bit_count = c.bit_count;
    }
    return result == STEP_INVALID ? BLOCK_INVALID : BLOCK_OK;
}
