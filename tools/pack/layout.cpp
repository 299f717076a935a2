// Writing the launcher. Members are compressed on several threads, a few
// 512 KiB pieces per thread at a time, and written in payload order as they
// come back, so memory stays near a few pieces per thread whatever the
// set's size and the bytes do not depend on the thread count. The price is
// that the 4 GiB limit on compressed sizes can only be found while writing,
// which the temporary file makes harmless, and that the zero bytes after
// the stub that make the launcher's length a multiple of 8 are only known
// once every member is written: the members then move up by those few
// bytes in one more pass over the file. A file longer than one record's 96
// chunks goes on in continuation records right after its first; a stub
// that cannot read those (payload level 1) is refused before anything is
// written, but only then: a set without them never reads the stub's level,
// so it packs to the bytes it always did.
#include "tools/pack/layout.h"

#include "payload/level.h"
#include "payload/payload.h"
#include "tools/pack/compress_pool.h"
#include "tools/pack/directory.h"
#include "tools/pack/names.h"
#include "tools/pack/stamp.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

namespace qpack {

namespace fs = std::filesystem;

namespace {

constexpr const char* TEMP_SUFFIX = ".qelvor-partial";  // the output's name while it is written
constexpr size_t COPY_BLOCK = 1 << 20;                  // bytes per read when copying the stub
constexpr uint64_t SIGNING_ALIGNMENT = 8;  // a certificate table starts on an 8-byte boundary

struct PackFailure {
    std::string message;
};

std::string Shown(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void WriteBytes(std::ofstream& out, const void* data, size_t size) {
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        throw PackFailure{"write failed (disk full?)"};
    }
}

/* A zeroed record: the bytes after the name's NUL and the unused slots stay
   zero, so the output depends on the inputs only. */
PayloadEntry BlankEntry(const std::string& stored_name) {
    PayloadEntry entry;
    std::memset(&entry, 0, sizeof entry);
    std::memcpy(entry.name, stored_name.data(), stored_name.size());
    return entry;
}

/* Copies the stub as it is; its length S is where the chunk data starts. */
uint64_t CopyStub(const fs::path& stub, std::ofstream& out) {
    std::ifstream in(stub, std::ios::binary);
    if (!in) {
        throw PackFailure{"cannot open the stub " + Shown(stub)};
    }
    std::vector<char> block(COPY_BLOCK);
    uint64_t copied = 0;  // S so far
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        std::streamsize got = in.gcount();
        WriteBytes(out, block.data(), static_cast<size_t>(got));
        copied += static_cast<uint64_t>(got);
    }
    if (!in.eof()) {
        throw PackFailure{"cannot read the stub " + Shown(stub)};
    }
    return copied;
}

/* Moves the members in [stub_size, members_end) of the file up by padding
   bytes and fills the gap with zeros, block by block from the end. */
void PadStub(const fs::path& file, uint64_t stub_size, uint64_t members_end, uint64_t padding) {
    std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
    std::vector<char> block(COPY_BLOCK);
    for (uint64_t end = members_end; end > stub_size;) {
        uint64_t begin = end - std::min<uint64_t>(COPY_BLOCK, end - stub_size);  // [begin, end)
        std::streamsize size = static_cast<std::streamsize>(end - begin);
        io.seekg(static_cast<std::streamoff>(begin));
        io.read(block.data(), size);
        io.seekp(static_cast<std::streamoff>(begin + padding));
        io.write(block.data(), size);
        end = begin;
    }
    const char zeros[SIGNING_ALIGNMENT] = {};
    io.seekp(static_cast<std::streamoff>(stub_size));
    io.write(zeros, static_cast<std::streamsize>(padding));
    io.close();
    if (!io) {
        throw PackFailure{"cannot pad the stub in " + Shown(file)};
    }
}

/* Reads one file into the pool, piece by piece; an empty file gives no
   piece, and a length that is an exact multiple of 512 KiB ends with a full
   one. Each read asks for one byte more than the checked length still
   allows, so a file that grew since it was checked is caught without a
   full piece buffer for every small file. */
void ReadPieces(const InputFile& file, size_t index, MemberPool& pool) {
    std::ifstream in(file.path, std::ios::binary);
    if (!in) {
        throw PackFailure{"cannot open " + Shown(file.path)};
    }
    uint64_t read_total = 0;  // content bytes read so far
    size_t pieces = 0;        // pieces handed to the pool
    while (true) {
        uint64_t left = file.size - std::min(read_total, file.size);  // by the checked length
        std::vector<uint8_t> piece(
            static_cast<size_t>(std::min<uint64_t>(PAYLOAD_PIECE_SIZE, left + 1)));
        in.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
        size_t got = static_cast<size_t>(in.gcount());  // this piece's length
        if (got == 0) {
            break;
        }
        read_total += got;
        if (read_total > file.size || pieces == RecordsFor(file.size) * PAYLOAD_MAX_CHUNKS) {
            throw PackFailure{Shown(file.path) + " grew while it was packed"};
        }
        piece.resize(got);
        pool.Submit(index, std::move(piece));
        ++pieces;
    }
    if (in.bad() || read_total != file.size) {
        throw PackFailure{"cannot read " + Shown(file.path) + " whole (it changed while packed?)"};
    }
}

/* Every file's members, compressed by the pool and written in payload
   order as they come back; file i's slots fill entries[first[i]] and then
   the continuation records after it, 96 to a record. The
   data_offset chain is set at the end, from the totals, which also gives
   an empty file the offset where the next member would start. A failure
   while reading lets the members before it be written first, so the first
   fault in payload order is the one reported, whatever the thread count. */
uint64_t PackFiles(const CreateOptions& options, const std::vector<InputFile>& files,
                   std::vector<size_t> first, uint64_t stub_size,
                   std::vector<PayloadEntry>& entries, std::ofstream& out) {
    uint64_t position = stub_size;  // file offset of the next member
    MemberPool pool(
        options.threads == 0 ? DefaultThreads() : options.threads, options.level,
        [&](size_t index, size_t piece_size, std::vector<uint8_t> member) {
            if (member.size() > PAYLOAD_BUFFER_SIZE) {
                throw PackFailure{Shown(files[index].path) + ": a chunk member exceeds 1 MiB"};
            }
            if (position + member.size() > MAX_LAUNCHER_BYTES) {
                throw PackFailure{"the compressed set does not fit in a launcher below 4 GiB"};
            }
            WriteBytes(out, member.data(), member.size());
            position += member.size();
            size_t& record = first[index];  // file index's record that takes this member
            if (entries[record].chunk_count == PAYLOAD_MAX_CHUNKS) {
                ++record;
            }
            PayloadEntry& entry = entries[record];
            ChunkInfo& slot = entry.chunks[entry.chunk_count++];
            slot.packed_size = static_cast<uint32_t>(member.size());
            slot.unpacked_size = static_cast<uint32_t>(piece_size);
            entry.packed_total += slot.packed_size;
            entry.unpacked_total += slot.unpacked_size;
        });
    for (size_t i = 0; i < files.size(); ++i) {
        if (options.progress) {
            options.progress(i + 1, files.size(), files[i].utf8_name);
        }
        try {
            ReadPieces(files[i], i, pool);
        } catch (const PackFailure&) {
            pool.Finish();
            throw;
        }
    }
    pool.Finish();
    uint64_t offset = stub_size + 1;  // data_offset of the next entry
    for (size_t i = 1; i < entries.size(); ++i) {
        entries[i].data_offset = static_cast<uint32_t>(offset);
        offset += entries[i].packed_total;
    }
    return position;
}

/* The whole launcher into an open stream (on the file `temp`): stub,
   members, records, count. Then the stub gets the zero bytes that make the
   length a multiple of 8, so that signing appends its certificate table
   without padding the file; the members are written by then and move up. */
size_t WriteLauncher(const CreateOptions& options, const std::vector<InputFile>& files,
                     const std::optional<Bytes>& stamped, const fs::path& temp, std::ofstream& out,
                     uint64_t* launcher_bytes) {
    uint64_t stub_size = 0;  // S: the stub's bytes as they enter the launcher
    if (stamped) {
        WriteBytes(out, stamped->data(), stamped->size());
        stub_size = stamped->size();
    } else {
        stub_size = CopyStub(options.stub, out);
    }
    std::string problem;
    std::u8string out_name = options.output.filename().u8string();
    PayloadEntry stub_entry =
        BlankEntry(*CheckName(std::string(out_name.begin(), out_name.end()), options.codepage,
                              MAX_STUB_NAME_BYTES, &problem));
    stub_entry.data_offset = 1;
    stub_entry.unpacked_total = static_cast<uint32_t>(stub_size);
    stub_entry.packed_total = static_cast<uint32_t>(stub_size);
    stub_entry.chunk_count = 1;
    stub_entry.chunks[0] = {static_cast<uint32_t>(stub_size), static_cast<uint32_t>(stub_size)};

    std::vector<PayloadEntry> entries{stub_entry};
    std::vector<size_t> first;  // each file's first record
    for (const InputFile& file : files) {
        first.push_back(entries.size());
        entries.push_back(BlankEntry(file.stored_name));
        for (uint64_t place = 1; place < RecordsFor(file.size); ++place) {
            entries.push_back(BlankEntry(""));
            MarkContinuation(&entries.back(), static_cast<uint32_t>(place));
        }
    }
    uint64_t position = PackFiles(options, files, first, stub_size, entries, out);  // members' end
    uint64_t total = position + entries.size() * PAYLOAD_ENTRY_SIZE + PAYLOAD_COUNT_SIZE;
    uint64_t padding = (SIGNING_ALIGNMENT - total % SIGNING_ALIGNMENT) % SIGNING_ALIGNMENT;
    total += padding;
    if (total > MAX_LAUNCHER_BYTES) {
        throw PackFailure{"the compressed set does not fit in a launcher below 4 GiB"};
    }
    if (stub_size + padding > MAX_STUB_BYTES) {
        throw PackFailure{"the stub with its padding reaches 2 GiB"};
    }
    if (padding > 0) {
        out.flush();
        PadStub(temp, stub_size, position, padding);
        out.seekp(static_cast<std::streamoff>(position + padding));
        for (size_t i = 1; i < entries.size(); ++i) {
            entries[i].data_offset += static_cast<uint32_t>(padding);
        }
        PayloadEntry& stub = entries[0];
        stub.unpacked_total = stub.packed_total = static_cast<uint32_t>(stub_size + padding);
        stub.chunks[0] = {stub.unpacked_total, stub.unpacked_total};
    }
    WriteBytes(out, entries.data(), entries.size() * sizeof(PayloadEntry));
    uint32_t count = static_cast<uint32_t>(entries.size());  // N, little-endian on disk
    uint8_t count_bytes[PAYLOAD_COUNT_SIZE] = {
        static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
        static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
    WriteBytes(out, count_bytes, sizeof count_bytes);
    *launcher_bytes = total;
    return entries.size();
}

/* The stub's whole content, for stamping (a stub is small). */
std::optional<Bytes> ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

/* Files that need continuation records, refused when the stub reads files
   of one record only. */
void CheckStubLevel(const CreateOptions& options, const std::vector<InputFile>& files,
                    std::vector<std::string>* problems) {
    int level = 0;  // read only when a file needs it
    for (const InputFile& file : files) {
        if (RecordsFor(file.size) == 1) {
            continue;
        }
        if (level == 0) {
            std::optional<Bytes> stub = ReadWhole(options.stub);
            level = stub ? StubPayloadLevel(*stub) : PAYLOAD_LEVEL_FIRST;
        }
        if (level < PAYLOAD_LEVEL_CONTINUED) {
            problems->push_back(Shown(file.path) + " is " + std::to_string(file.size) +
                                " bytes: this stub reads files of one record only (payload level " +
                                std::to_string(level) + "; a continued file needs level " +
                                std::to_string(PAYLOAD_LEVEL_CONTINUED) +
                                "): pack it with a newer stub");
        }
    }
}

/* An output that is the stub would be destroyed by the rename that
   finishes the launcher; the files are compared as files, so a second
   spelling of the path or a hard link is caught too. (An output that is
   one of the inputs is refused with the inputs.) */
std::optional<std::string> OutputIsStub(const CreateOptions& options) {
    std::error_code error;
    if (fs::equivalent(options.output, options.stub, error) && !error) {
        return "-o " + Shown(options.output) + " names the stub " + Shown(options.stub) +
               ", which it would overwrite";
    }
    return std::nullopt;
}

}  // namespace

static_assert(std::endian::native == std::endian::little,
              "records are written from memory and must already be little-endian");

/* Checks first, then the temporary file, renamed over the output only once
   it is complete and closed; any failure removes it. */
CreateResult CreateLauncher(const CreateOptions& options) {
    CreateResult result;
    InputSet set = CollectInputs(options);
    if (std::optional<uint32_t> table = CertificateTableSize(options.stub); table && *table != 0) {
        set.problems.push_back(
            "stub " + Shown(options.stub) + " is already signed (a certificate table of " +
            std::to_string(*table) + " bytes): pack the unsigned stub, then sign the launcher");
    }
    if (std::optional<std::string> problem = OutputIsStub(options)) {
        set.problems.push_back(*problem);
    }
    CheckStubLevel(options, set.files, &set.problems);
    std::optional<Bytes> stamped;  // the stub with its version or icon stamped, when asked for
    if (!options.stamp.Empty() || !options.icon.empty()) {
        std::string problem;
        std::optional<Bytes> stub = ReadWhole(options.stub);
        stamped = stub ? StampStub(*stub, options.stamp, options.icon, &problem) : std::nullopt;
        if (!stamped) {
            set.problems.push_back("cannot stamp " + Shown(options.stub) + ": " +
                                   (stub ? problem : "cannot read it"));
        }
    }
    if (!set.problems.empty()) {
        result.problems = std::move(set.problems);
        return result;
    }
    fs::path temp = options.output;
    temp += TEMP_SUFFIX;
    try {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw PackFailure{"cannot create " + Shown(temp)};
        }
        result.entries =
            WriteLauncher(options, set.files, stamped, temp, out, &result.launcher_bytes);
        out.close();
        if (!out) {
            throw PackFailure{"cannot finish writing " + Shown(temp)};
        }
        std::error_code error;
        fs::rename(temp, options.output, error);
        if (error) {
            throw PackFailure{"cannot rename " + Shown(temp) + " to " + Shown(options.output) +
                              ": " + error.message()};
        }
    } catch (const PackFailure& failure) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        result.problems.push_back(failure.message);
        return result;
    } catch (const std::exception& failure) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        result.problems.push_back(failure.what());
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace qpack
