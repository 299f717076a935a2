// The reference that the benchmark times `qelvor-pack extract` against: the
// launcher's reading rule over the same payload records, with every chunk
// member decoded by libdeflate and every file written with plain POSIX
// calls, so that the figure is the cost of our decoder, extractor and the
// stand-in under them, not of the format.
//
// Usage: qelvor_extract_libdeflate LAUNCHER DIR. The directory is read by the
// packer's own reader (the payload's end found as the launcher finds it,
// signed or not); then one move to entry 0's unpacked_total and every member
// read forward into a 1 MiB input buffer and decoded into a 1 MiB output
// buffer, as the launcher does. The tree it writes is the launcher's: every
// entry under its name, names containing ".jvs" copied into Style/ and
// names containing ".lng" into lang/, both folders created even when empty.
// It trades away what a benchmark reference does not need: the launcher's
// name checks beyond the record's own (a name must be terminated), retries,
// code pages, and any message beyond the first failure.
#include "payload/payload.h"
#include "payload/text.h"
#include "tools/pack/directory.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t MEMBER_HEADER = 3;   // 1F 8B 08 before the deflate data
constexpr size_t MEMBER_TRAILER = 8;  // CRC-32 and ISIZE after it

uint32_t ReadU32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

/* Reads size bytes from fd into buffer, going on after short reads. Returns
   the bytes read (fewer only at the end of the file), or -1. */
ssize_t ReadFull(int fd, uint8_t* buffer, size_t size) {
    size_t done = 0;  // bytes read so far
    while (done < size) {
        ssize_t got = read(fd, buffer + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

/* Writes all size bytes of buffer to fd. */
bool WriteFull(int fd, const uint8_t* buffer, size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, buffer, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        buffer += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

/* Decodes one chunk member of length bytes into output (capacity bytes):
   the three header bytes, raw deflate data that must end exactly where the
   trailer begins, and a trailer whose CRC-32 and ISIZE match the content.
   Returns the content's length, or -1. */
ssize_t DecodeMember(libdeflate_decompressor* decompressor, const uint8_t* member, size_t length,
                     uint8_t* output, size_t capacity) {
    if (length < MEMBER_HEADER + MEMBER_TRAILER || member[0] != 0x1F || member[1] != 0x8B ||
        member[2] != 8) {
        return -1;
    }
    size_t deflate_length = length - MEMBER_HEADER - MEMBER_TRAILER;  // the raw deflate data
    size_t used = 0;                                                  // deflate bytes consumed
    size_t produced = 0;                                              // content bytes written
    if (libdeflate_deflate_decompress_ex(decompressor, member + MEMBER_HEADER, deflate_length,
                                         output, capacity, &used,
                                         &produced) != LIBDEFLATE_SUCCESS ||
        used != deflate_length) {
        return -1;
    }
    const uint8_t* trailer = member + MEMBER_HEADER + deflate_length;
    if (ReadU32(trailer) != libdeflate_crc32(0, output, produced) ||
        ReadU32(trailer + 4) != static_cast<uint32_t>(produced)) {
        return -1;
    }
    return static_cast<ssize_t>(produced);
}

/* Copies the finished file at from to to, replacing it, through buffer. */
bool CopyFile(const std::string& from, const std::string& to, uint8_t* buffer, size_t size) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = out >= 0;
    while (ok) {
        ssize_t got = ReadFull(in, buffer, size);
        ok = got >= 0 && WriteFull(out, buffer, static_cast<size_t>(got));
        if (got < static_cast<ssize_t>(size)) {
            break;
        }
    }
    close(in);
    if (out >= 0) {
        ok = close(out) == 0 && ok;
    }
    return ok;
}

// Releases the decompressor with the pointer that holds it.
struct Closer {
    void operator()(libdeflate_decompressor* d) const {
        libdeflate_free_decompressor(d);
    }
};

/* Writes every chunk member of one entry, in order, from the payload's
   current position into the file at path. Returns an error text, or
   empty. */
std::string WriteEntry(int payload, const PayloadEntry& entry, const std::string& path,
                       libdeflate_decompressor* decompressor, std::vector<uint8_t>& input,
                       std::vector<uint8_t>& output) {
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file < 0) {
        return "cannot create " + path;
    }
    std::string problem;
    for (int32_t k = 0; k < entry.chunk_count && problem.empty(); k++) {
        uint32_t packed_size = entry.chunks[k].packed_size;  // the member's length
        ssize_t got =
            packed_size <= input.size() ? ReadFull(payload, input.data(), packed_size) : -1;
        ssize_t content = got < 0
                              ? -1
                              : DecodeMember(decompressor, input.data(), static_cast<size_t>(got),
                                             output.data(), output.size());
        if (content < 0) {
            problem = "chunk " + std::to_string(k) + " of " + path + " does not decode";
        } else if (!WriteFull(file, output.data(), static_cast<size_t>(content))) {
            problem = "cannot write " + path;
        }
    }
    if (close(file) != 0 && problem.empty()) {
        problem = "cannot write " + path;
    }
    return problem;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LAUNCHER DIR\n", argv[0]);
        return 2;
    }
    std::string destination = argv[2];  // the folder, created if missing
    qpack::Directory directory;
    {
        std::ifstream in;
        std::vector<std::string> problems;
        if (!qpack::ReadDirectory(argv[1], &in, &directory, &problems) ||
            !(problems = qpack::RecordProblems(directory)).empty() || directory.count == 0) {
            std::fprintf(stderr, "%s: %s\n", argv[1],
                         problems.empty() ? "no entries" : problems.front().c_str());
            return 1;
        }
    }
    int payload = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (payload < 0 || lseek(payload, directory.entries[0].unpacked_total, SEEK_SET) < 0) {
        std::fprintf(stderr, "%s: cannot read\n", argv[1]);
        return 1;
    }
    mkdir(destination.c_str(), 0777);
    for (const Subfolder& copy : SUBFOLDERS) {
        mkdir((destination + "/" + copy.name).c_str(), 0777);
    }

    std::unique_ptr<libdeflate_decompressor, Closer> decompressor(libdeflate_alloc_decompressor());
    std::vector<uint8_t> input(PAYLOAD_BUFFER_SIZE);   // one chunk member at a time
    std::vector<uint8_t> output(PAYLOAD_BUFFER_SIZE);  // one chunk's content at a time
    std::string problem = decompressor ? "" : "out of memory";
    for (uint32_t j = 1; j < directory.count && problem.empty(); j++) {
        const PayloadEntry& entry = directory.entries[j];
        std::string path = destination + "/" + entry.name;
        problem = WriteEntry(payload, entry, path, decompressor.get(), input, output);
        for (const Subfolder& copy : SUBFOLDERS) {  // the copies the launcher makes
            if (!problem.empty() || !ContainsText(entry.name, copy.mark)) {
                continue;
            }
            std::string target = destination + "/" + copy.name + "/" + entry.name;
            if (!CopyFile(path, target, output.data(), output.size())) {
                problem = "cannot copy " + path + " to " + target;
            }
        }
    }
    close(payload);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    return 0;
}
