// Writes the seed corpora of the fuzz targets, committed under
// fuzz/corpus/: chunk members of the shared test corpus (contents up to
// 4 KiB compressed by zlib and libdeflate, so that the corpora and the
// runs stay small and fast, and stored members of 32 KiB + 1 bytes, which
// cross the decoder's 32 KiB input load), a few
// hand-made members, small payload files laid out by hand (stub bytes,
// members, 1044-byte directory records, entry count), and launchers signed,
// padded and malformed in the ways the reading rule must tell apart. Run it
// again after a change of the layout:
//
//   make_corpus fuzz/corpus/chunk fuzz/corpus/payload fuzz/corpus/reading
#include "payload/payload.h"
#include "testdata.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testdata::Bytes;

namespace {

constexpr size_t kMaxSeedContent = 4096;  // larger corpus items give one stored member at most
constexpr size_t kLoadCrossing = 32769;   // the size of those: one byte past an input load

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
}

void PutLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back((uint8_t)(v >> (8 * i)));
    }
}

// A fuzz input of the chunk target: capacity, then the member.
Bytes ChunkInput(uint32_t capacity, const Bytes& member) {
    Bytes input;
    PutLe32(input, capacity);
    input.insert(input.end(), member.begin(), member.end());
    return input;
}

// One file of a payload, already cut into chunk contents.
struct PayloadFile {
    std::string name;
    std::vector<Bytes> pieces;
};

// Stub, the members of every piece, the directory and the count.
Bytes LayPayload(const Bytes& stub, const std::vector<PayloadFile>& files, int level) {
    Bytes out = stub;
    std::vector<PayloadEntry> entries(files.size() + 1);
    for (PayloadEntry& e : entries) {
        memset(&e, 0xCD, sizeof e);
    }
    PayloadEntry& self = entries[0];
    self.data_offset = 1;
    self.unpacked_total = self.packed_total = (uint32_t)stub.size();
    strcpy(self.name, "launcher.exe");
    self.chunk_count = 1;
    self.chunks[0] = {(uint32_t)stub.size(), (uint32_t)stub.size()};
    for (size_t i = 0; i < files.size(); i++) {
        PayloadEntry& e = entries[i + 1];
        e.data_offset = (uint32_t)out.size() + 1;
        e.unpacked_total = e.packed_total = 0;
        snprintf(e.name, sizeof e.name, "%s", files[i].name.c_str());
        e.chunk_count = (int32_t)files[i].pieces.size();
        for (size_t k = 0; k < files[i].pieces.size(); k++) {
            const Bytes& piece = files[i].pieces[k];
            Bytes member = testdata::FrameMember(
                testdata::ZlibDeflateRaw(piece, level, Z_DEFAULT_STRATEGY), piece);
            out.insert(out.end(), member.begin(), member.end());
            e.chunks[k] = {(uint32_t)member.size(), (uint32_t)piece.size()};
            e.unpacked_total += (uint32_t)piece.size();
            e.packed_total += (uint32_t)member.size();
        }
    }
    for (const PayloadEntry& e : entries) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&e);
        out.insert(out.end(), p, p + sizeof e);
    }
    PutLe32(out, (uint32_t)entries.size());
    return out;
}

void WriteChunkSeeds(const fs::path& folder) {
    int n = 0;
    auto put = [&](uint32_t capacity, const Bytes& member) {
        WriteFile(folder / ("seed_" + std::to_string(n++)), ChunkInput(capacity, member));
    };
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const testdata::CorpusItem& item : testdata::Corpus(false)) {
        const Bytes& c = item.content;
        uint32_t capacity = (uint32_t)std::max<size_t>(c.size() + 1024, 1 << 16);
        if (c.size() > kMaxSeedContent) {
            if (c.size() == kLoadCrossing) {
                put(capacity,
                    testdata::FrameMember(testdata::ZlibDeflateRaw(c, 0, Z_DEFAULT_STRATEGY), c));
            }
            continue;
        }
        for (int s = 0; s < 5; s += 2) {
            put(capacity, testdata::FrameMember(testdata::ZlibDeflateRaw(c, 6, strategies[s]), c));
        }
        put(capacity, testdata::FrameMember(testdata::ZlibDeflateRaw(c, 0, Z_DEFAULT_STRATEGY), c));
        put(capacity, testdata::FrameMember(testdata::LibdeflateDeflateRaw(c, 12), c));
    }
    // Hand-made members: an empty fixed block, a stored block of "abc", and
    // a capacity exactly at the member's length.
    Bytes empty_fixed = {0x1F, 0x8B, 0x08, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    put(13, empty_fixed);
    Bytes stored = {0x1F, 0x8B, 0x08, 0x01, 0x03, 0x00, 0xFC, 0xFF, 0x61, 0x62,
                    0x63, 0xC2, 0x41, 0x24, 0x35, 0x03, 0x00, 0x00, 0x00};
    put(19, stored);
    put(18, stored);
}

// Offsets in a minimal PE32+ stub: the PE signature, its optional header and
// the security entry of the data directories (a file offset and a size).
constexpr size_t PE_AT = 0x80;
constexpr size_t OPTIONAL_AT = PE_AT + 24;
constexpr size_t SECURITY_AT = OPTIONAL_AT + 112 + 4 * 8;
constexpr size_t CERTIFICATE_BYTES = 64;  // a stand-in certificate table

void PutLe16(Bytes& out, size_t at, uint16_t value) {
    out[at] = uint8_t(value);
    out[at + 1] = uint8_t(value >> 8);
}

void PutLe32At(Bytes& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        out[at + i] = uint8_t(value >> (8 * i));
    }
}

// A stub whose headers have room for a security entry, so that the fuzzer
// starts from launchers the reading rule treats as signed.
Bytes PeStub() {
    Bytes stub(512, 0);
    PutLe16(stub, 0, 0x5A4D);                // "MZ"
    PutLe32At(stub, 0x3C, PE_AT);            // e_lfanew
    PutLe32At(stub, PE_AT, 0x00004550);      // "PE\0\0"
    PutLe16(stub, PE_AT + 4, 0x8664);        // Machine
    PutLe16(stub, PE_AT + 20, 240);          // SizeOfOptionalHeader
    PutLe16(stub, OPTIONAL_AT, 0x20B);       // PE32+
    PutLe32At(stub, OPTIONAL_AT + 108, 16);  // NumberOfRvaAndSizes
    return stub;
}

// A launcher as a signing tool leaves it: zero padding to an 8-byte
// boundary, then the certificate table, named in the security entry.
Bytes Signed(Bytes launcher) {
    while (launcher.size() % 8 != 0) {
        launcher.push_back(0);
    }
    PutLe32At(launcher, SECURITY_AT, uint32_t(launcher.size()));
    PutLe32At(launcher, SECURITY_AT + 4, uint32_t(CERTIFICATE_BYTES));
    Bytes table(CERTIFICATE_BYTES, 0x30);
    launcher.insert(launcher.end(), table.begin(), table.end());
    return launcher;
}

void WritePayloadSeeds(const fs::path& folder) {
    Bytes stub(512, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    Bytes setup = testdata::BinaryBytes(3000, 7);
    Bytes text = testdata::TextBytes(40000, 8);
    int n = 0;
    auto put = [&](const std::vector<PayloadFile>& files, int level) {
        WriteFile(folder / ("seed_" + std::to_string(n++)), LayPayload(stub, files, level));
    };
    put({}, 6);  // only the stub's own record
    put({{"setup.exe", {setup}}}, 9);
    put({{"setup.exe", {setup}},
         {"german.lng", {testdata::TextBytes(500, 9)}},
         {"blue.jvs", {testdata::TextBytes(300, 10)}}},
        6);
    // A file in two chunks, an empty file without chunks and one with an
    // empty chunk.
    put({{"readme.txt",
          {Bytes(text.begin(), text.begin() + 30000), Bytes(text.begin() + 30000, text.end())}},
         {"empty.dat", {}},
         {"empty2.dat", {Bytes{}}}},
        1);
    put({{"store.bin", {testdata::RandomBytes(2000, 11)}}}, 0);
    // Signed launchers, one with padding before the table and one without.
    Bytes pe_stub = PeStub();
    for (size_t extra : {6, 3}) {
        Bytes stub_grown = pe_stub;
        stub_grown.resize(pe_stub.size() + extra, 0);
        WriteFile(folder / ("seed_" + std::to_string(n++)),
                  Signed(LayPayload(stub_grown, {{"setup.exe", {setup}}}, 6)));
    }
}

// One launcher of the reading rule's seeds: how it is signed or spoilt.
struct ReadingSeed {
    size_t stub_extra;     // bytes added to the stub, to vary the padding
    bool signs;            // zero padding and a table follow, as a signing tool writes them
    int64_t entry_offset;  // added to the table offset in the security entry
    int64_t entry_size;    // added to the table size in the security entry
    size_t after;          // bytes after the table
    const char* name;      // the second entry's name, in some code page
};

void WriteReadingSeeds(const fs::path& folder) {
    Bytes setup = testdata::BinaryBytes(700, 12);
    const ReadingSeed seeds[] = {
        {0, false, 0, 0, 0, "a.txt"},      {1, true, 0, 0, 0, "\x95\x5C.txt"},
        {2, true, 0, 0, 0, "COM\xB9"},     {3, true, 0, 0, 0, "lang"},
        {4, true, 0, 0, 0, "SETUP~1.EXE"}, {5, true, 0, 0, 0, "LPT\xA9\xF7.txt"},
        {6, true, 0, 0, 0, "caf\xE9.txt"}, {7, true, 0, 0, 0, "nul .txt"},
        {0, true, 0, -8, 0, "b.txt"},      {0, true, 0, 8, 0, "b.txt"},
        {0, true, 3, 0, 0, "b.txt"},       {3, true, 0, 0, 5, "b.txt"},
        {3, true, -3, 3, 0, "b.txt"},      {0, false, 0, 0, 0, "Style"},
    };
    int n = 0;
    for (const ReadingSeed& seed : seeds) {
        Bytes stub = PeStub();
        stub.resize(stub.size() + seed.stub_extra, 0);
        Bytes launcher =
            LayPayload(stub, {{"setup.exe", {setup}}, {seed.name, {Bytes(10, 'x')}}}, 6);
        if (seed.signs) {
            launcher = Signed(launcher);
            uint32_t offset = uint32_t(launcher.size() - CERTIFICATE_BYTES);
            PutLe32At(launcher, SECURITY_AT, uint32_t(offset + seed.entry_offset));
            PutLe32At(launcher, SECURITY_AT + 4, uint32_t(CERTIFICATE_BYTES + seed.entry_size));
            launcher.resize(launcher.size() + seed.after, 0x30);
        }
        WriteFile(folder / ("seed_" + std::to_string(n++)), launcher);
    }
    // An empty security entry that names an offset keeps the plain rule.
    Bytes plain = LayPayload(PeStub(), {{"setup.exe", {setup}}}, 6);
    PutLe32At(plain, SECURITY_AT, 0x200);
    WriteFile(folder / ("seed_" + std::to_string(n++)), plain);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: make_corpus CHUNK_FOLDER PAYLOAD_FOLDER READING_FOLDER\n");
        return 2;
    }
    for (int i = 1; i < 4; i++) {
        fs::remove_all(argv[i]);
        fs::create_directories(argv[i]);
    }
    WriteChunkSeeds(argv[1]);
    WritePayloadSeeds(argv[2]);
    WriteReadingSeeds(argv[3]);
    return 0;
}
