// The payload appended to the launcher: chunk members, then a directory of
// fixed-size entry records, then the entry count in the file's last four
// bytes (or, once the launcher is signed, the last four before its
// certificate table: payload/reading.h). All integers are little-endian;
// the records are read straight from the file into these structures. This
// is what the launcher and the packer share: neither calls a system here.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define PAYLOAD_PIECE_SIZE 524288    // content bytes per chunk member
#define PAYLOAD_MAX_CHUNKS 96        // chunk slots of one entry
#define PAYLOAD_NAME_SIZE 260        // bytes of an entry's name field
#define PAYLOAD_ENTRY_SIZE 1044      // bytes of one directory record
#define PAYLOAD_COUNT_SIZE 4         // bytes of the trailing entry count
#define PAYLOAD_BUFFER_SIZE 1048576  // the extractor's input and output buffers
#define SETUP_NAME "setup.exe"       // the entry that the launcher starts

// One slot of an entry's chunk table.
struct ChunkInfo {
    uint32_t packed_size;    // length of the chunk member, header and trailer included
    uint32_t unpacked_size;  // length of its content, equal to the member's ISIZE
};

// One directory record. Entry 0 describes the stub itself.
struct PayloadEntry {
    uint32_t data_offset;          // file offset of the first chunk member, plus one
    uint32_t unpacked_total;       // content length; entry 0: where the chunk data begins
    uint32_t packed_total;         // length of the entry's chunk members together
    char name[PAYLOAD_NAME_SIZE];  // bare file name, NUL-terminated inside the field
    int32_t chunk_count;           // used slots of chunks[]
    ChunkInfo chunks[PAYLOAD_MAX_CHUNKS];
};

static_assert(sizeof(ChunkInfo) == 8, "ChunkInfo is 8 bytes on disk");
static_assert(sizeof(PayloadEntry) == PAYLOAD_ENTRY_SIZE, "PayloadEntry is 1044 bytes on disk");

// Whether a record's chunk_count is one that a packer writes: 0 to 96. The
// one rule for every reader of a payload: a negative count, or one past the
// slots, is damage, never "no chunks" (which would turn a damaged record
// into an empty file reported as unpacked).
static inline int IsChunkCountSound(int32_t chunk_count) {
    return chunk_count >= 0 && chunk_count <= PAYLOAD_MAX_CHUNKS;
}

// A file longer than one record's 96 chunks goes on in continuation
// records, each right after the record before it: an empty name (name[0]
// is 0, so a launcher that predates them refuses the payload as one with an
// empty name), CONTINUATION_MARK in name bytes 1 to 16, its place (1 for the
// first continuation, 2 for the next, ...) as a little-endian u32 in name
// bytes 17 to 20, zeros after. Every other field means what it means in any
// record: its own chunks, totals and data_offset.
#define CONTINUATION_MARK "qelvor:continued"
#define CONTINUATION_MARK_AT 1
#define CONTINUATION_MARK_SIZE 16
#define CONTINUATION_PLACE_AT 17
#define RECORD_CONTENT_BYTES ((uint64_t)PAYLOAD_MAX_CHUNKS * PAYLOAD_PIECE_SIZE)  // 50,331,648

// How a record of entries 1 to N-1 stands to the record before it. Every
// value after LINK_CONTINUES is damage.
enum RecordLink {
    LINK_FIRST,          // a file's first record (its name is judged by the name rule)
    LINK_CONTINUES,      // goes on with the file of the record before it
    LINK_AFTER_STUB,     // a continuation right after entry 0
    LINK_AFTER_PARTIAL,  // a continuation after a record whose 96 slots are not all used
    LINK_OUT_OF_PLACE,   // a place that is not the one after the record before's
    LINK_NO_CHUNKS,      // a continuation with a chunk count outside 1 to 96
    LINK_STRAY_BYTES     // a continuation whose name field is not zero after its place
};

// The one rule for every reader of a payload: classifies record against
// previous, the record before it, or NULL when record is entry 1 and thus
// follows the stub's entry 0.
enum RecordLink RecordLinkOf(const PayloadEntry* previous, const PayloadEntry* record);

// The place stored in a marked record's name; 0 for a record without the
// mark (a file's first record).
uint32_t ContinuationPlace(const PayloadEntry* record);

// Makes record's name field that of the continuation at place.
void MarkContinuation(PayloadEntry* record, uint32_t place);

// The workspace's two sub-folders, and the mark that sends an entry's file
// there as well: any name containing it, matched byte for byte. The file
// system compares names without regard to case, so each folder is one
// folder however it is spelt; these are its only spellings.
struct Subfolder {
    const char* mark;  // ".jvs": style files; ".lng": language files
    const char* name;  // "Style", "lang"
};
#define SUBFOLDER_COUNT 2
extern const Subfolder SUBFOLDERS[SUBFOLDER_COUNT];

// Progress callback: (entries done, entries in all, 0).
typedef int (*ProgressFn)(uint32_t done, uint32_t total, uint32_t reserved);
