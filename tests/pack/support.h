// Helpers shared by the packer's tests: scratch folders, file contents,
// reading a launcher's records back, and running the qelvor-pack program.
#pragma once

#include "payload/payload.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace packtest {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

// A fresh empty folder, removed with everything in it at the end.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const {
        return path_;
    }
    fs::path operator/(const std::string& name) const {
        return path_ / name;
    }

  private:
    fs::path path_;
};

// Content of the given size, different for each seed. Compressible content
// is text-like (deflate then uses Huffman-coded blocks); the other kind is
// noise, which deflate mostly stores.
Bytes MakeContent(size_t size, uint32_t seed, bool compressible);

void WriteFile(const fs::path& path, const Bytes& content);
Bytes ReadFile(const fs::path& path);

// The N records at the end of a launcher's bytes (assumes a sound layout).
std::vector<PayloadEntry> ReadEntries(const Bytes& launcher);
// Byte offset of record i's field at `field_offset` within the launcher.
size_t RecordOffset(const Bytes& launcher, size_t index, size_t field_offset);
void PutU32(Bytes& bytes, size_t offset, uint32_t value);
uint32_t GetU32(const Bytes& bytes, size_t offset);

// A stub of `size` bytes that starts with the PE headers of a 64-bit
// executable (noise after them), its security directory naming the given
// certificate table.
Bytes PeStub(size_t size, uint32_t table_offset = 0, uint32_t table_size = 0);

// Makes the stub part of a launcher (entry 0) `extra` zero bytes longer and
// moves everything after it up: still a sound launcher, of another length.
void GrowStub(Bytes& launcher, size_t extra);

// Signs a launcher packed from PeStub as a signing tool lays it out: zero
// bytes up to an 8-byte boundary, a certificate table of table_size bytes
// (noise), the security directory naming it. Returns the padding added.
size_t SignLikeATool(Bytes& launcher, uint32_t table_size);

// One image of a test icon, `side` pixels square: a packed DIB of `bits`
// per pixel (full palette, colour bitmap and mask, filled with noise), or a
// PNG (signature, IHDR of 8-bit RGBA, IEND; no pixel data).
struct IconImageShape {
    uint32_t side;
    uint16_t bits;
    bool png;
};

// An .ico file of those images, stored after its directory in order; each
// image's bytes also go to *images when given.
Bytes IconFile(const std::vector<IconImageShape>& shapes, std::vector<Bytes>* images = nullptr);

// The result of running the qelvor-pack program.
struct RunResult {
    int status = -1;  // exit status
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the program named by the QELVOR_PACK environment variable with args,
// in a scratch folder of its own for the captured output.
RunResult RunPack(const std::vector<std::string>& args);

// Runs a copy of the program found elsewhere, the same way.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// True when the program is available (QELVOR_PACK set).
bool HavePackProgram();

// Files and their names in a folder, sorted, for comparing trees.
std::vector<std::string> FolderListing(const fs::path& folder);

}  // namespace packtest
