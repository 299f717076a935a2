// Builds and releases the multi-level lookup tables that decode deflate's
// prefix codes. Codes are canonical and stored bit-reversed, so the low bits
// of the decoder's bit buffer index a table directly; codes longer than the
// first level go to sub-tables sized to the subtree they serve. All tables of
// a code share one heap block, sized by a first walk over the codes that
// only opens tables; a second walk fills them. Trades that extra walk (and
// memory for symbols replicated across every index that continues their
// code) for one allocation per code and a decode of one index per level; no
// tables are kept between blocks.
#include "inflate/huffman.h"

#include <string.h>

#include "platform/memory.h"

// Every table level resolves at least one bit, so a 16-bit code needs at most
// this many levels.
#define MAXLEVELS (MAXLENGTHBITS + 1)

/*
 * Releases the tables of one build: they are one heap block that starts
 * with the head table.
 */
void FreeHuffmanTables(HuffEntry* table) {
    ReleaseBlock(table);
}

// A code ready to be walked: its lengths counted (placeholders included),
// its real symbols sorted, and what their entries hold.
struct CodeSet {
    const unsigned* len_count;  // codes of each length, placeholders included
    const uint16_t* sorted;     // real symbols by length, then symbol
    unsigned real_codes;        // codes that belong to a symbol
    unsigned simple_count;      // symbols below it are literals or end of block
    const uint16_t* bases;      // value of the other symbols
    const uint16_t* extras;     // op of the other symbols, in the low byte
    int min_len;                // shortest code
    int max_len;                // longest code
    int lookup_bits;            // bits of the first-level table
};

/*
 * Chooses the bits of a table opened at offset w (bits already resolved)
 * for a code of length k, of which `remaining` are still to be placed. The
 * table starts at k - w bits and grows while the codes of the next lengths
 * cannot fill it, but never past the longest code or the lookup bits. A
 * first code more than lookup_bits longer than w needs a further level
 * below this one; its table then has exactly lookup_bits bits, because only
 * a full-size table may hold links.
 */
static int SizeTable(int k, int w, unsigned remaining, int max_len, int lookup_bits,
                     const unsigned* count) {
    int limit = max_len - w < lookup_bits ? max_len - w : lookup_bits;  // largest size allowed
    int j = k - w;                                                      // bits tried
    if (j > limit) {
        return limit;
    }
    unsigned free_slots = 1u << j;  // patterns of a j-bit table not yet taken
    if (free_slots <= remaining || j >= limit) {
        return j;
    }
    free_slots -= remaining;
    while (++j < limit) {
        free_slots <<= 1;
        if (free_slots <= count[w + j]) {
            break;  // the codes of this length fill the rest
        }
        free_slots -= count[w + j];
    }
    return j;
}

/* MakeEntry: the entry of the code with this sorted position and length. */
static HuffEntry MakeEntry(const CodeSet* set, unsigned next, uint32_t bits) {
    HuffEntry entry;
    entry.bits = (uint8_t)bits;
    if (next >= set->real_codes) {
        entry.op = OP_INVALID;  // a placeholder
        entry.value = 0;
        return entry;
    }
    unsigned symbol = set->sorted[next];
    if (symbol < set->simple_count) {
        entry.op = symbol < 256 ? OP_LITERAL : OP_END_OF_BLOCK;
        entry.value = (uint16_t)symbol;
    } else {
        entry.op = (uint8_t)(set->extras[symbol - set->simple_count] & 0xFF);
        entry.value = set->bases[symbol - set->simple_count];
    }
    return entry;
}

/*
 * NextCode: the canonical code after `code` among codes of k bits, both
 * stored reversed (first code bit in bit 0). Adding 1 to a code clears its
 * trailing ones and sets the zero before them; reversed, those are the
 * highest bits, so the highest clear bit below k is set and every bit above
 * it cleared, without a loop over the bits. The last code, all ones, is
 * followed by 0.
 */
static inline unsigned NextCode(unsigned code, int k) {
    unsigned clear = code ^ ((1u << k) - 1);  // the clear bits below k
    if (clear == 0) {
        return 0;
    }
    unsigned bit = 1u << (31 - __builtin_clz(clear));  // the highest of them
    return (code & (bit - 1)) | bit;
}

/*
 * GrowFirstLevel: doubles the filled start of the first-level table until
 * it has 2^bits entries. With the first code bit in bit 0, index i + 2^n
 * continues the same codes of up to n bits as index i, so a copy of the
 * start replicates every entry placed so far; indices that no code of up
 * to n bits owns copy what stood there, which a longer code or a link
 * overwrites later.
 */
static void GrowFirstLevel(HuffEntry* table, int* filled, int bits) {
    for (; *filled < bits; (*filled)++) {
        memcpy(table + (1u << *filled), table, sizeof(HuffEntry) << *filled);
    }
}

/*
 * WalkCodes: visits every code in canonical order, opening tables as codes
 * need them, and returns the entries of all tables. With a block, it also
 * places the tables in it one after the other, writes the links and
 * replicates each code's entry over every index that continues the code;
 * without one it only counts. The codes that the first-level table resolves
 * come first (shortest first); each is written once, in the start of the
 * table as long as its own length, and the start is doubled as the lengths
 * grow, which replicates them with whole-block copies instead of one store
 * per index.
 */
static uint32_t WalkCodes(const CodeSet* set, HuffEntry* block) {
    uint32_t level_start[MAXLEVELS];   // position of each level's open table
    unsigned level_prefix[MAXLEVELS];  // low w bits of the codes each level serves
    int level_bits[MAXLEVELS];         // index bits of each level's table
    int l = set->lookup_bits;
    uint32_t used = 0;          // entries of the tables opened so far
    unsigned code = 0;          // current code, first bit in bit 0
    int h = -1;                 // current level; -1 before the first table
    int w = -l;                 // bits resolved by the levels above level h
    unsigned next = 0;          // next position in sorted
    int filled = set->min_len;  // the first-level table's start written so far, in bits
    level_prefix[0] = 0;
    for (int k = set->min_len; k <= set->max_len; k++) {
        for (unsigned remaining = set->len_count[k]; remaining > 0; remaining--) {
            // Open tables until one reaches this code's length.
            while (k > w + l) {
                h++;
                w += l;
                int j = SizeTable(k, w, remaining, set->max_len, l, set->len_count);
                level_start[h] = used;
                level_bits[h] = j;
                if (h > 0) {
                    level_prefix[h] = code & ((1u << w) - 1);
                    if (block != nullptr) {
                        GrowFirstLevel(block, &filled, level_bits[0]);
                        HuffEntry* parent = &block[level_start[h - 1] + (code >> (w - l))];
                        parent->op = (uint8_t)(OP_LITERAL + j);
                        parent->bits = (uint8_t)l;
                        parent->link = (uint16_t)(used / LINK_UNIT);
                    }
                }
                used += 1u << j;
            }

            // Replicate the code's entry over every index that continues it.
            if (block != nullptr) {
                HuffEntry entry = MakeEntry(set, next, (uint32_t)(k - w));
                uint32_t word;  // the entry as one 4-byte store, not one per field
                memcpy(&word, &entry, sizeof word);
                HuffEntry* current = block + level_start[h];
                if (h == 0) {
                    GrowFirstLevel(block, &filled, k);
                    memcpy(&current[code], &word, sizeof word);
                } else {
                    unsigned size = 1u << level_bits[h];  // entries of the current table
                    for (unsigned index = code >> w; index < size; index += 1u << (k - w)) {
                        memcpy(&current[index], &word, sizeof word);
                    }
                }
            }
            next++;

            code = NextCode(code, k);

            // Close the tables whose subtree is finished.
            while ((code & ((1u << w) - 1)) != level_prefix[h]) {
                h--;
                w -= l;
            }
        }
    }
    return used;
}

/*
 * Turns the code lengths of one prefix code into its tables; see huffman.h
 * for the arguments and results. Unowned code space is filled with
 * placeholder codes of the longest length, which become op 99 entries, so
 * every table index is written and an incomplete code reads as invalid
 * where no symbol owns the pattern. The lookup bits are fitted to the code
 * and written back before the code space is checked.
 */
int BuildHuffmanTable(const unsigned* lengths, unsigned count, unsigned simple_count,
                      const uint16_t* bases, const uint16_t* extras, HuffEntry** table,
                      int* lookup_bits) {
    unsigned len_count[MAXLENGTHBITS + 1];  // codes of each length, then with placeholders
    unsigned start[MAXLENGTHBITS + 2];      // next slot of each length in `sorted`
    uint16_t sorted[MAXCODES];              // symbols with a code, by length then symbol

    if (count > MAXCODES) {
        return HUFF_OVERSUBSCRIBED;
    }

    // 1. Count the lengths; lengths past the longest allowed are invalid.
    // Odd symbols are counted apart: a run of one length then alternates
    // between two counters instead of waiting on one.
    unsigned odd_count[MAXLENGTHBITS + 1];  // lengths of the odd symbols
    for (int len = 0; len <= MAXLENGTHBITS; len++) {
        len_count[len] = 0;
        odd_count[len] = 0;
    }
    for (unsigned symbol = 0; symbol < count; symbol++) {
        if (lengths[symbol] > MAXLENGTHBITS) {
            return HUFF_OVERSUBSCRIBED;
        }
        (symbol & 1 ? odd_count : len_count)[lengths[symbol]]++;
    }
    for (int len = 0; len <= MAXLENGTHBITS; len++) {
        len_count[len] += odd_count[len];
    }

    // 2. No codes at all: nothing to build.
    if (len_count[0] == count) {
        *table = nullptr;
        *lookup_bits = 0;
        return HUFF_COMPLETE;
    }

    // 3. Fit the lookup bits between the shortest and the longest code.
    int min_len = 1;  // shortest code
    while (len_count[min_len] == 0) {
        min_len++;
    }
    int max_len = MAXLENGTHBITS;  // longest code
    while (len_count[max_len] == 0) {
        max_len--;
    }
    int l = *lookup_bits;  // bits of the first-level table
    if (l < min_len) {
        l = min_len;
    }
    if (l > max_len) {
        l = max_len;
    }
    *lookup_bits = l;

    // 4. Check the code space; what is left over becomes placeholders.
    int left = 1 << min_len;  // unowned codes of the current length
    for (int len = min_len; len < max_len; len++) {
        left -= (int)len_count[len];
        if (left < 0) {
            return HUFF_OVERSUBSCRIBED;
        }
        left <<= 1;
    }
    left -= (int)len_count[max_len];
    if (left < 0) {
        return HUFF_OVERSUBSCRIBED;
    }
    len_count[max_len] += (unsigned)left;

    // 5. Sort the real symbols by code length, keeping symbol order within a length.
    start[1] = 0;
    for (int len = 1; len <= MAXLENGTHBITS; len++) {
        start[len + 1] = start[len] + len_count[len];
    }
    for (unsigned symbol = 0; symbol < count; symbol++) {
        if (lengths[symbol] != 0) {
            sorted[start[lengths[symbol]]++] = (uint16_t)symbol;
        }
    }

    // 6. Size the tables, take one block for all of them and fill it.
    CodeSet set = {len_count, sorted, count - len_count[0], simple_count, bases, extras, min_len,
                   max_len,   l};
    uint32_t entries = WalkCodes(&set, nullptr);  // entries of all tables
    HuffEntry* block = (HuffEntry*)AllocateBlock(entries * sizeof(HuffEntry));
    if (block == nullptr) {
        return HUFF_NO_MEMORY;
    }
    WalkCodes(&set, block);
    *table = block;

    // 7. Incomplete, except a lone one-bit code.
    return (left != 0 && max_len != 1) ? HUFF_INCOMPLETE : HUFF_COMPLETE;
}
