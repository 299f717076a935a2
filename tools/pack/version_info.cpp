// The version resource as a tree of blocks (VS_VERSIONINFO, StringFileInfo,
// the string tables, their strings, VarFileInfo), read, changed and written
// back whole. Each block is a 16-bit length, the value's length, a type
// (1 text, 0 binary), a NUL-terminated UTF-16 key, padding to 4 bytes, the
// value, then its children, each starting on a 4-byte boundary; a text
// value's length counts UTF-16 units with the terminator, a binary one's
// counts bytes. The 16-bit lengths are what limit the strings: the whole
// resource must stay within 65535 bytes.
#include "tools/pack/version_info.h"

#include <algorithm>
#include <charconv>

namespace qpack {

namespace {

constexpr uint32_t FIXED_SIGNATURE = 0xFEEF04BD;  // VS_FIXEDFILEINFO.dwSignature
constexpr size_t FIXED_SIZE = 52;                 // sizeof(VS_FIXEDFILEINFO)
constexpr size_t FIXED_FILE_VERSION = 8;          // dwFileVersionMS, then LS
constexpr size_t FIXED_PRODUCT_VERSION = 16;      // dwProductVersionMS, then LS
constexpr size_t FIXED_FILE_FLAGS = 28;           // dwFileFlags
constexpr uint32_t VS_FF_PRIVATEBUILD = 0x08;     // PrivateBuild is meaningful
constexpr uint32_t VS_FF_SPECIALBUILD = 0x20;     // SpecialBuild is meaningful
constexpr size_t MAX_BLOCK_BYTES = 0xFFFF;        // wLength is 16 bits
constexpr uint16_t TYPE_TEXT = 1;
constexpr size_t BLOCK_HEADER = 6;               // wLength, wValueLength, wType
constexpr unsigned char UTF8_LEAD_LIMIT = 0xF8;  // lead bytes from here on start no character
constexpr uint32_t UTF8_SHORTEST[] = {0, 0x80, 0x800, 0x10000};  // least code per trail count
constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;
constexpr uint32_t FIRST_SURROGATE = 0xD800;  // UTF-16's own units, no characters
constexpr uint32_t LAST_SURROGATE = 0xDFFF;

// One block of the resource.
struct Block {
    std::u16string key;
    uint16_t type = 0;  // TYPE_TEXT or binary
    Bytes value;        // the value's bytes, a text's terminator included
    std::vector<Block> children;
};

struct BadResource {
    std::string reason;
};

uint32_t Get(const Bytes& bytes, size_t at, size_t width) {
    return GetLittleEndian<BadResource>(bytes, at, width, "the version resource is cut short");
}

size_t Align4(size_t value) {
    return (value + 3) & ~size_t{3};
}

/* The block at `at`, which ends before `limit`. */
Block ParseBlock(const Bytes& data, size_t at, size_t limit) {
    size_t length = Get(data, at, 2);
    size_t value_length = Get(data, at + 2, 2);
    Block block;
    block.type = static_cast<uint16_t>(Get(data, at + 4, 2));
    if (length < BLOCK_HEADER || at + length > limit) {
        throw BadResource{"a version block's length is out of bounds"};
    }
    size_t end = at + length;
    size_t p = at + BLOCK_HEADER;
    for (uint32_t c; (c = Get(data, p, 2)) != 0; p += 2) {
        block.key.push_back(static_cast<char16_t>(c));
    }
    p = Align4(p + 2);
    size_t value_bytes = block.type == TYPE_TEXT ? 2 * value_length : value_length;
    if (p + value_bytes > end) {
        throw BadResource{"a version block's value runs past the block"};
    }
    block.value.assign(data.begin() + static_cast<ptrdiff_t>(p),
                       data.begin() + static_cast<ptrdiff_t>(p + value_bytes));
    for (p = Align4(p + value_bytes); p < end; p = Align4(p + Get(data, p, 2))) {
        block.children.push_back(ParseBlock(data, p, end));
    }
    return block;
}

void PutU16(Bytes& out, size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

/* The block's bytes, without padding after its last child; throws when a
   length does not fit its 16-bit field. */
Bytes SerializeBlock(const Block& block) {
    Bytes out(BLOCK_HEADER, 0);
    for (char16_t c : block.key) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.resize(Align4(out.size() + 2), 0);
    out.insert(out.end(), block.value.begin(), block.value.end());
    for (const Block& child : block.children) {
        out.resize(Align4(out.size()), 0);
        Bytes bytes = SerializeBlock(child);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    if (out.size() > MAX_BLOCK_BYTES) {
        throw BadResource{"the version resource would be " + std::to_string(out.size()) +
                          " bytes, more than its 16-bit length allows (65535)"};
    }
    PutU16(out, 0, out.size());
    PutU16(out, 2, block.type == TYPE_TEXT ? block.value.size() / 2 : block.value.size());
    PutU16(out, 4, block.type);
    return out;
}

/* The UTF-16 units of a text in UTF-8; throws naming the field when the
   text is not valid UTF-8: a stray trail byte, a lead byte F8 to FF, a
   sequence cut short, a character in more bytes than it needs (C0 AF for
   '/'), a surrogate, or a code point above U+10FFFF. UTF-16 has no units
   for the last two, and the others would carry some other character. */
std::u16string Utf16(const std::string& utf8, const std::string& field) {
    const BadResource invalid{"version string " + field + " is not valid UTF-8"};
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        if ((lead >= 0x80 && lead < 0xC0) || lead >= UTF8_LEAD_LIMIT) {
            throw invalid;
        }
        size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;  // trail bytes
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= utf8.size() || (static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
                throw invalid;
            }
            code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        if (code < UTF8_SHORTEST[extra] || code > MAX_CODE_POINT ||
            (code >= FIRST_SURROGATE && code <= LAST_SURROGATE)) {
            throw invalid;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 | code >> 10));
            out.push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

Bytes TextValue(const std::u16string& text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::string QuadText(const VersionQuad& quad) {
    return std::to_string(quad[0]) + "." + std::to_string(quad[1]) + "." + std::to_string(quad[2]) +
           "." + std::to_string(quad[3]);
}

void PutU32(Bytes& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutQuad(Bytes& fixed, size_t at, const VersionQuad& quad) {
    PutU32(fixed, at, uint32_t{quad[0]} << 16 | quad[1]);
    PutU32(fixed, at + 4, uint32_t{quad[2]} << 16 | quad[3]);
}

/* Sets NAME to VALUE in one string table, in place or appended. */
void SetString(Block& table, const std::u16string& name, const std::u16string& value) {
    auto found = std::find_if(table.children.begin(), table.children.end(),
                              [&](const Block& string) { return string.key == name; });
    Block* string = found != table.children.end() ? &*found : &table.children.emplace_back();
    string->key = name;
    string->type = TYPE_TEXT;
    string->value = TextValue(value);
    string->children.clear();
}

/* One language's resource, stamped: the fixed part, then every string
   table of StringFileInfo (one per language and code page). */
Bytes StampOne(const Bytes& data, const VersionStamp& stamp) {
    Block root = ParseBlock(data, 0, data.size());
    if (root.value.size() != FIXED_SIZE || Get(root.value, 0, 4) != FIXED_SIGNATURE) {
        throw BadResource{"the version resource has no fixed part"};
    }
    std::vector<std::pair<std::u16string, std::u16string>> strings;  // what every table gets
    if (stamp.file_version) {
        PutQuad(root.value, FIXED_FILE_VERSION, *stamp.file_version);
        strings.emplace_back(u"FileVersion", Utf16(QuadText(*stamp.file_version), "FileVersion"));
    }
    if (stamp.product_version) {
        PutQuad(root.value, FIXED_PRODUCT_VERSION, *stamp.product_version);
        strings.emplace_back(u"ProductVersion",
                             Utf16(QuadText(*stamp.product_version), "ProductVersion"));
    }
    uint32_t flags = Get(root.value, FIXED_FILE_FLAGS, 4);
    for (const auto& [name, value] : stamp.strings) {
        if (name == "FileVersion" || name == "ProductVersion") {
            continue;  // already given by the fixed versions, which AddVersionString set
        }
        flags |= name == "PrivateBuild"   ? VS_FF_PRIVATEBUILD
                 : name == "SpecialBuild" ? VS_FF_SPECIALBUILD
                                          : 0;
        strings.emplace_back(Utf16(name, name), Utf16(value, name));
    }
    PutU32(root.value, FIXED_FILE_FLAGS, flags);
    bool tables = false;  // whether any string table was found
    for (Block& info : root.children) {
        if (info.key != u"StringFileInfo") {
            continue;
        }
        for (Block& table : info.children) {
            tables = true;
            for (const auto& [name, value] : strings) {
                SetString(table, name, value);
            }
        }
    }
    if (!tables && !strings.empty()) {
        throw BadResource{"the version resource has no string table"};
    }
    return SerializeBlock(root);
}

}  // namespace

const std::vector<std::string> STANDARD_VERSION_NAMES = {
    "Comments",     "CompanyName",    "FileDescription", "FileVersion",
    "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
    "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild"};

std::optional<VersionQuad> ParseVersionQuad(const std::string& text) {
    VersionQuad quad{};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (size_t i = 0; i < quad.size(); ++i) {
        if (i > 0 && (p == end || *p++ != '.')) {
            return std::nullopt;
        }
        if (p == end || *p < '0' || *p > '9') {
            return std::nullopt;  // from_chars would accept no sign, but be plain about it
        }
        auto [next, error] = std::from_chars(p, end, quad[i]);
        if (error != std::errc()) {
            return std::nullopt;
        }
        p = next;
    }
    if (p != end) {
        return std::nullopt;
    }
    return quad;
}

std::optional<std::string> AddVersionString(const std::string& assignment, VersionStamp* stamp) {
    size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
        return "--version-string wants NAME=VALUE, not '" + assignment + "'";
    }
    std::string name = assignment.substr(0, equals);
    std::string value = assignment.substr(equals + 1);
    if (std::find(STANDARD_VERSION_NAMES.begin(), STANDARD_VERSION_NAMES.end(), name) ==
        STANDARD_VERSION_NAMES.end()) {
        std::string known;
        for (const std::string& standard : STANDARD_VERSION_NAMES) {
            known += (known.empty() ? "" : ", ") + standard;
        }
        return "unknown version string name '" + name + "' (known: " + known + ")";
    }
    if (name == "FileVersion" || name == "ProductVersion") {
        std::optional<VersionQuad> quad = ParseVersionQuad(value);
        std::optional<VersionQuad>& fixed =
            name == "FileVersion" ? stamp->file_version : stamp->product_version;
        if (!quad) {
            return name + " must be A.B.C.D (each 0 to 65535), as the fixed part holds it, not '" +
                   value + "'";
        }
        if (fixed && *fixed != *quad) {
            return name + "=" + value + " disagrees with the version given before";
        }
        fixed = quad;
    }
    stamp->strings.emplace_back(name, value);
    return std::nullopt;
}

bool StampVersionTree(ResourceNode* root, const VersionStamp& stamp, std::string* problem) {
    size_t stamped = 0;  // language copies rewritten
    try {
        for (ResourceNode& type : root->children) {
            if (type.named || type.id != RT_VERSION_TYPE || type.leaf) {
                continue;
            }
            for (ResourceNode& name : type.children) {
                for (ResourceNode& language : name.children) {
                    if (language.leaf) {
                        language.data = StampOne(language.data, stamp);
                        ++stamped;
                    }
                }
            }
        }
    } catch (const BadResource& bad) {
        *problem = bad.reason;
        return false;
    }
    if (stamped == 0) {
        *problem = "the stub has no version resource to stamp";
        return false;
    }
    return true;
}

std::optional<Bytes> StampVersion(const Bytes& stub, const VersionStamp& stamp,
                                  std::string* problem) {
    std::optional<ResourceNode> root = ReadResources(stub, problem);
    if (!root || !StampVersionTree(&*root, stamp, problem)) {
        return std::nullopt;
    }
    return WriteResources(stub, *root, problem);
}

}  // namespace qpack
