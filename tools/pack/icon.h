// The vendor's icon: an .ico file read and checked, and its images given
// to the stub's icon groups. Every group the launcher's shell and dialog
// use lists all of the file's images, so Windows picks the size it needs
// from the vendor's set; the stub's own images go with the groups.
#pragma once

#include "tools/pack/pe_resources.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qpack {

inline constexpr uint16_t RT_ICON_TYPE = 3;         // RT_ICON: one image
inline constexpr uint16_t RT_GROUP_ICON_TYPE = 14;  // RT_GROUP_ICON: a directory of images
inline constexpr uint16_t SHELL_ICON_GROUP = 132;   // the file's icon in Explorer
inline constexpr uint16_t DIALOG_ICON_GROUP = 134;  // the progress dialog's icon

// One image of an icon, with the directory fields its group lists, taken
// from the image itself rather than from the .ico's directory.
struct IconImage {
    uint8_t width = 0, height = 0;  // 0 stands for 256
    uint8_t colours = 0;            // palette entries below 8 bits per pixel, else 0
    uint16_t planes = 1, bits = 0;  // colour planes, bits per pixel
    Bytes data;                     // a packed DIB (BITMAPINFOHEADER first) or a PNG file
};

using IconImages = std::vector<IconImage>;  // in the .ico's order; empty: no icon given

// The images of an .ico file's bytes, or nothing with the reason: cut
// short, not an icon, no images, an image past the file's end or inside
// the directory, an image that is neither a BMP nor a PNG, or whose size
// disagrees with its directory entry.
std::optional<IconImages> ParseIcon(const Bytes& file, std::string* problem);

// The same, read from a file.
std::optional<IconImages> ReadIconFile(const std::filesystem::path& path, std::string* problem);

// Gives every language copy of icon groups 132 and 134 the images, each
// stored once as a new RT_ICON resource; the RT_ICON resources no group
// lists any more are removed, and the new ones take ids that no remaining
// one has. False, with a reason, when the tree lacks one of the groups or
// holds a damaged group.
bool ReplaceIcons(ResourceNode* root, const IconImages& images, std::string* problem);

}  // namespace qpack
