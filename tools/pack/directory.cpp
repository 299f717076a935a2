// Bounded reading of a payload directory: the end comes from the shared
// reading rule, and the count is compared with it in 64 bits before
// anything is allocated.
#include "tools/pack/directory.h"

#include "tools/pack/names.h"

#include <cstring>

namespace qpack {

namespace fs = std::filesystem;

/* A read at an offset; the end of the file is not a failure. */
int ReadStreamAt(void* source, uint64_t offset, void* buffer, uint32_t size, uint32_t* got) {
    auto* in = static_cast<std::istream*>(source);
    in->clear();
    in->seekg(static_cast<std::streamoff>(offset));
    in->read(static_cast<char*>(buffer), size);
    *got = static_cast<uint32_t>(in->gcount());
    bool failed = in->bad();  // the end of the file is not a failure
    in->clear();
    return failed ? 0 : 1;
}

namespace {

/* Why the reading rule found no payload end: a failed read, a certificate
   table that does not end the file on an 8-byte boundary (which the
   launcher refuses, as no signing tool writes one), or a table with no
   payload before it. */
std::string EndProblem(const PayloadEnd& end, uint64_t file_size) {
    if (end.table_size == 0) {
        return "cannot read the launcher";
    }
    std::string table = "certificate table of " + std::to_string(end.table_size) + " bytes at " +
                        std::to_string(end.table_offset);
    if (end.table_offset % 8 != 0 || end.table_offset + end.table_size != file_size) {
        return "the PE headers name a " + table + ", which does not end the " +
               std::to_string(file_size) +
               "-byte file on an 8-byte boundary: the launcher refuses such a file";
    }
    return "signed (" + table +
           "), but no payload ends before the table: not a launcher, or its payload is damaged";
}

/* Why the link rule refuses a continuation record, or null when it does
   not. */
const char* LinkProblem(RecordLink link) {
    switch (link) {
    case LINK_FIRST:
    case LINK_CONTINUES:
        return nullptr;
    case LINK_AFTER_STUB:
        return "right after the stub's entry 0: it continues no file";
    case LINK_AFTER_PARTIAL:
        return "after a record with fewer than 96 chunks, which cannot be continued";
    case LINK_OUT_OF_PLACE:
        return "out of place: its place is not the one after the record before's";
    case LINK_NO_CHUNKS:
        return "without chunks (chunk_count outside 1 to 96)";
    case LINK_STRAY_BYTES:
        return "with bytes other than zero after its place in the name field";
    }
    return "of an unknown kind";
}

}  // namespace

std::optional<uint32_t> CertificateTableSize(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    uint32_t table_offset = 0;  // unused: any table counts
    uint32_t table_size = 0;
    if (!in || !ReadCertificateTable(ReadStreamAt, static_cast<std::istream*>(&in), &table_offset,
                                     &table_size)) {
        return std::nullopt;
    }
    return table_size;
}

std::string SignatureLine(const PayloadEnd& end) {
    if (end.table_size == 0) {
        return "";
    }
    uint64_t padding = end.table_offset - end.end;  // zero bytes between payload and table
    return "signed: certificate table of " + std::to_string(end.table_size) +
           " bytes after the payload" +
           (padding == 0 ? ""
                         : ", " + std::to_string(padding) + (padding == 1 ? " byte" : " bytes") +
                               " of padding before it");
}

bool ReadDirectory(const fs::path& launcher, std::ifstream* in, Directory* directory,
                   std::vector<std::string>* problems) {
    std::error_code error;
    directory->file_size = fs::file_size(launcher, error);
    in->open(launcher, std::ios::binary);
    if (error || !*in) {
        problems->push_back("cannot open the launcher");
        return false;
    }
    return ReadDirectoryFrom(in, directory->file_size, directory, problems);
}

/* The shared rule finds the directory; each fault becomes its message. */
bool ReadDirectoryFrom(std::istream* in, uint64_t file_size, Directory* directory,
                       std::vector<std::string>* problems) {
    DirectoryPlace place;  // what the rule found, also before a fault
    directory->file_size = file_size;
    DirectoryFault fault = FindDirectory(ReadStreamAt, in, file_size, &place);
    directory->end = place.end;
    directory->count = place.count;
    uint64_t end = place.end.end;  // one past the entry count
    switch (fault) {
    case DIRECTORY_NO_END:
        problems->push_back(EndProblem(place.end, file_size));
        return false;
    case DIRECTORY_NO_COUNT:
        problems->push_back(end < PAYLOAD_COUNT_SIZE
                                ? "file is " + std::to_string(end) +
                                      " bytes long, too short for an entry count"
                                : "cannot read the entry count");
        return false;
    case DIRECTORY_PAST_START:
        problems->push_back(
            "entry count " + std::to_string(place.count) + " needs " +
            std::to_string(uint64_t{place.count} * PAYLOAD_ENTRY_SIZE + PAYLOAD_COUNT_SIZE) +
            " bytes, but " +
            (place.end.table_size == 0
                 ? "the file has " + std::to_string(end)
                 : "the payload before the certificate table has " + std::to_string(end)));
        return false;
    case DIRECTORY_OK:
        break;
    }
    directory->start = place.start;
    directory->entries.resize(place.count);
    for (uint32_t j = 0; j < place.count; ++j) {
        if (!ReadRecord(ReadStreamAt, in, &place, j, &directory->entries[j])) {
            problems->push_back("cannot read the directory");
            return false;
        }
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

std::string EntryLabel(uint32_t index, const PayloadEntry& entry, const std::string& codepage) {
    if (uint32_t place = ContinuationPlace(&entry); place != 0) {
        return "entry " + std::to_string(index) + " (continuation " + std::to_string(place) + ")";
    }
    std::optional<std::string> name = EntryName(entry);
    return "entry " + std::to_string(index) +
           (name ? " '" + ShownName(*name, codepage) + "'" : " (unnamed)");
}

std::vector<std::string> RecordProblems(const Directory& directory) {
    std::vector<std::string> problems;
    for (uint32_t i = 0; i < directory.count; ++i) {
        const PayloadEntry& entry = directory.entries[i];
        if (!EntryName(entry)) {
            problems.push_back("entry " + std::to_string(i) +
                               ": name has no NUL inside its 260 bytes");
        }
        if (!IsChunkCountSound(entry.chunk_count)) {
            problems.push_back(EntryLabel(i, entry) + ": chunk_count " +
                               std::to_string(entry.chunk_count) + " is outside 0 to 96");
        }
        if (i == 0) {
            continue;
        }
        if (const char* why =
                LinkProblem(RecordLinkOf(i > 1 ? &directory.entries[i - 1] : nullptr, &entry))) {
            problems.push_back("entry " + std::to_string(i) + ": a continuation record " + why);
        }
    }
    return problems;
}

std::vector<FileRecords> FilesOf(const Directory& directory) {
    std::vector<FileRecords> files;
    for (uint32_t i = 1; i < directory.count; ++i) {
        if (files.empty() || RecordLinkOf(i > 1 ? &directory.entries[i - 1] : nullptr,
                                          &directory.entries[i]) != LINK_CONTINUES) {
            files.push_back({i, 1});
        } else {
            ++files.back().records;
        }
    }
    return files;
}

}  // namespace qpack
