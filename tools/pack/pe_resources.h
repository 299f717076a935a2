// Reading and rewriting the resource section of a 64-bit PE image, enough
// to give a launcher its own version resource and icon. The tree is written
// in the order it is given: as the resource compiler wrote it, with
// whatever entries a caller added where Windows' binary search expects
// them (named entries first, then ids rising), so the writer reproduces no
// sorting rule of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qpack {

using Bytes = std::vector<uint8_t>;

// The little-endian value of the width bytes (at most 4) at `at`; throws
// Fault{reason} when they run past the end of bytes.
template <typename Fault>
uint32_t GetLittleEndian(const Bytes& bytes, size_t at, size_t width, const char* reason) {
    if (at > bytes.size() || bytes.size() - at < width) {
        throw Fault{reason};
    }
    uint32_t value = 0;
    for (size_t i = width; i-- > 0;) {
        value = value << 8 | bytes[at + i];
    }
    return value;
}

inline constexpr uint16_t RT_VERSION_TYPE = 16;  // RT_VERSION

// One entry of a resource directory: a subdirectory, or a leaf with data.
struct ResourceNode {
    bool named = false;                  // the entry is identified by a name string
    uint16_t id = 0;                     // its number when not named
    std::u16string name;                 // its name when named
    std::vector<ResourceNode> children;  // the subdirectory's entries, in file order
    bool leaf = false;                   // a data entry rather than a subdirectory
    Bytes data;                          // the leaf's bytes
    uint32_t codepage = 0;               // the leaf's code page field, kept as found
};

// The resource tree of a PE image, or the reason it cannot be read (not a
// 64-bit PE, no resource directory, a damaged tree).
std::optional<ResourceNode> ReadResources(const Bytes& image, std::string* problem);

// The image with its resource section rebuilt from `root`: the section
// grows or shrinks, the sections after it (only the base relocations may
// follow) move, and the section table, SizeOfImage, the resource and
// relocation directories and the checksum are set again. Nothing, with a
// reason, when the layout does not allow that.
std::optional<Bytes> WriteResources(const Bytes& image, const ResourceNode& root,
                                    std::string* problem);

// The PE checksum of an image: 16-bit sums with the carry folded back,
// skipping the checksum field itself, plus the file's length.
uint32_t PeChecksum(const Bytes& image);

}  // namespace qpack
