// libdeflate's raw deflate for the differential tests (native builds only).
#include <libdeflate.h>

#include <stdexcept>

#include "testdata.h"

namespace testdata {

Bytes LibdeflateDeflateRaw(const Bytes& content, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (c == nullptr) {
        throw std::runtime_error("libdeflate_alloc_compressor");
    }
    Bytes out(libdeflate_deflate_compress_bound(c, content.size()) + 16);
    size_t n =
        libdeflate_deflate_compress(c, content.data(), content.size(), out.data(), out.size());
    libdeflate_free_compressor(c);
    if (n == 0) {
        throw std::runtime_error("libdeflate_deflate_compress");
    }
    out.resize(n);
    return out;
}

}  // namespace testdata
