// Shared helpers of the decoder's tests: framing, zlib, corpus, decoding.
#include "testdata.h"

#include <zlib.h>

#include <random>
#include <stdexcept>

#include "inflate/inflate.h"

namespace testdata {

uint32_t Crc32(const Bytes& data) {
    return static_cast<uint32_t>(
        crc32(crc32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
}

static void PutLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

Bytes FrameMember(const Bytes& deflate, uint32_t crc, uint32_t isize) {
    Bytes m;
    m.reserve(deflate.size() + 11);
    m.push_back(0x1F);
    m.push_back(0x8B);
    m.push_back(0x08);
    m.insert(m.end(), deflate.begin(), deflate.end());
    PutLe32(m, crc);
    PutLe32(m, isize);
    return m;
}

Bytes FrameMember(const Bytes& deflate, const Bytes& content) {
    return FrameMember(deflate, Crc32(content), static_cast<uint32_t>(content.size()));
}

Bytes ZlibDeflateRaw(const Bytes& content, int level, int strategy) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    Bytes out(deflateBound(&z, static_cast<uLong>(content.size())) + 16);
    z.next_in = const_cast<Bytef*>(content.data());
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    size_t produced = out.size() - z.avail_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    out.resize(produced);
    return out;
}

std::optional<Bytes> ZlibInflateRaw(const Bytes& deflate, size_t max_output, size_t* consumed,
                                    std::string* message) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        throw std::runtime_error("inflateInit2");
    }
    Bytes out(max_output + 1);
    z.next_in = const_cast<Bytef*>(deflate.data());
    z.avail_in = static_cast<uInt>(deflate.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&z, Z_FINISH);
    size_t produced = out.size() - z.avail_out;
    if (consumed != nullptr) {
        *consumed = deflate.size() - z.avail_in;
    }
    if (message != nullptr) {
        *message = z.msg != nullptr ? z.msg : "";
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END || produced > max_output) {
        return std::nullopt;
    }
    out.resize(produced);
    return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

Bytes TextBytes(size_t n, uint32_t seed) {
    static const char* words[] = {"the",   "setup", "launcher", "unpacks",   "a",     "payload",
                                  "of",    "chunk", "members",  "into",      "its",   "workspace",
                                  "and",   "then",  "starts",   "setup.exe", "with",  "window",
                                  "bytes", "code",  "length",   "distance",  "Style", "lang"};
    std::mt19937 rng(seed);
    Bytes b;
    b.reserve(n + 16);
    while (b.size() < n) {
        const char* w = words[rng() % (sizeof(words) / sizeof(words[0]))];
        b.insert(b.end(), w, w + std::char_traits<char>::length(w));
        b.push_back(rng() % 11 == 0 ? '\n' : ' ');
    }
    b.resize(n);
    return b;
}

Bytes BinaryBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    b.reserve(n + 16);
    uint32_t counter = 0;
    while (b.size() < n) {
        // A record: a counter, a small value, a flag word, some noise.
        uint32_t fields[4] = {counter++, static_cast<uint32_t>(rng() % 100),
                              static_cast<uint32_t>(0x00010000u * (rng() % 4)),
                              rng() % 3 == 0 ? static_cast<uint32_t>(rng()) : 0u};
        for (uint32_t f : fields) {
            for (int i = 0; i < 4; i++) {
                b.push_back(static_cast<uint8_t>(f >> (8 * i)));
            }
        }
    }
    b.resize(n);
    return b;
}

Bytes RunBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    b.reserve(n + 1024);
    while (b.size() < n) {
        size_t run = 1 + rng() % (rng() % 4 == 0 ? 2000 : 40);
        b.insert(b.end(), run, static_cast<uint8_t>("\0\xFF\x20\x41"[rng() % 4]));
    }
    b.resize(n);
    return b;
}

std::vector<CorpusItem> Corpus(bool large) {
    std::vector<CorpusItem> c;
    c.push_back({"empty", {}});
    c.push_back({"one_byte", {0x61}});
    c.push_back({"text_100", TextBytes(100, 1)});
    const size_t sizes[] = {1000, 32767, 32768, 32769, 65536 + 7, 262144, 524288};
    for (size_t n : sizes) {
        if (!large && n > 70000) {
            continue;
        }
        std::string s = std::to_string(n);
        c.push_back({"random_" + s, RandomBytes(n, static_cast<uint32_t>(n))});
        c.push_back({"text_" + s, TextBytes(n, static_cast<uint32_t>(n) + 1)});
        c.push_back({"binary_" + s, BinaryBytes(n, static_cast<uint32_t>(n) + 2)});
        c.push_back({"runs_" + s, RunBytes(n, static_cast<uint32_t>(n) + 3)});
    }
    c.push_back({"zeros_100000", Bytes(100000, 0)});
    return c;
}

Decoded Decode(const Bytes& member, uint32_t capacity) {
    return Decode(member, capacity, capacity);
}

Decoded Decode(const Bytes& member, uint32_t capacity, size_t buffer_size) {
    Decoded d;
    d.output.assign(buffer_size, kFill);
    d.length = capacity;
    d.result = DecodeChunk(member.data(), static_cast<uint32_t>(member.size()), d.output.data(),
                           &d.length);
    return d;
}

}  // namespace testdata
