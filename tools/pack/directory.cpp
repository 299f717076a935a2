// Bounded reading of a payload directory: the count comes from the file and
// is compared with the file's size in 64 bits before anything is allocated.
#include "tools/pack/directory.h"

#include <cstring>

namespace qpack {

namespace fs = std::filesystem;

bool ReadDirectory(const fs::path& launcher, std::ifstream* in, Directory* directory,
                   std::vector<std::string>* problems) {
    std::error_code error;
    directory->file_size = fs::file_size(launcher, error);
    in->open(launcher, std::ios::binary);
    if (error || !*in) {
        problems->push_back("cannot open the launcher");
        return false;
    }
    if (directory->file_size < PAYLOAD_COUNT_SIZE) {
        problems->push_back("file is " + std::to_string(directory->file_size) +
                            " bytes long, too short for an entry count");
        return false;
    }
    uint8_t count_bytes[PAYLOAD_COUNT_SIZE];  // the last four bytes, little-endian
    in->seekg(static_cast<std::streamoff>(directory->file_size - PAYLOAD_COUNT_SIZE));
    in->read(reinterpret_cast<char*>(count_bytes), sizeof count_bytes);
    if (!*in) {
        problems->push_back("cannot read the entry count");
        return false;
    }
    directory->count = static_cast<uint32_t>(count_bytes[0]) | count_bytes[1] << 8 |
                       count_bytes[2] << 16 | static_cast<uint32_t>(count_bytes[3]) << 24;
    uint64_t directory_bytes = uint64_t{directory->count} * PAYLOAD_ENTRY_SIZE;
    if (directory_bytes + PAYLOAD_COUNT_SIZE > directory->file_size) {
        problems->push_back("entry count " + std::to_string(directory->count) + " needs " +
                            std::to_string(directory_bytes + PAYLOAD_COUNT_SIZE) +
                            " bytes, but the file has " + std::to_string(directory->file_size));
        return false;
    }
    directory->start = directory->file_size - PAYLOAD_COUNT_SIZE - directory_bytes;
    directory->entries.resize(directory->count);
    in->seekg(static_cast<std::streamoff>(directory->start));
    in->read(reinterpret_cast<char*>(directory->entries.data()),
             static_cast<std::streamsize>(directory_bytes));
    if (!*in) {
        problems->push_back("cannot read the directory");
        return false;
    }
    return true;
}

std::optional<std::string> EntryName(const PayloadEntry& entry) {
    const void* end = std::memchr(entry.name, 0, sizeof entry.name);  // the NUL, if any
    if (end == nullptr) {
        return std::nullopt;
    }
    return std::string(entry.name, static_cast<const char*>(end));
}

std::string EntryLabel(uint32_t index, const PayloadEntry& entry) {
    std::optional<std::string> name = EntryName(entry);
    return "entry " + std::to_string(index) + (name ? " '" + *name + "'" : " (unnamed)");
}

std::vector<std::string> RecordProblems(const Directory& directory) {
    std::vector<std::string> problems;
    for (uint32_t i = 0; i < directory.count; ++i) {
        const PayloadEntry& entry = directory.entries[i];
        if (!EntryName(entry)) {
            problems.push_back("entry " + std::to_string(i) +
                               ": name has no NUL inside its 260 bytes");
        }
        if (entry.chunk_count < 0 || entry.chunk_count > PAYLOAD_MAX_CHUNKS) {
            problems.push_back(EntryLabel(i, entry) + ": chunk_count " +
                               std::to_string(entry.chunk_count) + " is outside 0 to 96");
        }
    }
    return problems;
}

}  // namespace qpack
