// The reading rule, for every reader of a payload: the launcher's extractor
// and the packer's list, verify and extract. It finds where the payload
// ends, and where its directory lies, through a read-at function of the
// caller's, so that it reads a file, a stream or memory alike.
//
// Unsigned, the payload runs to the end of the file. A launcher signed after
// packing (Authenticode) carries a certificate table after its payload: the
// signing tool pads the file with 0 to 7 zero bytes to an 8-byte boundary,
// appends the table and names it in the PE headers' security directory. The
// payload then ends where that padding begins.
#pragma once

#include "payload/payload.h"

#include <stdint.h>

// Reads up to size bytes at a file offset into buffer. Returns 0 when the
// read fails, else 1 with *got the bytes delivered (fewer at the file's end).
typedef int (*ReadAtFn)(void* source, uint64_t offset, void* buffer, uint32_t size, uint32_t* got);

// The end of a payload and the certificate table behind it.
struct PayloadEnd {
    uint64_t end;           // one past the entry count's last byte
    uint64_t table_offset;  // file offset of the certificate table; the file size when unsigned
    uint32_t table_size;    // the table's length; 0 when unsigned
};

// The certificate table that the PE headers at the start of the file name
// (security directory: a file offset and a size), or 0 and 0 when the file
// has no such headers or the entry is empty. Returns 0 when a read fails.
int ReadCertificateTable(ReadAtFn read, void* source, uint32_t* table_offset, uint32_t* table_size);

// Finds where the payload of a file of file_size bytes ends. Returns 1 with
// *found filled, or 0 when a read fails, when the headers name a non-empty
// certificate table that does not end the file on an 8-byte boundary, or
// when no payload ends before the table (in the last two cases the table
// is in *found all the same, for messages).
int FindPayloadEnd(ReadAtFn read, void* source, uint64_t file_size, PayloadEnd* found);

// Where a payload's directory lies, and what keeps it from being read.
struct DirectoryPlace {
    PayloadEnd end;  // where the payload ends
    uint32_t count;  // N, from the four bytes before end.end
    uint64_t start;  // file offset of entry 0's record: end - 4 - N * 1044
};

enum DirectoryFault {
    DIRECTORY_OK,
    DIRECTORY_NO_END,      // FindPayloadEnd failed: a read, or a certificate table it refuses
    DIRECTORY_NO_COUNT,    // the payload is shorter than an entry count, or the count's read failed
    DIRECTORY_PAST_START,  // N records do not fit before the count
};

// Finds the payload's end and its directory in a file of file_size bytes.
// On DIRECTORY_OK every record lies inside the file; what was found before
// a fault stays in *place, for messages.
enum DirectoryFault FindDirectory(ReadAtFn read, void* source, uint64_t file_size,
                                  DirectoryPlace* place);

// Reads record j (below place->count) of the directory into *entry. Returns
// 1, or 0 when the read fails or comes up short.
int ReadRecord(ReadAtFn read, void* source, const DirectoryPlace* place, uint32_t j,
               PayloadEntry* entry);
