// The extractor: turns a payload into files, through a narrow seam that the
// program running it fills in. The launcher passes the Windows file
// services (workspace/files.cpp), the packer plain C++ files
// (tools/pack/extract.cpp); the reading rule, the checks of the directory,
// the decoding and the order of the writes are the same for both.
#pragma once

#include "payload/payload.h"
#include "payload/reading.h"

#include <stdint.h>

// The file a payload is read from.
struct PayloadSource {
    ReadAtFn read;  // reads at a file offset
    void* file;     // passed to read
    uint64_t size;  // the file's length in bytes
};

// Where the extractor's files go, and how it reads names. Each call gets
// context first. A name is an entry's name field as stored, NUL-terminated;
// a folder is one of SUBFOLDERS' names.
struct ExtractSink {
    void* context;
    // Decodes name into at most capacity characters; returns how many, or
    // -1 when a byte sequence is no character (or they do not fit).
    int (*decode_name)(void* context, const char* name, wchar_t* characters, int capacity);
    // Creates the sub-folder (once, before any file; an existing one is fine).
    void (*create_folder)(void* context, const char* folder);
    // Creates the file name in the destination, replacing one of that name,
    // and makes it the file being written. Returns 1, or 0 when it cannot.
    int (*create_file)(void* context, const char* name);
    // Appends size bytes to the file being written. Returns 1 only when
    // every byte was written (a full disk writes fewer).
    int (*append)(void* context, const uint8_t* data, uint32_t size);
    // Closes the file being written. complete is 1 when every chunk of it
    // was written, 0 when the extraction fails with it open.
    void (*close_file)(void* context, int complete);
    // Copies the closed file name into the sub-folder folder, replacing a
    // copy of that name. A failed copy is not a failed extraction.
    void (*copy_to_folder)(void* context, const char* name, const char* folder);
    // After each entry: (entries done, entries in all).
    void (*report)(void* context, uint32_t done, uint32_t total);
    // The longest name, in bytes, that the destination takes, a sub-folder
    // and its separator counted for a name that is copied into one.
    uint32_t name_room;
};

// Entries reported by extractions in this process. Only counted; each
// extraction reports its own entries from 1.
extern uint32_t g_entries_done;

// Unpacks the payload of source through sink. The directory is read and
// checked as a whole before anything is created: every name must decode,
// pass the entry name rule (so that it is a plain file of the destination)
// and fit name_room, and every chunk count must be sound. Returns 1 when
// every entry has been written, 0 on the first failure (what was written
// before it stays).
int ExtractThrough(const PayloadSource* source, const ExtractSink* sink);
