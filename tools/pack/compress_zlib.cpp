// The deflate engine on Windows, where libdeflate is not at hand: zlib with a
// raw stream (window bits -15). zlib stops at level 9, so levels 10 to 12
// give level 9's output; level 0 never reaches this file.
#include "tools/pack/compress.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace qpack {

namespace {

constexpr int RAW_WINDOW_BITS = -15;  // 32 KiB window, no zlib header or trailer
constexpr int MEMORY_LEVEL = 9;       // zlib's largest hash tables, for the best match search
constexpr int ZLIB_MAX_LEVEL = 9;

}  // namespace

/* Whole-buffer compression in one deflate call with Z_FINISH; the bound
   makes the output buffer large enough for that single call. */
std::vector<uint8_t> RawDeflate(const uint8_t* data, size_t size, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, std::min(level, ZLIB_MAX_LEVEL), Z_DEFLATED, RAW_WINDOW_BITS,
                     MEMORY_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("cannot set up the compressor");
    }
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(size)));
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&stream, Z_FINISH);  // Z_STREAM_END when everything is out
    size_t written = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("compression failed");
    }
    out.resize(written);
    return out;
}

/* Decoding for the inspector's diagnosis; total_in tells where the deflate
   data ended. Content beyond the capacity counts as not decoding. */
std::optional<std::vector<uint8_t>> RawInflate(const uint8_t* data, size_t size, size_t capacity,
                                               size_t* consumed) {
    z_stream stream{};
    if (inflateInit2(&stream, RAW_WINDOW_BITS) != Z_OK) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(capacity);
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int result = inflate(&stream, Z_FINISH);
    size_t in_used = stream.total_in;
    size_t out_used = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        return std::nullopt;
    }
    out.resize(out_used);
    *consumed = in_used;
    return out;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

}  // namespace qpack
