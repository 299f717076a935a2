// Shared helpers of the decoder's tests (and of the fuzz targets and
// benchmarks): chunk member framing, zlib and libdeflate compression and
// zlib's raw inflate as oracle, a corpus of typical inputs, and a DecodeChunk
// call with a pattern-filled output buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testdata {

using Bytes = std::vector<uint8_t>;

// CRC-32 of RFC 1952 (zlib's crc32).
uint32_t Crc32(const Bytes& data);

// 1F 8B 08, the raw deflate data, then CRC-32 and ISIZE little-endian.
Bytes FrameMember(const Bytes& deflate, uint32_t crc, uint32_t isize);
// The same with CRC-32 and ISIZE of content.
Bytes FrameMember(const Bytes& deflate, const Bytes& content);

// Raw deflate (windowBits -15) by zlib at level 0..9 with a zlib strategy
// (Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED).
Bytes ZlibDeflateRaw(const Bytes& content, int level, int strategy);
// zlib's raw inflate of deflate data; nullopt when zlib rejects it or the
// stream does not end. At most max_output bytes are produced (more: nullopt).
// consumed receives the number of deflate bytes up to the stream's end and
// message zlib's error text (empty when none).
std::optional<Bytes> ZlibInflateRaw(const Bytes& deflate, size_t max_output,
                                    size_t* consumed = nullptr, std::string* message = nullptr);
// Raw deflate by libdeflate at level 0..12. Native builds only
// (testdata_libdeflate.cpp, linked with libdeflate).
Bytes LibdeflateDeflateRaw(const Bytes& content, int level);

// Reproducible inputs.
Bytes RandomBytes(size_t n, uint32_t seed);
Bytes TextBytes(size_t n, uint32_t seed);    // words and lines
Bytes BinaryBytes(size_t n, uint32_t seed);  // structured records, small ints
Bytes RunBytes(size_t n, uint32_t seed);     // long runs of a few values

struct CorpusItem {
    std::string name;
    Bytes content;
};
// Empty input, tiny ones, and each kind at sizes around 32,768 and up to
// 524,288 bytes; large = false leaves out those above 70,000 bytes.
std::vector<CorpusItem> Corpus(bool large = true);

// The filler of output buffers, so that "untouched" can be checked.
constexpr uint8_t kFill = 0xA5;

struct Decoded {
    int result;       // DecodeChunk's result
    uint32_t length;  // output length afterwards
    Bytes output;     // the whole output buffer (capacity bytes)
};
// Calls DecodeChunk with an output buffer of buffer_size bytes filled with
// kFill and *output_length = capacity (normally capacity = buffer_size).
Decoded Decode(const Bytes& member, uint32_t capacity);
Decoded Decode(const Bytes& member, uint32_t capacity, size_t buffer_size);

}  // namespace testdata
