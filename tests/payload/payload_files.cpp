#include "payload_files.h"

#include <zlib.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>

namespace testpayload {

std::vector<Report> g_reports;

int RecordProgress(uint32_t done, uint32_t total, uint32_t reserved) {
    g_reports.push_back({done, total, reserved});
    return 1;
}

static void PutU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}

Bytes StoredMember(const Bytes& content) {
    Bytes out = {0x1F, 0x8B, 0x08};
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(65535, content.size() - pos);
        bool last = pos + n == content.size();
        out.push_back(last ? 1 : 0);
        out.push_back(uint8_t(n));
        out.push_back(uint8_t(n >> 8));
        out.push_back(uint8_t(~n));
        out.push_back(uint8_t(~n >> 8));
        out.insert(out.end(), content.begin() + pos, content.begin() + pos + n);
        pos += n;
    } while (pos < content.size());
    PutU32(out, uint32_t(crc32(0, content.data(), uInt(content.size()))));
    PutU32(out, uint32_t(content.size()));
    return out;
}

FileSpec StoredFile(const std::string& name, const Bytes& content) {
    FileSpec f;
    f.name = name;
    for (size_t pos = 0; pos < content.size(); pos += PAYLOAD_PIECE_SIZE) {
        size_t n = std::min<size_t>(PAYLOAD_PIECE_SIZE, content.size() - pos);
        Bytes piece(content.begin() + pos, content.begin() + pos + n);
        f.members.push_back(StoredMember(piece));
        f.unpacked.push_back(uint32_t(n));
    }
    return f;
}

Bytes BuildPayload(const Bytes& stub, const std::vector<FileSpec>& files) {
    Bytes out = stub;
    std::vector<PayloadEntry> entries(files.size() + 1);
    std::memset(entries.data(), 0xCD, entries.size() * sizeof(PayloadEntry));
    PayloadEntry& e0 = entries[0];
    e0.data_offset = 1;
    e0.unpacked_total = e0.packed_total = uint32_t(stub.size());
    std::strcpy(e0.name, "launcher.exe");
    e0.chunk_count = 1;
    e0.chunks[0] = {uint32_t(stub.size()), uint32_t(stub.size())};
    for (size_t i = 0; i < files.size(); i++) {
        PayloadEntry& e = entries[i + 1];
        const FileSpec& f = files[i];
        e.data_offset = uint32_t(out.size() + 1);
        e.unpacked_total = e.packed_total = 0;
        std::memset(e.name, 0, sizeof e.name);
        std::memcpy(e.name, f.name.data(), std::min(f.name.size(), sizeof e.name));
        if (f.place != 0) {
            MarkContinuation(&e, f.place);
        }
        e.chunk_count = f.chunk_count >= 0 ? f.chunk_count : int32_t(f.members.size());
        for (size_t k = 0; k < f.members.size(); k++) {
            uint32_t unpacked = k < f.unpacked.size() ? f.unpacked[k] : 0;
            if (k < PAYLOAD_MAX_CHUNKS) {
                e.chunks[k] = {uint32_t(f.members[k].size()), unpacked};
            }
            e.packed_total += uint32_t(f.members[k].size());
            e.unpacked_total += unpacked;
            out.insert(out.end(), f.members[k].begin(), f.members[k].end());
        }
    }
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(entries.data());
    out.insert(out.end(), raw, raw + entries.size() * sizeof(PayloadEntry));
    PutU32(out, uint32_t(entries.size()));
    return out;
}

std::vector<FileSpec> ContinuedFile(const std::string& name, size_t more, uint32_t place,
                                    uint32_t seed, Bytes* content) {
    *content = RandomBytes(PAYLOAD_MAX_CHUNKS + more, seed);
    std::vector<FileSpec> records = {FileSpec{name, {}, -1, {}}, FileSpec{"", {}, -1, {}, place}};
    for (size_t i = 0; i < content->size(); i++) {
        FileSpec& record = records[i < PAYLOAD_MAX_CHUNKS ? 0 : 1];
        record.members.push_back(StoredMember({(*content)[i]}));
        record.unpacked.push_back(1);
    }
    return records;
}

size_t RecordOffset(const Bytes& payload, uint32_t j) {
    uint32_t n;
    std::memcpy(&n, payload.data() + payload.size() - 4, 4);
    return payload.size() - 4 - size_t(n) * PAYLOAD_ENTRY_SIZE + size_t(j) * PAYLOAD_ENTRY_SIZE;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(size);
    for (auto& b : out) {
        b = uint8_t(gen());
    }
    return out;
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Touch(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    WriteFile(path, {1, 2, 3});
}

TempFolder::TempFolder() {
    static std::atomic<unsigned> serial{0};
    std::random_device rd;
    path = std::filesystem::temp_directory_path() /
           ("qelvor-test-" + std::to_string(rd()) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(path);
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

}  // namespace testpayload
