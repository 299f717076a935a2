// Test helpers: building payload files byte by byte, independent of the
// packer, and temporary folders that clean up after themselves.
#pragma once

#include "payload/payload.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testpayload {

using Bytes = std::vector<uint8_t>;

// A chunk member whose deflate data is stored blocks of at most 65,535
// bytes (an empty content gives one empty stored block).
Bytes StoredMember(const Bytes& content);

// One file of the set: its name and its chunk members as they go into the
// payload. `chunk_count` defaults to the number of members.
struct FileSpec {
    std::string name;
    std::vector<Bytes> members;
    int32_t chunk_count = -1;
    std::vector<uint32_t> unpacked;  // per member; filled by Members()
    uint32_t place = 0;              // not 0: a continuation record of this place, nameless
};

// A file of 96 one-byte members and a continuation record of `more` (and
// `place`) after it; the content is 96 + more bytes from seed.
std::vector<FileSpec> ContinuedFile(const std::string& name, size_t more, uint32_t place,
                                    uint32_t seed, Bytes* content);

// The members for content cut into 524,288-byte pieces, each stored.
FileSpec StoredFile(const std::string& name, const Bytes& content);

// A whole launcher file: stub, the members of every file, the directory
// (entry 0 describing the stub), the count. Unspecified bytes are 0xCD, as
// a careless packer might leave them.
Bytes BuildPayload(const Bytes& stub, const std::vector<FileSpec>& files);

// Offset of the directory record of entry j within a built payload.
size_t RecordOffset(const Bytes& payload, uint32_t j);

// Deterministic pseudo-random content.
Bytes RandomBytes(size_t size, uint32_t seed);

void WriteFile(const std::filesystem::path& path, const Bytes& bytes);
Bytes ReadFile(const std::filesystem::path& path);

// A small file at path, its folders created as needed.
void Touch(const std::filesystem::path& path);

// A fresh, empty folder removed again at the end of the test.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    std::filesystem::path path;
    // The folder as the launcher's code takes it: no trailing separator.
    std::string Text() const {
        return path.string();
    }
};

// One progress report.
struct Report {
    uint32_t done, total, reserved;
    bool operator==(const Report&) const = default;
};
extern std::vector<Report> g_reports;
int RecordProgress(uint32_t done, uint32_t total, uint32_t reserved);

}  // namespace testpayload
