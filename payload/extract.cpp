// The extractor: turns the payload appended to an executable file into plain
// files, through the seam of extract.h.
//
// It reads strictly forward: after the directory, every chunk member in
// directory order, each fetched with a single read into a 1 MiB input buffer
// and decoded into a 1 MiB output buffer. Memory stays near 2 MiB plus the
// directory, whatever the payload's size. The directory is checked as a
// whole before anything is written, so a damaged or hostile directory never
// makes the extractor write outside the destination. A file that goes on in
// continuation records is one file: created once, its records' members
// appended in order, reported once; the price is that the records are
// walked twice, once to check their links and once to extract.
//
// A file that cannot be created or written in full fails the extraction:
// the launcher must never start a truncated setup.exe. Only the sub-folder
// copies are best-effort.
#include "payload/extract.h"

#include "inflate/inflate.h"
#include "payload/names.h"
#include "payload/text.h"
#include "platform/memory.h"

#include <string.h>

uint32_t g_entries_done = 0;  // counted, never read as a result

// Everything that one extraction owns, released together on every path.
struct Extraction {
    const PayloadSource* source;
    const ExtractSink* sink;
    uint8_t* input;         // one chunk member at a time
    uint8_t* output;        // one chunk's decoded content at a time
    PayloadEntry* entries;  // the directory, entry 0 first
    int file_open;          // the sink has a file being written
};

/* Releases whatever the extraction still holds and returns result. */
static int FinishExtraction(Extraction* x, int result) {
    if (x->file_open) {
        x->sink->close_file(x->sink->context, 0);
    }
    ReleaseBlock(x->entries);
    ReleaseBlock(x->output);
    ReleaseBlock(x->input);
    return result;
}

/* Length of a name field, or -1 when the field holds no terminator. */
static int NameLength(const char* name) {
    const void* end = memchr(name, '\0', PAYLOAD_NAME_SIZE);
    return end == NULL ? -1 : (int)((const char*)end - name);
}

/* Checks one record of entries 1 to N-1 before anything is written: the
   name must be terminated, decode, pass the entry name rule (so it is a
   plain file of the destination, never a device or another entry's file
   under a second spelling), and fit the destination together with the
   sub-folder it is copied into, if any; the chunk count must be a sound
   one. */
static int IsSafeEntry(const ExtractSink* sink, const PayloadEntry* entry) {
    wchar_t characters[PAYLOAD_NAME_SIZE];  // the decoded name
    int length = NameLength(entry->name);
    if (length < 0) {
        return 0;  // decoding would read on past the field
    }
    int decoded = sink->decode_name(sink->context, entry->name, characters, PAYLOAD_NAME_SIZE);
    if (decoded < 0 || CheckNameCharacters(characters, (size_t)decoded, NULL) != NAME_OK) {
        return 0;
    }
    size_t longest = (size_t)length;  // bytes the name takes below the destination
    for (int f = 0; f < SUBFOLDER_COUNT; f++) {
        size_t copied = strlen(SUBFOLDERS[f].name) + 1 + (size_t)length;  // folder\name
        if (ContainsText(entry->name, SUBFOLDERS[f].mark) && copied > longest) {
            longest = copied;
        }
    }
    return longest <= sink->name_room && IsChunkCountSound(entry->chunk_count);
}

/* Reads the directory through the reading rule into one block, entry 0
   first. Fails, with nothing allocated that FinishExtraction would not
   release, when the rule finds no directory or a record cannot be read. */
static int ReadDirectory(Extraction* x, uint32_t* count) {
    DirectoryPlace place;  // where the records lie
    *count = 0;
    if (FindDirectory(x->source->read, x->source->file, x->source->size, &place) != DIRECTORY_OK) {
        return 0;
    }
    uint64_t directory_size = (uint64_t)place.count * PAYLOAD_ENTRY_SIZE;  // fits the file
    x->entries = (PayloadEntry*)AllocateBlock((size_t)directory_size);
    if (x->entries == NULL) {
        return 0;
    }
    for (uint32_t j = 0; j < place.count; j++) {
        if (!ReadRecord(x->source->read, x->source->file, &place, j, &x->entries[j])) {
            return 0;
        }
    }
    *count = place.count;
    return 1;
}

/* Decodes the entry's chunk members into the file being written, one member
   per read, from offset on; moves offset past them. Returns 1, or 0 on the
   first member that cannot be read, is too long for the input buffer, or
   does not decode, and on a write that comes up short. */
static int WriteEntryChunks(Extraction* x, const PayloadEntry* entry, uint64_t* offset) {
    for (int32_t k = 0; k < entry->chunk_count; k++) {
        uint32_t packed_size = entry->chunks[k].packed_size;  // member length
        if (packed_size > PAYLOAD_BUFFER_SIZE) {
            return 0;
        }
        uint32_t got = 0;  // bytes that the read delivered
        if (!x->source->read(x->source->file, *offset, x->input, packed_size, &got)) {
            return 0;
        }
        *offset += got;
        uint32_t decoded = PAYLOAD_BUFFER_SIZE;  // capacity in, content length out
        if (DecodeChunk(x->input, got, x->output, &decoded) <= 0 ||
            !x->sink->append(x->sink->context, x->output, decoded)) {
            return 0;
        }
        // Both buffers go back to zeros: the input as far as it was read,
        // the output as far as the decoder can have stored.
        memset(x->input, 0, got);
        memset(x->output, 0, decoded < PAYLOAD_BUFFER_SIZE ? decoded : PAYLOAD_BUFFER_SIZE);
    }
    return 1;
}

/* The link of record j (1 to N-1) to the record before it. */
static enum RecordLink LinkOf(const PayloadEntry* entries, uint32_t j) {
    return RecordLinkOf(j > 1 ? &entries[j - 1] : NULL, &entries[j]);
}

/* Writes one file, its first record and the records that continue it, and
   copies it into the sub-folders its name asks for. Returns 0 when the file
   cannot be created, a chunk fails, or a write comes up short. */
static int ExtractFile(Extraction* x, const PayloadEntry* first, uint32_t records,
                       uint64_t* offset) {
    const ExtractSink* sink = x->sink;
    if (!sink->create_file(sink->context, first->name)) {
        return 0;
    }
    x->file_open = 1;
    for (uint32_t r = 0; r < records; r++) {
        if (!WriteEntryChunks(x, &first[r], offset)) {
            return 0;
        }
    }
    x->file_open = 0;
    sink->close_file(sink->context, 1);
    for (int f = 0; f < SUBFOLDER_COUNT; f++) {
        if (ContainsText(first->name, SUBFOLDERS[f].mark)) {
            sink->copy_to_folder(sink->context, first->name, SUBFOLDERS[f].name);
        }
    }
    return 1;
}

/* Format notes: entry 0 is the stub: its unpacked_total is the offset of
   the first chunk member, and nothing is written for it. Every entry then
   takes the next chunk_count members, in order; a file is its first record
   and the continuation records after it. The sub-folders are created at
   entry 0, so they exist as soon as N is at least 1. Progress counts files,
   not records. */
int ExtractThrough(const PayloadSource* source, const ExtractSink* sink) {
    Extraction x = {source, sink, NULL, NULL, NULL, 0};
    x.input = (uint8_t*)AllocateZeroedBlock(PAYLOAD_BUFFER_SIZE);
    x.output = x.input ? (uint8_t*)AllocateZeroedBlock(PAYLOAD_BUFFER_SIZE) : NULL;
    uint32_t count = 0;  // N
    if (x.output == NULL || !ReadDirectory(&x, &count)) {
        return FinishExtraction(&x, 0);
    }
    uint32_t files = 0;  // first records: the files to report
    for (uint32_t j = 1; j < count; j++) {
        enum RecordLink link = LinkOf(x.entries, j);
        if (link == LINK_FIRST ? !IsSafeEntry(sink, &x.entries[j]) : link != LINK_CONTINUES) {
            return FinishExtraction(&x, 0);
        }
        files += link == LINK_FIRST;
    }
    uint64_t offset = count > 0 ? x.entries[0].unpacked_total : 0;  // the next member
    for (int f = 0; count > 0 && f < SUBFOLDER_COUNT; f++) {
        sink->create_folder(sink->context, SUBFOLDERS[f].name);
    }
    uint32_t done = 0;  // files written
    for (uint32_t j = 1; j < count;) {
        uint32_t records = 1;  // the file's first record and its continuations
        while (j + records < count && LinkOf(x.entries, j + records) == LINK_CONTINUES) {
            records++;
        }
        if (!ExtractFile(&x, &x.entries[j], records, &offset)) {
            return FinishExtraction(&x, 0);
        }
        j += records;
        done++;
        g_entries_done++;
        sink->report(sink->context, done, files);
    }
    return FinishExtraction(&x, 1);
}
