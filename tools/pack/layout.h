// Building a launcher: the stub, then every file's chunk members, then the
// directory and the entry count. Inputs are checked as a whole first, so a
// refused set writes nothing.
#pragma once

#include "payload/payload.h"
#include "tools/pack/icon.h"
#include "tools/pack/version_info.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qpack {

inline constexpr uint64_t MAX_LAUNCHER_BYTES = 0xFFFFFFFFull;  // offsets and lengths are u32
inline constexpr uint64_t MAX_STUB_BYTES = 0x7FFFFFFFull;  // the launcher seeks with i32 distances

// Called before each file is packed: (files started, files in all, name).
using PackProgress = std::function<void(size_t, size_t, const std::string&)>;

struct CreateOptions {
    std::filesystem::path output;               // the launcher to write
    std::filesystem::path stub;                 // the launcher's executable as built
    std::vector<std::filesystem::path> inputs;  // files and flat folders, mixed
    int level = 12;                             // 0 stored, 1 fastest to 12 smallest
    unsigned threads = 0;                       // compressing threads; 0: one per core
    bool require_setup = true;                  // refuse a set without setup.exe
    std::string codepage;                       // target ANSI code page; empty: ASCII only
    VersionStamp stamp;     // the launcher's version resource; empty: the stub's
    IconImages icon;        // the launcher's icon images; empty: the stub's
    PackProgress progress;  // may be empty
};

// The records a file of `size` bytes takes: one for every 96 chunks of
// 512 KiB begun, and one for an empty file. More than one needs a stub of
// payload level 2 (payload/level.h).
inline uint64_t RecordsFor(uint64_t size) {
    return size == 0 ? 1 : (size + RECORD_CONTENT_BYTES - 1) / RECORD_CONTENT_BYTES;
}

// One file of the set, checked and ready to pack.
struct InputFile {
    std::filesystem::path path;  // where its content is read from
    std::string utf8_name;       // its name as found, for messages and ordering
    std::string stored_name;     // the name field's bytes (ANSI)
    uint64_t size = 0;           // content length when it was checked
};

// The set in payload order, or the reasons it is refused.
struct InputSet {
    std::vector<InputFile> files;
    std::vector<std::string> problems;
};

// Expands folders, checks every name, size and the set as a whole, and
// orders the files by byte-wise comparison of their UTF-8 names.
InputSet CollectInputs(const CreateOptions& options);

struct CreateResult {
    bool ok = false;
    std::vector<std::string> problems;  // every refusal, or the failure that stopped it
    size_t entries = 0;                 // records written, entry 0 included
    uint64_t launcher_bytes = 0;
};

// Packs the set into options.output through a temporary file beside it,
// which replaces the output only when everything has been written.
CreateResult CreateLauncher(const CreateOptions& options);

}  // namespace qpack
