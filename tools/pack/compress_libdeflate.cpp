// The deflate engine on Linux: libdeflate, whose level 12 gives the smallest
// chunks. It compresses whole buffers only, which suits 512 KiB pieces.
#include "tools/pack/compress.h"

#include <libdeflate.h>

#include <memory>
#include <stdexcept>

namespace qpack {

/* One compressor per call: its set-up is small next to compressing 512 KiB
   at a high level, and it keeps the engine free of shared state. */
std::vector<uint8_t> RawDeflate(const uint8_t* data, size_t size, int level) {
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(level), &libdeflate_free_compressor);
    if (!compressor) {
        throw std::runtime_error("cannot set up the compressor");
    }
    std::vector<uint8_t> out(libdeflate_deflate_compress_bound(compressor.get(), size));
    size_t written = libdeflate_deflate_compress(compressor.get(), data, size, out.data(),
                                                 out.size());  // bytes of deflate data
    if (written == 0) {
        throw std::runtime_error("compression failed");
    }
    out.resize(written);
    return out;
}

/* Decoding for the inspector's diagnosis: the _ex variant reports where the
   deflate data ended, so the trailer can be found after it. */
std::optional<std::vector<uint8_t>> RawInflate(const uint8_t* data, size_t size, size_t capacity,
                                               size_t* consumed) {
    std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> decompressor(
        libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
    if (!decompressor) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(capacity);
    size_t in_used = 0;   // input bytes the deflate data took
    size_t out_used = 0;  // content bytes produced
    libdeflate_result result = libdeflate_deflate_decompress_ex(
        decompressor.get(), data, size, out.data(), out.size(), &in_used, &out_used);
    if (result != LIBDEFLATE_SUCCESS) {
        return std::nullopt;
    }
    out.resize(out_used);
    *consumed = in_used;
    return out;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
    return libdeflate_crc32(0, data, size);
}

}  // namespace qpack
