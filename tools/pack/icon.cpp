// The vendor's .ico file and the stub's icon groups. An .ico file is an
// ICONDIR (reserved 0, type 1, image count), one 16-byte ICONDIRENTRY per
// image (width, height, colours, reserved, planes, bits per pixel, the
// image's length and its offset in the file), then the images: packed DIBs
// (a BITMAPINFOHEADER whose height counts the colour and the mask rows,
// the palette, the colour bitmap, the 1-bit mask) or PNG files. A group
// resource (GRPICONDIR) is the same directory with 14-byte records whose
// last field is an RT_ICON id instead of an offset.
//
// A group's records are filled from each image's own header (planes and
// bits per pixel, which many tools leave 0 in the file's directory); the
// file's width and height must agree with it. Images are checked as far as
// a group and a loader rely on them (header, size, the length of an
// uncompressed DIB's bitmaps), not decoded: a PNG with damaged pixel data
// enters the launcher as it came.
#include "tools/pack/icon.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

namespace qpack {

namespace {

constexpr size_t ICONDIR_SIZE = 6;              // idReserved, idType, idCount
constexpr size_t ICONDIRENTRY_SIZE = 16;        // a record of the .ico file
constexpr size_t GRPICONDIRENTRY_SIZE = 14;     // a record of a group resource
constexpr uint32_t ICON_TYPE = 1;               // idType of icons (cursors have 2)
constexpr size_t ENTRY_BYTES = 8;               // dwBytesInRes
constexpr size_t ENTRY_OFFSET = 12;             // dwImageOffset; a group's nId sits here
constexpr uint32_t LARGEST_SIDE = 256;          // written as 0 in a directory's byte
constexpr uint32_t BITMAPINFOHEADER_SIZE = 40;  // biSize
constexpr size_t BMP_WIDTH = 4, BMP_HEIGHT = 8, BMP_PLANES = 12, BMP_BITS = 14;
constexpr size_t BMP_COMPRESSION = 16, BMP_CLR_USED = 32;
constexpr uint32_t BI_RGB = 0;  // uncompressed bitmaps
constexpr uint8_t PNG_SIGNATURE[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t PNG_IHDR_LENGTH = 13;
constexpr uint32_t PNG_IHDR_TYPE = 0x49484452;               // "IHDR", read big-endian
constexpr size_t PNG_CHUNK_LENGTH = 8, PNG_CHUNK_TYPE = 12;  // the first chunk, IHDR
constexpr size_t IHDR_WIDTH = 16, IHDR_HEIGHT = 20, IHDR_DEPTH = 24, IHDR_COLOUR = 25;
constexpr size_t PNG_HEADER_END = 16 + PNG_IHDR_LENGTH;  // signature, IHDR's length, type, data
constexpr uint16_t LANG_NEUTRAL = 0;                     // the images' language, as the stub's own
constexpr uint32_t LAST_RESOURCE_ID = 0xFFFF;

// Channels per pixel of each PNG colour type (grey, RGB, palette, grey
// with alpha, RGBA); their product with the bit depth is the bits per pixel.
constexpr std::pair<uint8_t, uint16_t> PNG_CHANNELS[] = {{0, 1}, {2, 3}, {3, 1}, {4, 2}, {6, 4}};
// Bits per pixel an icon's BITMAPINFOHEADER may give.
constexpr uint16_t BMP_DEPTHS[] = {1, 4, 8, 16, 24, 32};

struct BadIcon {
    std::string reason;
};

uint32_t Get(const Bytes& bytes, size_t at, size_t width) {
    return GetLittleEndian<BadIcon>(bytes, at, width, "the icon is cut short");
}

uint32_t GetBigEndian(const Bytes& bytes, size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

std::string Number(uint64_t value) {
    return std::to_string(value);
}

std::string Size(int64_t width, int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

uint64_t RowBytes(uint64_t bits) {
    return (bits + 31) / 32 * 4;  // rows are padded to 4 bytes
}

// What an image's own header says.
struct ImageHeader {
    int64_t width = 0, height = 0;  // in pixels
    uint16_t planes = 1, bits = 0;
    std::string shown;  // the header's size as a message shows it
};

bool IsPng(const Bytes& data) {
    return data.size() >= sizeof PNG_SIGNATURE &&
           std::equal(std::begin(PNG_SIGNATURE), std::end(PNG_SIGNATURE), data.begin());
}

bool IsDib(const Bytes& data) {
    return data.size() >= 4 && Get(data, 0, 4) == BITMAPINFOHEADER_SIZE;
}

/* A PNG image's IHDR, the first chunk after the signature. */
ImageHeader ReadPng(const Bytes& data, const std::string& name) {
    if (data.size() < PNG_HEADER_END || GetBigEndian(data, PNG_CHUNK_LENGTH) != PNG_IHDR_LENGTH ||
        GetBigEndian(data, PNG_CHUNK_TYPE) != PNG_IHDR_TYPE) {
        throw BadIcon{name + " is a PNG image without its header (IHDR) after the signature"};
    }
    const auto* channels =
        std::find_if(std::begin(PNG_CHANNELS), std::end(PNG_CHANNELS),
                     [&](const auto& type) { return type.first == data[IHDR_COLOUR]; });
    if (channels == std::end(PNG_CHANNELS)) {
        throw BadIcon{name + " is a PNG image of colour type " + Number(data[IHDR_COLOUR]) +
                      ", which PNG does not define"};
    }
    ImageHeader header;
    header.width = GetBigEndian(data, IHDR_WIDTH);
    header.height = GetBigEndian(data, IHDR_HEIGHT);
    header.bits = static_cast<uint16_t>(data[IHDR_DEPTH] * channels->second);
    header.shown = Size(header.width, header.height) + " in its PNG header";
    return header;
}

/* A packed DIB's BITMAPINFOHEADER; its height counts the mask's rows too,
   and an uncompressed one must hold its palette and both bitmaps. */
ImageHeader ReadDib(const Bytes& data, const std::string& name) {
    if (data.size() < BITMAPINFOHEADER_SIZE) {
        throw BadIcon{name + " is " + Number(data.size()) +
                      " bytes, too short for its BITMAPINFOHEADER (40)"};
    }
    ImageHeader header;
    header.width = static_cast<int32_t>(Get(data, BMP_WIDTH, 4));
    int64_t rows = static_cast<int32_t>(Get(data, BMP_HEIGHT, 4));  // colour and mask
    header.height = rows / 2;
    header.planes = static_cast<uint16_t>(Get(data, BMP_PLANES, 2));
    header.bits = static_cast<uint16_t>(Get(data, BMP_BITS, 2));
    header.shown = Size(header.width, header.height) + " in its BITMAPINFOHEADER (biWidth " +
                   std::to_string(header.width) + ", biHeight " + std::to_string(rows) + ")";
    if (rows % 2 != 0) {
        header.height = -1;  // no height agrees with half an odd row count
    }
    if (header.planes != 1 || std::find(std::begin(BMP_DEPTHS), std::end(BMP_DEPTHS),
                                        header.bits) == std::end(BMP_DEPTHS)) {
        throw BadIcon{name + "'s BITMAPINFOHEADER gives biPlanes " + Number(header.planes) +
                      " and biBitCount " + Number(header.bits) +
                      ", not 1 and one of 1, 4, 8, 16, 24, 32"};
    }
    return header;
}

/* Image `index` of the file: where its record says it lies, what its own
   header says it is, and that both agree on its size. */
IconImage ReadImage(const Bytes& file, uint32_t index, uint32_t count, size_t directory_end) {
    size_t entry = ICONDIR_SIZE + index * ICONDIRENTRY_SIZE;
    std::string name = "image " + Number(index + 1) + " of " + Number(count);
    uint64_t offset = Get(file, entry + ENTRY_OFFSET, 4);
    uint64_t length = Get(file, entry + ENTRY_BYTES, 4);
    if (offset + length > file.size()) {
        throw BadIcon{name + " (bytes " + Number(offset) + " to " + Number(offset + length) +
                      ") runs past the file's end at " + Number(file.size())};
    }
    if (offset < directory_end) {
        throw BadIcon{name + " starts at byte " + Number(offset) +
                      ", inside the directory, which ends at " + Number(directory_end)};
    }
    IconImage image;
    image.data.assign(file.begin() + static_cast<ptrdiff_t>(offset),
                      file.begin() + static_cast<ptrdiff_t>(offset + length));
    bool png = IsPng(image.data);
    if (!png && !IsDib(image.data)) {
        throw BadIcon{name + " is neither a BMP image (a BITMAPINFOHEADER) nor a PNG image"};
    }
    ImageHeader header = png ? ReadPng(image.data, name) : ReadDib(image.data, name);
    int64_t width = file[entry] == 0 ? LARGEST_SIDE : file[entry];
    int64_t height = file[entry + 1] == 0 ? LARGEST_SIDE : file[entry + 1];
    if (header.width != width || header.height != height) {
        throw BadIcon{name + " is " + Size(width, height) + " in the directory but " +
                      header.shown};
    }
    if (!png && Get(image.data, BMP_COMPRESSION, 4) == BI_RGB) {
        uint64_t palette = Get(image.data, BMP_CLR_USED, 4);  // entries, 4 bytes each
        if (palette == 0 && header.bits <= 8) {
            palette = uint64_t{1} << header.bits;
        }
        uint64_t needed =
            BITMAPINFOHEADER_SIZE + 4 * palette +
            static_cast<uint64_t>(height) * (RowBytes(static_cast<uint64_t>(width) * header.bits) +
                                             RowBytes(static_cast<uint64_t>(width)));
        if (length < needed) {
            throw BadIcon{name + " holds " + Number(length) +
                          " bytes, but its header, palette and bitmaps take " + Number(needed)};
        }
    }
    image.width = static_cast<uint8_t>(width % LARGEST_SIDE);
    image.height = static_cast<uint8_t>(height % LARGEST_SIDE);
    image.planes = header.planes;
    image.bits = header.bits;
    image.colours = static_cast<uint8_t>(header.bits < 8 ? 1u << header.bits : 0);
    return image;
}

/* The numbered entry `id` of a directory, or nullptr. */
ResourceNode* Child(ResourceNode* directory, uint16_t id) {
    auto found =
        std::find_if(directory->children.begin(), directory->children.end(),
                     [&](const ResourceNode& child) { return !child.named && child.id == id; });
    return found == directory->children.end() ? nullptr : &*found;
}

/* Adds a numbered entry where Windows' binary search expects it: after the
   named ones, among the numbers in rising order. */
ResourceNode& InsertById(ResourceNode* directory, ResourceNode child) {
    auto place = std::find_if(
        directory->children.begin(), directory->children.end(),
        [&](const ResourceNode& other) { return !other.named && other.id > child.id; });
    return *directory->children.insert(place, std::move(child));
}

/* The RT_ICON ids a group resource lists. */
void ListedIds(const Bytes& group, uint16_t group_id, std::set<uint16_t>* ids) {
    const std::string damaged = "the stub's icon group " + Number(group_id) + " is damaged";
    if (group.size() < ICONDIR_SIZE) {
        throw BadIcon{damaged};
    }
    size_t count = Get(group, 4, 2);
    if (group.size() < ICONDIR_SIZE + count * GRPICONDIRENTRY_SIZE) {
        throw BadIcon{damaged};
    }
    for (size_t i = 0; i < count; ++i) {
        ids->insert(static_cast<uint16_t>(
            Get(group, ICONDIR_SIZE + i * GRPICONDIRENTRY_SIZE + ENTRY_OFFSET, 2)));
    }
}

/* A group resource listing the images under the given ids. */
Bytes GroupDirectory(const IconImages& images, const std::vector<uint16_t>& ids) {
    Bytes out{0,
              0,
              ICON_TYPE,
              0,
              static_cast<uint8_t>(images.size()),
              static_cast<uint8_t>(images.size() >> 8)};
    for (size_t i = 0; i < images.size(); ++i) {
        const IconImage& image = images[i];
        uint32_t length = static_cast<uint32_t>(image.data.size());
        Bytes record{image.width,
                     image.height,
                     image.colours,
                     0,
                     static_cast<uint8_t>(image.planes),
                     static_cast<uint8_t>(image.planes >> 8),
                     static_cast<uint8_t>(image.bits),
                     static_cast<uint8_t>(image.bits >> 8),
                     static_cast<uint8_t>(length),
                     static_cast<uint8_t>(length >> 8),
                     static_cast<uint8_t>(length >> 16),
                     static_cast<uint8_t>(length >> 24),
                     static_cast<uint8_t>(ids[i]),
                     static_cast<uint8_t>(ids[i] >> 8)};
        out.insert(out.end(), record.begin(), record.end());
    }
    return out;
}

}  // namespace

std::optional<IconImages> ParseIcon(const Bytes& file, std::string* problem) {
    try {
        if (file.size() < ICONDIR_SIZE) {
            throw BadIcon{"cut short: " + Number(file.size()) +
                          " bytes, where an icon file's header takes 6"};
        }
        uint32_t reserved = Get(file, 0, 2), type = Get(file, 2, 2), count = Get(file, 4, 2);
        if (reserved != 0 || type != ICON_TYPE) {
            throw BadIcon{"not an icon file: its header's reserved and type fields are " +
                          Number(reserved) + " and " + Number(type) + ", not 0 and 1"};
        }
        if (count == 0) {
            throw BadIcon{"no images: its header's count is 0"};
        }
        size_t directory_end = ICONDIR_SIZE + count * ICONDIRENTRY_SIZE;
        if (file.size() < directory_end) {
            throw BadIcon{"cut short: its directory of " + Number(count) + " images takes " +
                          Number(directory_end) + " bytes, the file has " + Number(file.size())};
        }
        IconImages images;
        for (uint32_t i = 0; i < count; ++i) {
            images.push_back(ReadImage(file, i, count, directory_end));
        }
        return images;
    } catch (const BadIcon& bad) {
        *problem = bad.reason;
        return std::nullopt;
    }
}

std::optional<IconImages> ReadIconFile(const std::filesystem::path& path, std::string* problem) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        *problem = "cannot read it";
        return std::nullopt;
    }
    return ParseIcon(bytes, problem);
}

bool ReplaceIcons(ResourceNode* root, const IconImages& images, std::string* problem) {
    try {
        if (Child(root, RT_ICON_TYPE) == nullptr) {
            ResourceNode type;  // first, while no pointer into the tree is held
            type.id = RT_ICON_TYPE;
            InsertById(root, std::move(type));
        }
        ResourceNode* icons = Child(root, RT_ICON_TYPE);
        ResourceNode* groups = Child(root, RT_GROUP_ICON_TYPE);
        if (icons->leaf) {
            throw BadIcon{"the stub's RT_ICON entry is data, not a directory"};
        }
        std::vector<ResourceNode*> copies;  // every language copy of groups 132 and 134
        for (uint16_t group : {SHELL_ICON_GROUP, DIALOG_ICON_GROUP}) {
            ResourceNode* name = groups != nullptr ? Child(groups, group) : nullptr;
            size_t before = copies.size();
            for (size_t i = 0; name != nullptr && i < name->children.size(); ++i) {
                if (name->children[i].leaf) {
                    copies.push_back(&name->children[i]);
                }
            }
            if (copies.size() == before) {
                throw BadIcon{"the stub has no icon group " + Number(group) + " to give the icon"};
            }
        }
        std::set<uint16_t> kept;  // images that the other groups still list
        for (ResourceNode& name : groups->children) {
            if (name.named || (name.id != SHELL_ICON_GROUP && name.id != DIALOG_ICON_GROUP)) {
                for (const ResourceNode& language : name.children) {
                    if (language.leaf) {
                        ListedIds(language.data, name.id, &kept);
                    }
                }
            }
        }
        std::erase_if(icons->children, [&](const ResourceNode& icon) {
            return icon.named || !kept.contains(icon.id);
        });
        std::vector<uint16_t> ids;  // the new images' ids, free ones from 1 up
        for (uint32_t id = 1; ids.size() < images.size(); ++id) {
            if (id > LAST_RESOURCE_ID) {
                throw BadIcon{"no RT_ICON ids are left for " + Number(images.size()) + " images"};
            }
            if (!kept.contains(static_cast<uint16_t>(id))) {
                ids.push_back(static_cast<uint16_t>(id));
            }
        }
        Bytes directory = GroupDirectory(images, ids);
        for (ResourceNode* copy : copies) {
            copy->data = directory;
        }
        for (size_t i = 0; i < images.size(); ++i) {
            ResourceNode language;
            language.leaf = true;
            language.id = LANG_NEUTRAL;
            language.data = images[i].data;
            ResourceNode icon;
            icon.id = ids[i];
            icon.children.push_back(std::move(language));
            InsertById(icons, std::move(icon));
        }
        return true;
    } catch (const BadIcon& bad) {
        *problem = bad.reason;
        return false;
    }
}

}  // namespace qpack
