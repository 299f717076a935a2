// The reading rule: where the payload ends, unsigned or signed.
//
// An unsigned file is read as it always was, its entry count in its last
// four bytes; only its headers are looked at first. A signed file is
// recognised by its own PE headers alone: the security directory names a certificate
// table that ends exactly at the end of the file. Nothing inside that table
// is ever taken for payload, since the signature does not cover it; a file
// whose headers name a table of another shape is refused rather than read
// by the plain rule, whose last four bytes would lie inside that table. The
// zero padding before the table is not marked anywhere, so each of the 8
// possible ends is tried and only one whose directory agrees with itself is
// taken. What this trades away: a signed launcher's directory is read twice
// (here, then by the caller), and a signed file whose directory is damaged
// is refused here instead of failing later.
#include "payload/reading.h"

#define PE_DOS_MAGIC 0x5A4D        // "MZ" at the start of the file
#define PE_HEADER_POINTER_AT 0x3C  // e_lfanew: file offset of the PE signature
#define PE_SIGNATURE 0x00004550    // "PE\0\0"
#define PE_OPTIONAL_SIZE_AT 20     // SizeOfOptionalHeader, counted from the signature
#define PE_MAGIC_AT 24             // the optional header's magic, after the file header
#define PE_SECURITY_DIRECTORY 4    // IMAGE_DIRECTORY_ENTRY_SECURITY
#define PE_DIRECTORY_ENTRY_SIZE 8  // an address (here a file offset) and a size
#define CERTIFICATE_ALIGNMENT 8    // the table starts on an 8-byte boundary
#define MAX_DIRECTORIES_END 152    // the security entry's end in the larger layout

// Where the data directories lie in the two kinds of optional header.
struct OptionalHeaderLayout {
    uint16_t magic;               // the optional header's first two bytes
    uint32_t directory_count_at;  // NumberOfRvaAndSizes, from the optional header's start
    uint32_t directories_at;      // the data directories, from the optional header's start
};

static const OptionalHeaderLayout OPTIONAL_HEADER_LAYOUTS[] = {
    {0x10B, 92, 96},    // PE32
    {0x20B, 108, 112},  // PE32+
};

static uint32_t LoadU16(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8;
}

static uint32_t LoadU32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

/* Reads exactly size bytes at offset. Returns 1 when all were there, 0 when
   the file ends before them, -1 when the read fails. */
static int ReadExactly(ReadAtFn read, void* source, uint64_t offset, void* buffer, uint32_t size) {
    uint32_t got = 0;  // bytes delivered
    if (!read(source, offset, buffer, size, &got)) {
        return -1;
    }
    return got == size;
}

/* Follows the DOS header's pointer to the PE headers and reads the security
   entry of the data directories. A file that is too short, or whose magic
   numbers or sizes do not fit, names no table; only a failed read fails. */
int ReadCertificateTable(ReadAtFn read, void* source, uint32_t* table_offset,
                         uint32_t* table_size) {
    uint8_t dos[PE_HEADER_POINTER_AT + 4];  // the DOS header up to e_lfanew
    uint8_t pe[PE_MAGIC_AT + 2];            // signature, file header, optional magic
    uint8_t optional[MAX_DIRECTORIES_END];  // the optional header up to the security entry
    *table_offset = 0;
    *table_size = 0;
    int got = ReadExactly(read, source, 0, dos, sizeof dos);  // 1 read, 0 short, -1 failed
    if (got <= 0 || LoadU16(dos) != PE_DOS_MAGIC) {
        return got >= 0;
    }
    uint64_t pe_at = LoadU32(dos + PE_HEADER_POINTER_AT);  // the PE signature's offset
    got = ReadExactly(read, source, pe_at, pe, sizeof pe);
    if (got <= 0 || LoadU32(pe) != PE_SIGNATURE) {
        return got >= 0;
    }
    const OptionalHeaderLayout* layout = NULL;  // the one for this magic, if any
    for (size_t i = 0; i < sizeof OPTIONAL_HEADER_LAYOUTS / sizeof *OPTIONAL_HEADER_LAYOUTS; i++) {
        if (OPTIONAL_HEADER_LAYOUTS[i].magic == LoadU16(pe + PE_MAGIC_AT)) {
            layout = &OPTIONAL_HEADER_LAYOUTS[i];
        }
    }
    if (layout == NULL) {
        return 1;
    }
    uint32_t entry_at = layout->directories_at + PE_SECURITY_DIRECTORY * PE_DIRECTORY_ENTRY_SIZE;
    uint32_t needed = entry_at + PE_DIRECTORY_ENTRY_SIZE;  // optional header bytes read
    if (LoadU16(pe + PE_OPTIONAL_SIZE_AT) < needed) {
        return 1;
    }
    got = ReadExactly(read, source, pe_at + PE_MAGIC_AT, optional, needed);
    if (got <= 0 || LoadU32(optional + layout->directory_count_at) <= PE_SECURITY_DIRECTORY) {
        return got >= 0;
    }
    *table_offset = LoadU32(optional + entry_at);
    *table_size = LoadU32(optional + entry_at + 4);
    return 1;
}

/* Whether a payload can end at `end`: the count there is at least 1 and its
   directory fits before it; entry 0 describes a stub (data_offset 1,
   chunk_count 1, both totals and slot 0 equal to S); every other record has
   0 to 96 chunks and links to the record before it (RecordLinkOf); and S plus the packed sizes of
   all those chunks is the directory's start. Returns 1 or 0, or -1 when a read fails.

   Why no two ends within 8 bytes can both pass: if the later end is d
   bytes after the earlier one and the d bytes between are zero (as the
   padding is), then for d >= 4 the later count is 0, and for d = 1 to 3 it
   is the earlier count shifted right by 8d bits, so the later directory is
   the earlier one's records read d bytes off. Its entry 0 is then the tail
   of some record j >= 1 of the earlier directory, whose chunk_count field
   holds chunk_count_j >> 8d (0, as chunk_count_j <= 96) in its low bytes:
   never 1. The link rule only refuses more ends, so this still holds. */
static int IsPayloadEnd(ReadAtFn read, void* source, uint64_t end) {
    uint8_t count_bytes[PAYLOAD_COUNT_SIZE];  // N, little-endian
    PayloadEntry records[2];                 // record j in records[j % 2], the one before it beside
    const PayloadEntry* stub = &records[0];  // entry 0, read first
    if (end < PAYLOAD_COUNT_SIZE) {
        return 0;
    }
    int got = ReadExactly(read, source, end - PAYLOAD_COUNT_SIZE, count_bytes, PAYLOAD_COUNT_SIZE);
    if (got <= 0) {
        return got;
    }
    uint64_t count = LoadU32(count_bytes);
    uint64_t directory_size = count * PAYLOAD_ENTRY_SIZE;
    if (count == 0 || directory_size + PAYLOAD_COUNT_SIZE > end) {
        return 0;
    }
    uint64_t directory_at = end - PAYLOAD_COUNT_SIZE - directory_size;  // entry 0's record
    got = ReadExactly(read, source, directory_at, &records[0], PAYLOAD_ENTRY_SIZE);
    if (got <= 0) {
        return got;
    }
    uint32_t stub_size = stub->unpacked_total;  // S
    if (stub->data_offset != 1 || stub->chunk_count != 1 || stub->packed_total != stub_size ||
        stub->chunks[0].packed_size != stub_size || stub->chunks[0].unpacked_size != stub_size) {
        return 0;
    }
    uint64_t data_end = stub_size;  // where the chunk members of the records so far end
    for (uint64_t j = 1; j < count && data_end <= directory_at; j++) {
        PayloadEntry* record = &records[j % 2];
        got = ReadExactly(read, source, directory_at + j * PAYLOAD_ENTRY_SIZE, record,
                          PAYLOAD_ENTRY_SIZE);
        if (got <= 0) {
            return got;
        }
        if (!IsChunkCountSound(record->chunk_count) ||
            RecordLinkOf(j > 1 ? &records[(j - 1) % 2] : NULL, record) > LINK_CONTINUES) {
            return 0;
        }
        for (int32_t k = 0; k < record->chunk_count; k++) {
            data_end += record->chunks[k].packed_size;
        }
    }
    return data_end == directory_at;
}

/* The plain rule while the security entry's size is 0. A table of any
   other size must end the file on an 8-byte boundary (offset a multiple of
   8, offset + size = file size), or the file is refused: read by the plain
   rule, its entry count would come from inside the table, which the
   signature does not cover. The payload then ends 0 to 7 bytes before the
   table, only zeros in between; the ends are tried from the table down,
   and at most one can pass (see IsPayloadEnd). */
int FindPayloadEnd(ReadAtFn read, void* source, uint64_t file_size, PayloadEnd* found) {
    uint32_t table_offset = 0;              // from the security directory
    uint32_t table_size = 0;                // 0: not signed
    uint8_t before[CERTIFICATE_ALIGNMENT];  // the bytes right before the table
    found->end = file_size;
    found->table_offset = file_size;
    found->table_size = 0;
    if (!ReadCertificateTable(read, source, &table_offset, &table_size)) {
        return 0;
    }
    if (table_size == 0) {
        return 1;
    }
    found->table_offset = table_offset;
    found->table_size = table_size;
    if (table_offset % CERTIFICATE_ALIGNMENT != 0 ||
        (uint64_t)table_offset + table_size != file_size) {
        return 0;
    }
    found->end = table_offset;
    if (table_offset < sizeof before ||
        ReadExactly(read, source, table_offset - sizeof before, before, sizeof before) <= 0) {
        return 0;
    }
    for (uint32_t padding = 0; padding < CERTIFICATE_ALIGNMENT; padding++) {
        if (padding > 0 && before[sizeof before - padding] != 0) {
            return 0;
        }
        int result = IsPayloadEnd(read, source, table_offset - padding);  // 1, 0 or -1
        if (result != 0) {
            found->end = table_offset - padding;
            return result > 0;
        }
    }
    return 0;
}

/* The count first, in the four bytes before the end; then whether N
   records fit before it, in 64 bits, so that no count can wrap. */
enum DirectoryFault FindDirectory(ReadAtFn read, void* source, uint64_t file_size,
                                  DirectoryPlace* place) {
    uint8_t count_bytes[PAYLOAD_COUNT_SIZE];  // N, little-endian
    place->count = 0;
    place->start = 0;
    if (!FindPayloadEnd(read, source, file_size, &place->end)) {
        return DIRECTORY_NO_END;
    }
    uint64_t end = place->end.end;  // one past the count
    if (end < PAYLOAD_COUNT_SIZE ||
        ReadExactly(read, source, end - PAYLOAD_COUNT_SIZE, count_bytes, PAYLOAD_COUNT_SIZE) <= 0) {
        return DIRECTORY_NO_COUNT;
    }
    place->count = LoadU32(count_bytes);
    uint64_t directory_size = (uint64_t)place->count * PAYLOAD_ENTRY_SIZE;
    if (directory_size + PAYLOAD_COUNT_SIZE > end) {
        return DIRECTORY_PAST_START;
    }
    place->start = end - PAYLOAD_COUNT_SIZE - directory_size;
    return DIRECTORY_OK;
}

int ReadRecord(ReadAtFn read, void* source, const DirectoryPlace* place, uint32_t j,
               PayloadEntry* entry) {
    return ReadExactly(read, source, place->start + (uint64_t)j * PAYLOAD_ENTRY_SIZE, entry,
                       PAYLOAD_ENTRY_SIZE) > 0;
}
