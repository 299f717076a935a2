// Chunk members as the packer writes them: one piece of content compressed
// into 1F 8B 08, raw deflate data, CRC-32 and ISIZE. The deflate engine is
// libdeflate on both systems (the same release, so the same bytes); it sits
// behind the three calls at the bottom, so the framing is written in one
// place only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qpack {

inline constexpr int LEVEL_STORED = 0;    // stored blocks only, no compression
inline constexpr int LEVEL_DEFAULT = 12;  // the smallest output libdeflate makes
inline constexpr int LEVEL_MAX = 12;

// Frames `size` bytes of content as one chunk member compressed at `level`
// (0 to 12). Deterministic: the same content and level give the same bytes.
std::vector<uint8_t> BuildMember(const uint8_t* data, size_t size, int level);

// Raw deflate data of the content in stored blocks (level 0).
std::vector<uint8_t> StoredDeflate(const uint8_t* data, size_t size);

// Engine: raw deflate (RFC 1951, no zlib or gzip wrapper) at level 1 to 12.
std::vector<uint8_t> RawDeflate(const uint8_t* data, size_t size, int level);

// Engine: decodes raw deflate data into at most `capacity` bytes. Returns the
// content and sets *consumed to the number of input bytes that the deflate
// data took, or nothing when the data does not decode within the capacity.
std::optional<std::vector<uint8_t>> RawInflate(const uint8_t* data, size_t size, size_t capacity,
                                               size_t* consumed);

// Engine: the CRC-32 of RFC 1952 over the content.
uint32_t Crc32(const uint8_t* data, size_t size);

}  // namespace qpack
