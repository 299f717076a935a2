// The resource section writer. It handles what the stub's linker makes: a
// 64-bit image whose resource section holds the resource tree alone and is
// followed at most by discardable sections that only the base relocation
// directory names (.reloc). Those can move, since nothing in the image
// refers to their addresses but that directory; any other layout is
// refused rather than guessed at. The rebuilt tree is laid out as resource
// compilers and linkers do: every directory table (each before its
// subdirectories), the name strings, the data entries, then each leaf's data
// on an 8-byte boundary; an unchanged tree gives the stub's bytes back.
#include "tools/pack/pe_resources.h"

#include <algorithm>
#include <map>

namespace qpack {

namespace {

constexpr size_t DOS_LFANEW = 0x3C;            // e_lfanew: offset of "PE\0\0"
constexpr size_t COFF_SECTIONS = 4 + 2;        // NumberOfSections, from the signature
constexpr size_t COFF_SYMBOL_TABLE = 4 + 8;    // PointerToSymbolTable
constexpr size_t COFF_OPTIONAL_SIZE = 4 + 16;  // SizeOfOptionalHeader
constexpr size_t OPTIONAL_HEADER = 4 + 20;     // the optional header, from the signature
constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr size_t OPT_INITIALIZED_DATA = 8;  // SizeOfInitializedData
constexpr size_t OPT_SECTION_ALIGNMENT = 32;
constexpr size_t OPT_FILE_ALIGNMENT = 36;
constexpr size_t OPT_SIZE_OF_IMAGE = 56;
constexpr size_t OPT_CHECKSUM = 64;
constexpr size_t OPT_DIRECTORY_COUNT = 108;  // NumberOfRvaAndSizes
constexpr size_t OPT_DIRECTORIES = 112;      // the data directories, 8 bytes each
constexpr size_t DIR_SECURITY = 4;           // a file offset, not an address
constexpr size_t DIR_RESOURCE = 2;
constexpr size_t DIR_BASERELOC = 5;
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr size_t SEC_VIRTUAL_SIZE = 8;
constexpr size_t SEC_VIRTUAL_ADDRESS = 12;
constexpr size_t SEC_RAW_SIZE = 16;
constexpr size_t SEC_RAW_POINTER = 20;
constexpr size_t SEC_CHARACTERISTICS = 36;
constexpr uint32_t SCN_MEM_DISCARDABLE = 0x02000000;
constexpr size_t RES_DIRECTORY_SIZE = 16;      // IMAGE_RESOURCE_DIRECTORY
constexpr size_t RES_ENTRY_SIZE = 8;           // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr size_t RES_DATA_ENTRY_SIZE = 16;     // IMAGE_RESOURCE_DATA_ENTRY
constexpr uint32_t RES_HIGH_BIT = 0x80000000;  // a name string, or a subdirectory
constexpr size_t RES_DATA_ALIGNMENT = 8;
constexpr int RES_MAX_DEPTH = 3;          // type, name, language
constexpr size_t RES_MAX_ENTRIES = 4096;  // far beyond any stub

struct Malformed {
    std::string reason;
};

uint32_t Get(const Bytes& bytes, size_t at, size_t width) {
    return GetLittleEndian<Malformed>(bytes, at, width,
                                      "the image ends inside its headers or resources");
}

void Put(Bytes& bytes, size_t at, size_t width, uint32_t value) {
    for (size_t i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// One row of the section table, with where that row sits in the file.
struct Section {
    size_t header;  // file offset of the row
    uint32_t virtual_size, virtual_address, raw_size, raw_pointer, characteristics;
};

// The headers' fields this file reads and changes.
struct Headers {
    size_t optional;  // file offset of the optional header
    uint32_t section_alignment, file_alignment, directory_count;
    std::vector<Section> sections;
};

Headers ReadHeaders(const Bytes& image) {
    if (Get(image, 0, 2) != 0x5A4D) {
        throw Malformed{"no MZ header"};
    }
    size_t pe = Get(image, DOS_LFANEW, 4);
    if (Get(image, pe, 4) != 0x00004550) {
        throw Malformed{"no PE signature"};
    }
    Headers headers;
    headers.optional = pe + OPTIONAL_HEADER;
    if (Get(image, headers.optional, 2) != PE32_PLUS_MAGIC) {
        throw Malformed{"not a 64-bit image"};
    }
    if (Get(image, pe + COFF_SYMBOL_TABLE, 4) != 0) {
        throw Malformed{"the image carries a COFF symbol table after its sections"};
    }
    headers.section_alignment = Get(image, headers.optional + OPT_SECTION_ALIGNMENT, 4);
    headers.file_alignment = Get(image, headers.optional + OPT_FILE_ALIGNMENT, 4);
    headers.directory_count = Get(image, headers.optional + OPT_DIRECTORY_COUNT, 4);
    if (headers.section_alignment == 0 || headers.file_alignment == 0 ||
        headers.directory_count <= DIR_BASERELOC) {
        throw Malformed{"implausible optional header"};
    }
    size_t table = headers.optional + Get(image, pe + COFF_OPTIONAL_SIZE, 2);
    for (uint32_t i = 0, count = Get(image, pe + COFF_SECTIONS, 2); i < count; ++i) {
        size_t row = table + i * SECTION_HEADER_SIZE;
        headers.sections.push_back(
            {row, Get(image, row + SEC_VIRTUAL_SIZE, 4), Get(image, row + SEC_VIRTUAL_ADDRESS, 4),
             Get(image, row + SEC_RAW_SIZE, 4), Get(image, row + SEC_RAW_POINTER, 4),
             Get(image, row + SEC_CHARACTERISTICS, 4)});
    }
    return headers;
}

// Address and size of data directory i.
std::pair<uint32_t, uint32_t> Directory(const Bytes& image, const Headers& headers, size_t i) {
    size_t at = headers.optional + OPT_DIRECTORIES + 8 * i;
    return {Get(image, at, 4), Get(image, at + 4, 4)};
}

// The section whose addresses hold rva, or nullptr.
const Section* SectionOf(const Headers& headers, uint32_t rva) {
    for (const Section& section : headers.sections) {
        uint32_t extent = std::max(section.virtual_size, section.raw_size);
        if (rva >= section.virtual_address && rva - section.virtual_address < extent) {
            return &section;
        }
    }
    return nullptr;
}

size_t FileOffset(const Headers& headers, uint32_t rva) {
    const Section* section = SectionOf(headers, rva);
    if (section == nullptr || rva - section->virtual_address >= section->raw_size) {
        throw Malformed{"a resource lies outside the file's sections"};
    }
    return section->raw_pointer + (rva - section->virtual_address);
}

/* Reads the directory at `offset` (from the tree's start) and everything
   below it. Offsets are relative to the tree's start, except a data
   entry's, which is an address in the image. */
void ReadDirectory(const Bytes& image, const Headers& headers, size_t base, uint32_t offset,
                   int depth, size_t* entries_seen, ResourceNode* node) {
    if (depth >= RES_MAX_DEPTH) {
        throw Malformed{"the resource tree is deeper than type, name and language"};
    }
    size_t at = base + offset;
    uint32_t count = Get(image, at + 12, 2) + Get(image, at + 14, 2);  // named + numbered
    for (uint32_t i = 0; i < count; ++i) {
        if (++*entries_seen > RES_MAX_ENTRIES) {
            throw Malformed{"too many resource entries"};
        }
        size_t entry = at + RES_DIRECTORY_SIZE + i * RES_ENTRY_SIZE;
        uint32_t name = Get(image, entry, 4);        // an id, or the offset of a name string
        uint32_t target = Get(image, entry + 4, 4);  // a subdirectory or a data entry
        ResourceNode child;
        child.named = (name & RES_HIGH_BIT) != 0;
        if (child.named) {
            size_t text = base + (name & ~RES_HIGH_BIT);
            for (uint32_t c = 0, length = Get(image, text, 2); c < length; ++c) {
                child.name.push_back(static_cast<char16_t>(Get(image, text + 2 + 2 * c, 2)));
            }
        } else {
            child.id = static_cast<uint16_t>(name);
        }
        if ((target & RES_HIGH_BIT) != 0) {
            ReadDirectory(image, headers, base, target & ~RES_HIGH_BIT, depth + 1, entries_seen,
                          &child);
        } else {
            size_t data_entry = base + target;
            uint32_t rva = Get(image, data_entry, 4);
            uint32_t size = Get(image, data_entry + 4, 4);
            size_t start = FileOffset(headers, rva);
            if (size > image.size() - std::min(start, image.size())) {
                throw Malformed{"a resource's data runs past the end of the file"};
            }
            child.leaf = true;
            child.data.assign(image.begin() + static_cast<ptrdiff_t>(start),
                              image.begin() + static_cast<ptrdiff_t>(start + size));
            child.codepage = Get(image, data_entry + 8, 4);
        }
        node->children.push_back(std::move(child));
    }
}

/* The tree as the bytes of a resource section placed at address `rva`. */
Bytes SerializeTree(const ResourceNode& root, uint32_t rva) {
    std::vector<const ResourceNode*> directories;     // each before its subdirectories
    std::vector<const ResourceNode*> pending{&root};  // to visit, the next one last
    while (!pending.empty()) {
        const ResourceNode* directory = pending.back();
        pending.pop_back();
        directories.push_back(directory);
        for (auto child = directory->children.rbegin(); child != directory->children.rend();
             ++child) {
            if (!child->leaf) {
                pending.push_back(&*child);
            }
        }
    }
    std::map<const ResourceNode*, uint32_t> offset_of;  // directory, name or leaf -> its place
    uint32_t position = 0;
    for (const ResourceNode* directory : directories) {
        offset_of[directory] = position;
        position +=
            static_cast<uint32_t>(RES_DIRECTORY_SIZE + directory->children.size() * RES_ENTRY_SIZE);
    }
    std::map<const ResourceNode*, uint32_t> name_at;  // named entry -> its string's offset
    std::vector<const ResourceNode*> leaves;
    for (const ResourceNode* directory : directories) {
        for (const ResourceNode& child : directory->children) {
            if (child.named) {
                name_at[&child] = position;
                position += static_cast<uint32_t>(2 + 2 * child.name.size());
            }
            if (child.leaf) {
                leaves.push_back(&child);
            }
        }
    }
    position = static_cast<uint32_t>(AlignUp(position, RES_DATA_ALIGNMENT));
    for (const ResourceNode* leaf : leaves) {
        offset_of[leaf] = position;
        position += RES_DATA_ENTRY_SIZE;
    }
    std::map<const ResourceNode*, uint32_t> data_at;  // leaf -> its data's offset
    for (const ResourceNode* leaf : leaves) {
        position = static_cast<uint32_t>(AlignUp(position, RES_DATA_ALIGNMENT));
        data_at[leaf] = position;
        position += static_cast<uint32_t>(leaf->data.size());
    }

    Bytes out(AlignUp(position, RES_DATA_ALIGNMENT), 0);  // the linker pads the last one too
    for (const ResourceNode* directory : directories) {
        size_t at = offset_of[directory];
        auto named = std::count_if(directory->children.begin(), directory->children.end(),
                                   [](const ResourceNode& child) { return child.named; });
        Put(out, at + 12, 2, static_cast<uint32_t>(named));
        Put(out, at + 14, 2, static_cast<uint32_t>(directory->children.size() - named));
        for (size_t i = 0; i < directory->children.size(); ++i) {
            const ResourceNode& child = directory->children[i];
            size_t entry = at + RES_DIRECTORY_SIZE + i * RES_ENTRY_SIZE;
            Put(out, entry, 4, child.named ? RES_HIGH_BIT | name_at[&child] : child.id);
            Put(out, entry + 4, 4,
                child.leaf ? offset_of[&child] : RES_HIGH_BIT | offset_of[&child]);
            if (child.named) {
                size_t text = name_at[&child];
                Put(out, text, 2, static_cast<uint32_t>(child.name.size()));
                for (size_t c = 0; c < child.name.size(); ++c) {
                    Put(out, text + 2 + 2 * c, 2, child.name[c]);
                }
            }
        }
    }
    for (const ResourceNode* leaf : leaves) {
        size_t entry = offset_of[leaf];
        Put(out, entry, 4, rva + data_at[leaf]);
        Put(out, entry + 4, 4, static_cast<uint32_t>(leaf->data.size()));
        Put(out, entry + 8, 4, leaf->codepage);
        std::copy(leaf->data.begin(), leaf->data.end(), out.begin() + data_at[leaf]);
    }
    return out;
}

// The resource section: the one whose start the resource directory names.
size_t ResourceSection(const Bytes& image, const Headers& headers) {
    auto [rva, size] = Directory(image, headers, DIR_RESOURCE);
    for (size_t i = 0; i < headers.sections.size(); ++i) {
        if (size != 0 && headers.sections[i].virtual_address == rva) {
            return i;
        }
    }
    throw Malformed{"no resource section (or the tree does not start it)"};
}

}  // namespace

std::optional<ResourceNode> ReadResources(const Bytes& image, std::string* problem) {
    try {
        Headers headers = ReadHeaders(image);
        const Section& section = headers.sections[ResourceSection(image, headers)];
        ResourceNode root;
        size_t entries_seen = 0;
        ReadDirectory(image, headers, section.raw_pointer, 0, 0, &entries_seen, &root);
        return root;
    } catch (const Malformed& malformed) {
        *problem = malformed.reason;
        return std::nullopt;
    }
}

std::optional<Bytes> WriteResources(const Bytes& image, const ResourceNode& root,
                                    std::string* problem) {
    try {
        Headers headers = ReadHeaders(image);
        size_t index = ResourceSection(image, headers);
        const Section old = headers.sections[index];
        if (Directory(image, headers, DIR_SECURITY).second != 0) {
            throw Malformed{"the image is signed"};
        }
        uint64_t old_end = old.raw_pointer + uint64_t{old.raw_size};  // in the file
        if (old_end > image.size()) {
            throw Malformed{"the resource section runs past the end of the file"};
        }
        uint32_t old_extent = static_cast<uint32_t>(
            AlignUp(std::max(old.virtual_size, old.raw_size), headers.section_alignment));
        for (size_t i = 0; i < headers.sections.size(); ++i) {
            const Section& other = headers.sections[i];
            bool after = other.virtual_address > old.virtual_address;
            if (!after && other.raw_size != 0 && other.raw_pointer >= old.raw_pointer &&
                i != index) {
                throw Malformed{"a section before the resources lies after them in the file"};
            }
            if (after && ((other.characteristics & SCN_MEM_DISCARDABLE) == 0 ||
                          (other.raw_size != 0 && other.raw_pointer < old_end))) {
                throw Malformed{"a section that cannot move follows the resources"};
            }
        }
        for (size_t i = 0; i < headers.directory_count && i < 16; ++i) {
            uint32_t rva = Directory(image, headers, i).first;
            if (i != DIR_SECURITY && i != DIR_RESOURCE && i != DIR_BASERELOC && rva != 0 &&
                rva >= old.virtual_address) {
                throw Malformed{"data directory " + std::to_string(i) +
                                " points into the resources or after them"};
            }
        }

        Bytes tree = SerializeTree(root, old.virtual_address);
        uint32_t new_raw = static_cast<uint32_t>(AlignUp(tree.size(), headers.file_alignment));
        uint32_t new_extent =
            static_cast<uint32_t>(AlignUp(tree.size(), headers.section_alignment));
        int64_t raw_delta = int64_t{new_raw} - old.raw_size;       // what follows moves by this
        int64_t virtual_delta = int64_t{new_extent} - old_extent;  // in the file and in memory

        Bytes out(image.begin(), image.begin() + old.raw_pointer);
        out.insert(out.end(), tree.begin(), tree.end());
        out.resize(old.raw_pointer + size_t{new_raw}, 0);
        out.insert(out.end(), image.begin() + static_cast<ptrdiff_t>(old_end), image.end());

        Put(out, old.header + SEC_VIRTUAL_SIZE, 4, static_cast<uint32_t>(tree.size()));
        Put(out, old.header + SEC_RAW_SIZE, 4, new_raw);
        for (const Section& other : headers.sections) {
            if (other.virtual_address > old.virtual_address) {
                Put(out, other.header + SEC_VIRTUAL_ADDRESS, 4,
                    static_cast<uint32_t>(other.virtual_address + virtual_delta));
                if (other.raw_size != 0) {
                    Put(out, other.header + SEC_RAW_POINTER, 4,
                        static_cast<uint32_t>(other.raw_pointer + raw_delta));
                }
            }
        }
        size_t optional = headers.optional;
        Put(out, optional + OPT_SIZE_OF_IMAGE, 4,
            static_cast<uint32_t>(Get(image, optional + OPT_SIZE_OF_IMAGE, 4) + virtual_delta));
        Put(out, optional + OPT_INITIALIZED_DATA, 4,
            static_cast<uint32_t>(Get(image, optional + OPT_INITIALIZED_DATA, 4) + raw_delta));
        Put(out, optional + OPT_DIRECTORIES + 8 * DIR_RESOURCE + 4, 4,
            static_cast<uint32_t>(tree.size()));
        auto [reloc, reloc_size] = Directory(image, headers, DIR_BASERELOC);
        if (reloc_size != 0 && reloc > old.virtual_address) {
            Put(out, optional + OPT_DIRECTORIES + 8 * DIR_BASERELOC, 4,
                static_cast<uint32_t>(reloc + virtual_delta));
        }
        Put(out, optional + OPT_CHECKSUM, 4, 0);
        Put(out, optional + OPT_CHECKSUM, 4, PeChecksum(out));
        return out;
    } catch (const Malformed& malformed) {
        *problem = malformed.reason;
        return std::nullopt;
    }
}

uint32_t PeChecksum(const Bytes& image) {
    size_t field = 0;  // the checksum field's offset, skipped
    try {
        field = ReadHeaders(image).optional + OPT_CHECKSUM;
    } catch (const Malformed&) {
        field = image.size();
    }
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == field || i == field + 2) {
            continue;
        }
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

}  // namespace qpack
