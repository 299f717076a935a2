// `list` and `verify`. Verify walks the payload the way the launcher does
// (sequentially from entry 0's unpacked_total, members by packed_size) and
// checks on the way every field the launcher ignores as well, since another
// reader may rely on them. Any problem is reported and the walk goes on
// where it safely can, so one run names them all. A file that goes on in
// continuation records is one file to both: one name, one row, one step.
#include "tools/pack/inspect.h"

#include "inflate/inflate.h"
#include "tools/pack/compress.h"
#include "tools/pack/directory.h"
#include "tools/pack/names.h"

#include <cstdio>
#include <map>

namespace qpack {

namespace {

constexpr size_t MEMBER_HEADER = 3;   // 1F 8B 08
constexpr size_t MEMBER_TRAILER = 8;  // CRC-32, ISIZE

uint32_t ReadU32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string Hex32(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

/* Entry 0 describes the stub: offset 1, both totals S, one slot {S, S}. */
void CheckStubEntry(const Directory& directory, std::vector<std::string>* problems) {
    const PayloadEntry& stub = directory.entries[0];
    std::string label = EntryLabel(0, stub);
    uint32_t size = stub.unpacked_total;  // S
    if (stub.data_offset != 1) {
        problems->push_back(label + ": data_offset " + std::to_string(stub.data_offset) +
                            ", expected 1");
    }
    if (stub.packed_total != size) {
        problems->push_back(label + ": packed_total " + std::to_string(stub.packed_total) +
                            " differs from unpacked_total " + std::to_string(size));
    }
    if (stub.chunk_count != 1) {
        problems->push_back(label + ": chunk_count " + std::to_string(stub.chunk_count) +
                            ", expected 1");
    } else if (stub.chunks[0].packed_size != size || stub.chunks[0].unpacked_size != size) {
        problems->push_back(label + ": slot 0 is {" + std::to_string(stub.chunks[0].packed_size) +
                            ", " + std::to_string(stub.chunks[0].unpacked_size) +
                            "}, expected {S, S} with S = " + std::to_string(size));
    }
    if (size > directory.start) {
        problems->push_back(label + ": stub size " + std::to_string(size) +
                            " reaches past the directory at " + std::to_string(directory.start));
    }
}

/* Names must pass the launcher's rule, read in the target code page, and
   be unique without regard to case. Without a code page a name outside
   ASCII cannot be judged (its bytes are different characters in different
   code pages) and is only counted. */
void CheckNames(const Directory& directory, const std::string& codepage,
                std::vector<std::string>* problems, uint32_t* unchecked) {
    std::map<std::string, uint32_t> seen;  // folded name -> first entry with it
    *unchecked = 0;
    for (const FileRecords& file : FilesOf(directory)) {
        uint32_t i = file.first;  // continuation records have no name of their own
        std::string name = *EntryName(directory.entries[i]);
        std::string label = EntryLabel(i, directory.entries[i], codepage);
        std::string problem;  // why the launcher refuses the name
        std::string folded;   // the uniqueness key
        StoredName verdict = CheckStoredName(name, codepage, &problem, &folded);
        if (verdict == StoredName::REFUSED) {
            problems->push_back(label + ": the launcher refuses it: " + problem);
        }
        *unchecked += verdict == StoredName::UNCHECKED;
        auto [it, fresh] = seen.emplace(folded, i);
        if (!fresh) {
            problems->push_back(label + ": same name as entry " + std::to_string(it->second) +
                                " (ignoring case)");
        }
    }
}

/* One member through the launcher's decoder, then the slot against what it
   produced. Returns the decoded length, or nothing when it failed. */
std::optional<uint32_t> CheckMember(std::vector<uint8_t>& member, const ChunkInfo& slot,
                                    const std::string& label, std::vector<uint8_t>& output,
                                    std::vector<std::string>* problems) {
    uint32_t length = PAYLOAD_BUFFER_SIZE;  // capacity in, decoded length out
    int result =
        DecodeChunk(member.data(), static_cast<uint32_t>(member.size()), output.data(), &length);
    if (result <= 0) {
        problems->push_back(label + ": " + DiagnoseMember(member.data(), member.size(), result));
        return std::nullopt;
    }
    uint32_t isize = ReadU32(member.data() + member.size() - 4);
    if (slot.unpacked_size != length || isize != length) {
        problems->push_back(label + ": unpacked_size " + std::to_string(slot.unpacked_size) +
                            ", ISIZE " + std::to_string(isize) + ", decoded " +
                            std::to_string(length) + " bytes");
    }
    return length;
}

/* An entry's members from `position` on; returns false when the walk cannot
   go on because a member cannot be read. A record that the next one
   continues must end with a full chunk as well. */
bool CheckEntry(const Directory& directory, uint32_t index, bool continued, std::ifstream& in,
                uint64_t* position, std::vector<uint8_t>& output, VerifyReport* report) {
    const PayloadEntry& entry = directory.entries[index];
    std::string label = EntryLabel(index, entry);
    std::vector<std::string>* problems = &report->problems;
    if (entry.data_offset != *position + 1) {
        problems->push_back(label + ": data_offset " + std::to_string(entry.data_offset) +
                            ", expected " + std::to_string(*position + 1) +
                            (index == 1 ? " (stub size + 1)" : " (previous entry + packed_total)"));
    }
    uint64_t packed = 0;    // sum of packed_size
    uint64_t unpacked = 0;  // sum of unpacked_size
    std::vector<uint8_t> member;
    for (int32_t k = 0; k < entry.chunk_count; ++k) {
        const ChunkInfo& slot = entry.chunks[k];
        std::string chunk_label = label + ": chunk " + std::to_string(k);
        packed += slot.packed_size;
        unpacked += slot.unpacked_size;
        bool last = k + 1 == entry.chunk_count && !continued;
        if (last ? slot.unpacked_size > PAYLOAD_PIECE_SIZE
                 : slot.unpacked_size != PAYLOAD_PIECE_SIZE) {
            problems->push_back(chunk_label + ": unpacked_size " +
                                std::to_string(slot.unpacked_size) + (last ? ", over " : ", not ") +
                                std::to_string(PAYLOAD_PIECE_SIZE));
        }
        if (slot.packed_size > PAYLOAD_BUFFER_SIZE) {
            problems->push_back(chunk_label + ": packed_size " + std::to_string(slot.packed_size) +
                                " exceeds the launcher's 1048576-byte buffer");
            return false;
        }
        if (*position + slot.packed_size > directory.start) {
            problems->push_back(chunk_label + ": member at " + std::to_string(*position) + " of " +
                                std::to_string(slot.packed_size) +
                                " bytes runs into the directory at " +
                                std::to_string(directory.start));
            return false;
        }
        member.resize(slot.packed_size);
        in.seekg(static_cast<std::streamoff>(*position));
        in.read(reinterpret_cast<char*>(member.data()), slot.packed_size);
        if (!in) {
            problems->push_back(chunk_label + ": cannot read the member");
            return false;
        }
        *position += slot.packed_size;
        if (std::optional<uint32_t> length =
                CheckMember(member, slot, chunk_label, output, problems)) {
            report->content_bytes += *length;
            ++report->chunks;
        }
    }
    if (entry.packed_total != packed) {
        problems->push_back(label + ": packed_total " + std::to_string(entry.packed_total) +
                            ", but its chunks add up to " + std::to_string(packed));
    }
    if (entry.unpacked_total != unpacked) {
        problems->push_back(label + ": unpacked_total " + std::to_string(entry.unpacked_total) +
                            ", but its chunks add up to " + std::to_string(unpacked));
    }
    return true;
}

}  // namespace

/* The launcher's decoder only says "failed"; the packer's own inflater
   finds where the deflate data ends, which tells a bad trailer from bad
   deflate data. */
std::string DiagnoseMember(const uint8_t* member, size_t size, int result) {
    if (size < MEMBER_HEADER + MEMBER_TRAILER) {
        return "member of " + std::to_string(size) + " bytes is too short";
    }
    if (member[0] != 0x1F || member[1] != 0x8B || member[2] != 8) {
        return "bad header bytes (not 1F 8B 08)";
    }
    if (result == -1) {
        return "member longer than the 1048576-byte buffer";
    }
    size_t consumed = 0;  // bytes of deflate data
    std::optional<std::vector<uint8_t>> content =
        RawInflate(member + MEMBER_HEADER, size - MEMBER_HEADER, PAYLOAD_BUFFER_SIZE, &consumed);
    if (!content) {
        return result == 0 ? "ISIZE " + std::to_string(ReadU32(member + size - 4)) +
                                 " exceeds the 1048576-byte output buffer"
                           : "deflate data does not decode";
    }
    size_t trailer = MEMBER_HEADER + consumed;  // offset of the CRC-32
    if (trailer + MEMBER_TRAILER > size) {
        return "trailer cut short";
    }
    if (trailer + MEMBER_TRAILER < size) {
        return std::to_string(size - trailer - MEMBER_TRAILER) + " bytes after the trailer";
    }
    uint32_t crc = Crc32(content->data(), content->size());
    if (ReadU32(member + trailer) != crc) {
        return "CRC-32 mismatch (trailer " + Hex32(ReadU32(member + trailer)) + ", content " +
               Hex32(crc) + ")";
    }
    if (ReadU32(member + trailer + 4) != content->size()) {
        return "ISIZE mismatch (trailer " + std::to_string(ReadU32(member + trailer + 4)) +
               ", content " + std::to_string(content->size()) + " bytes)";
    }
    return "the launcher's decoder rejects it (result " + std::to_string(result) +
           ") although it is valid deflate data";
}

std::string UncheckedNote(uint32_t unchecked) {
    if (unchecked == 0) {
        return "";
    }
    return "note: " + std::to_string(unchecked) + (unchecked == 1 ? " name is" : " names are") +
           " outside ASCII and not checked against the launcher's name rule (give the target "
           "code page with --codepage CP)";
}

VerifyReport VerifyLauncher(const std::filesystem::path& launcher, const std::string& codepage,
                            const VerifyProgress& progress) {
    VerifyReport report;
    Directory directory;
    std::ifstream in;
    if (!ReadDirectory(launcher, &in, &directory, &report.problems)) {
        return report;
    }
    report.entries = directory.count;
    report.signature = SignatureLine(directory.end);
    report.problems = RecordProblems(directory);
    if (directory.count == 0) {
        report.problems.push_back("entry count 0: not even the stub's own record");
    }
    if (!report.problems.empty()) {
        return report;
    }
    CheckStubEntry(directory, &report.problems);
    CheckNames(directory, codepage, &report.problems, &report.unchecked_names);
    uint64_t position = directory.entries[0].unpacked_total;  // where the next member starts
    if (position > directory.start) {
        return report;
    }
    std::vector<uint8_t> output(PAYLOAD_BUFFER_SIZE);
    std::vector<FileRecords> files = FilesOf(directory);
    for (size_t f = 0; f < files.size(); ++f) {
        if (progress) {
            progress(f + 1, files.size(),
                     ShownName(*EntryName(directory.entries[files[f].first]), codepage));
        }
        for (uint32_t r = 0; r < files[f].records; ++r) {
            if (!CheckEntry(directory, files[f].first + r, r + 1 < files[f].records, in, &position,
                            output, &report)) {
                return report;
            }
        }
    }
    if (position != directory.start) {
        report.problems.push_back("the directory starts at " + std::to_string(directory.start) +
                                  ", but the last chunk member ends at " +
                                  std::to_string(position));
    }
    return report;
}

/* Plain columns: the name column as wide as the longest name. */
bool ListLauncher(const std::filesystem::path& launcher, std::ostream& out,
                  std::vector<std::string>* problems, const std::string& codepage) {
    Directory directory;
    std::ifstream in;
    if (!ReadDirectory(launcher, &in, &directory, problems)) {
        return false;
    }
    *problems = RecordProblems(directory);
    if (directory.count == 0) {
        problems->push_back("entry count 0: not even the stub's own record");
    }
    uint32_t unchecked = 0;  // names outside ASCII, without a code page
    if (problems->empty()) {
        CheckNames(directory, codepage, problems, &unchecked);
    }
    if (!problems->empty()) {
        return false;
    }
    std::vector<FileRecords> files = FilesOf(directory);
    std::vector<std::string> names;  // the files' names, as shown
    int width = 5;                   // name column, at least as wide as "total"
    for (const FileRecords& file : files) {
        names.push_back(ShownName(*EntryName(directory.entries[file.first]), codepage));
        width = std::max(width, static_cast<int>(names.back().size()));
    }
    char line[512];
    auto row = [&](const std::string& name, uint64_t size, uint64_t packed, uint64_t chunks) {
        char ratio[16] = "-";
        if (size > 0) {
            std::snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * packed / size);
        }
        std::snprintf(line, sizeof line, "%-*s %12llu %12llu %6llu %7s\n", width, name.c_str(),
                      static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(packed),
                      static_cast<unsigned long long>(chunks), ratio);
        out << line;
    };
    out << "stub: " << directory.entries[0].unpacked_total << " bytes ("
        << *EntryName(directory.entries[0]) << ")\n";
    std::snprintf(line, sizeof line, "%-*s %12s %12s %6s %7s\n", width, "name", "size", "packed",
                  "chunks", "ratio");
    out << line;
    uint64_t size = 0, packed = 0, chunks = 0;  // totals over entries 1 to N-1
    for (size_t f = 0; f < files.size(); ++f) {
        uint64_t file_size = 0, file_packed = 0, file_chunks = 0;  // over the file's records
        for (uint32_t r = 0; r < files[f].records; ++r) {
            const PayloadEntry& entry = directory.entries[files[f].first + r];
            file_size += entry.unpacked_total;
            file_packed += entry.packed_total;
            file_chunks += static_cast<uint64_t>(entry.chunk_count);
        }
        row(names[f], file_size, file_packed, file_chunks);
        size += file_size;
        packed += file_packed;
        chunks += file_chunks;
    }
    row("total", size, packed, chunks);
    out << files.size() << " files, launcher " << directory.file_size << " bytes\n";
    if (std::string signature = SignatureLine(directory.end); !signature.empty()) {
        out << signature << "\n";
    }
    if (std::string note = UncheckedNote(unchecked); !note.empty()) {
        out << note << "\n";
    }
    return true;
}

}  // namespace qpack
