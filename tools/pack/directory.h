// Reading a launcher's payload directory for inspection. The payload's end
// is found by the launcher's own reading rule (payload/reading.h), so a
// signed launcher reads here as it reads in the launcher. Beyond that,
// unlike the launcher's extractor, which trusts the file, this reader checks
// every bound before it relies on a value, so it can describe a broken
// payload instead of failing on it.
#pragma once

#include "payload/payload.h"
#include "payload/reading.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace qpack {

struct Directory {
    uint64_t file_size = 0;             // L
    PayloadEnd end{};                   // where the payload ends; the certificate table if signed
    uint32_t count = 0;                 // N, from the four bytes before end.end
    uint64_t start = 0;                 // file offset of entry 0's record: end - 4 - N * 1044
    std::vector<PayloadEntry> entries;  // all N records; names may lack their NUL
};

// ReadAtFn over an open std::istream (source), for the reading rule and the
// extractor.
int ReadStreamAt(void* source, uint64_t offset, void* buffer, uint32_t size, uint32_t* got);

// The size of the certificate table that the file's PE headers name: 0 for
// an unsigned file (or one that is not an executable), nothing when the
// file cannot be read.
std::optional<uint32_t> CertificateTableSize(const std::filesystem::path& file);

// "signed: certificate table of C bytes after the payload" and the padding
// before it when there is any; empty for an unsigned launcher.
std::string SignatureLine(const PayloadEnd& end);

// Opens the launcher and reads its directory. Returns false with problems
// when the file cannot be read, a signed file has no payload that ends
// before its certificate table, or the count does not fit; then no entry is
// available. Problems in the records themselves are not checked
// here (see RecordProblems).
bool ReadDirectory(const std::filesystem::path& launcher, std::ifstream* in, Directory* directory,
                   std::vector<std::string>* problems);

// The same over a stream already open on file_size bytes.
bool ReadDirectoryFrom(std::istream* in, uint64_t file_size, Directory* directory,
                       std::vector<std::string>* problems);

// The name field up to its NUL, or nothing when it has none.
std::optional<std::string> EntryName(const PayloadEntry& entry);

// How an entry is called in messages: "entry 3 'a.dll'", the name in UTF-8
// when the code page decodes it, else as stored; "entry 4 (continuation 1)"
// for a record that carries the continuation mark.
std::string EntryLabel(uint32_t index, const PayloadEntry& entry, const std::string& codepage = "");

// Problems of the records that make the rest of the directory unreadable:
// a name without NUL, a chunk_count outside 0 to 96, a continuation record
// that the link rule refuses.
std::vector<std::string> RecordProblems(const Directory& directory);

// One file of a payload: its first record and how many records it spans.
struct FileRecords {
    uint32_t first = 0;    // index of the first record
    uint32_t records = 1;  // the first record and its continuations
};

// The files of entries 1 to N-1, in order, by the link rule; a record the
// rule refuses counts as a file of its own (RecordProblems names it).
std::vector<FileRecords> FilesOf(const Directory& directory);

}  // namespace qpack
