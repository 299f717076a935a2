// The resource writer, the version stamp and the icon, on the real stub:
// the tree written back unchanged, the checksum, a resource section that
// grows past its file alignment and moves .reloc, icon groups that list a
// vendor's images, and the stamps that are refused.
#include "tests/pack/support.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/stamp.h"
#include "tools/pack/version_info.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

using namespace packtest;
using qpack::ResourceNode;

constexpr size_t SECTION_ROW = 40;

// The stub under test: the cross build's, or dist/'s for the Linux tests.
Bytes Stub() {
    const char* path = std::getenv("QELVOR_STUB");
    if (path == nullptr || !fs::exists(path)) {
        ADD_FAILURE() << "no stub at QELVOR_STUB (build it first: make dist)";
        return {};
    }
    return ReadFile(path);
}

// Header fields, read independently of the writer.
struct Layout {
    size_t optional;  // offset of the optional header
    size_t table;     // offset of the section table
    uint32_t sections;
    uint32_t Field(const Bytes& image, size_t at) const {
        return GetU32(image, optional + at);
    }
    uint32_t Section(const Bytes& image, uint32_t index, size_t at) const {
        return GetU32(image, table + index * SECTION_ROW + at);
    }
};

Layout LayoutOf(const Bytes& image) {
    size_t pe = GetU32(image, 0x3C);
    uint16_t optional_size = static_cast<uint16_t>(image[pe + 20] | image[pe + 21] << 8);
    return {pe + 24, pe + 24 + optional_size, static_cast<uint32_t>(image[pe + 6])};
}

// The bytes of UTF-16 units, with a terminator.
Bytes Units(const std::u16string& text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// The UTF-16 bytes of an ASCII text, with its terminator.
Bytes Wide(const std::string& text) {
    return Units(std::u16string(text.begin(), text.end()));
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// Every leaf of a tree in order, as (type id, data).
void Leaves(const ResourceNode& node, uint16_t type, std::vector<std::pair<uint16_t, Bytes>>* out) {
    for (const ResourceNode& child : node.children) {
        if (child.leaf) {
            out->emplace_back(type, child.data);
        } else {
            Leaves(child, type == 0 ? child.id : type, out);
        }
    }
}

TEST(ResourceWriter, TheUnchangedTreeGivesTheStubBack) {
    Bytes stub = Stub();
    std::string problem;
    std::optional<ResourceNode> tree = qpack::ReadResources(stub, &problem);
    ASSERT_TRUE(tree) << problem;
    std::optional<Bytes> written = qpack::WriteResources(stub, *tree, &problem);
    ASSERT_TRUE(written) << problem;
    EXPECT_TRUE(*written == stub) << "the rewritten stub differs";
    EXPECT_EQ(qpack::PeChecksum(stub), LayoutOf(stub).Field(stub, 64)) << "the linker's checksum";
}

TEST(VersionStamp, AGrownResourceSectionMovesTheRelocations) {
    Bytes stub = Stub();
    qpack::VersionStamp stamp;
    stamp.file_version = qpack::VersionQuad{7, 8, 65535, 10};
    stamp.product_version = qpack::VersionQuad{7, 8, 0, 0};
    std::string comment(3000, 'c');  // 6 KB in each of four languages: past the file alignment
    stamp.strings = {{"CompanyName", "Acme Ltd"}, {"Comments", comment}};
    std::string problem;
    std::optional<Bytes> out = qpack::StampVersion(stub, stamp, &problem);
    ASSERT_TRUE(out) << problem;

    Layout layout = LayoutOf(stub);
    uint32_t last = layout.sections - 1;  // .reloc, after .rsrc
    auto section = [&](const Bytes& image, uint32_t i, size_t at) {
        return layout.Section(image, i, at);
    };
    uint32_t old_raw = section(stub, last - 1, 16), new_raw = section(*out, last - 1, 16);
    ASSERT_GT(new_raw, old_raw);
    uint32_t align = layout.Field(stub, 32);
    auto extent = [&](const Bytes& image, uint32_t i) {
        return (section(image, i, 8) + align - 1) / align * align;
    };
    uint32_t moved = extent(*out, last - 1) - extent(stub, last - 1);
    EXPECT_EQ(section(*out, last, 12), section(stub, last, 12) + moved) << ".reloc's address";
    EXPECT_EQ(section(*out, last, 20), section(stub, last, 20) + new_raw - old_raw);
    EXPECT_EQ(layout.Field(*out, 112 + 8 * 5), section(*out, last, 12)) << "relocation directory";
    EXPECT_EQ(layout.Field(*out, 112 + 8 * 2 + 4), section(*out, last - 1, 8)) << "resource size";
    EXPECT_EQ(layout.Field(*out, 56), section(*out, last, 12) + extent(*out, last))
        << "SizeOfImage";
    EXPECT_EQ(layout.Field(*out, 64), qpack::PeChecksum(*out));
    EXPECT_EQ(out->size(), stub.size() + new_raw - old_raw);
    size_t reloc = section(stub, last, 20), reloc_size = section(stub, last, 16);
    EXPECT_TRUE(std::equal(stub.begin() + reloc, stub.begin() + reloc + reloc_size,
                           out->begin() + section(*out, last, 20)))
        << "the relocations' bytes";
    size_t rsrc = section(stub, last - 1, 20);
    EXPECT_TRUE(std::equal(stub.begin() + layout.table + layout.sections * SECTION_ROW,
                           stub.begin() + rsrc,
                           out->begin() + layout.table + layout.sections * SECTION_ROW))
        << "the sections before the resources";

    std::optional<ResourceNode> before = qpack::ReadResources(stub, &problem);
    std::optional<ResourceNode> after = qpack::ReadResources(*out, &problem);
    ASSERT_TRUE(before && after) << problem;
    std::vector<std::pair<uint16_t, Bytes>> old_leaves, new_leaves;
    Leaves(*before, 0, &old_leaves);
    Leaves(*after, 0, &new_leaves);
    ASSERT_EQ(old_leaves.size(), new_leaves.size());
    size_t versions = 0;  // language copies of the version resource
    for (size_t i = 0; i < old_leaves.size(); ++i) {
        if (old_leaves[i].first != qpack::RT_VERSION_TYPE) {
            EXPECT_TRUE(old_leaves[i] == new_leaves[i]) << "resource " << i << " changed";
            continue;
        }
        ++versions;
        const Bytes& data = new_leaves[i].second;
        EXPECT_EQ(GetU32(data, 40), 0xFEEF04BDu);  // after "VS_VERSION_INFO", aligned
        EXPECT_EQ(GetU32(data, 48), 7u << 16 | 8) << "dwFileVersionMS";
        EXPECT_EQ(GetU32(data, 52), 65535u << 16 | 10) << "dwFileVersionLS";
        EXPECT_EQ(GetU32(data, 56), 7u << 16 | 8) << "dwProductVersionMS";
        EXPECT_EQ(GetU32(data, 60), 0u) << "dwProductVersionLS";
        EXPECT_EQ(data[0] | data[1] << 8, static_cast<int>(data.size())) << "wLength";
        for (const char* text :
             {"7.8.65535.10", "7.8.0.0", "Acme Ltd", comment.c_str(), "ProductName", "QELVOR"}) {
            EXPECT_TRUE(Contains(data, Wide(text))) << "language " << i << " lacks " << text;
        }
    }
    EXPECT_EQ(versions, 4u);
}

// The stub without its version resource.
void StripVersion(Bytes& stub) {
    std::string problem;
    std::optional<ResourceNode> tree = qpack::ReadResources(stub, &problem);
    ASSERT_TRUE(tree) << problem;
    std::erase_if(tree->children,
                  [](const ResourceNode& type) { return type.id == qpack::RT_VERSION_TYPE; });
    stub = *qpack::WriteResources(stub, *tree, &problem);
}

// The stub as if signed: its security directory names a certificate table.
void MarkSigned(Bytes& stub) {
    Layout layout = LayoutOf(stub);
    PutU32(stub, layout.optional + 112 + 8 * 4, static_cast<uint32_t>(stub.size()));
    PutU32(stub, layout.optional + 112 + 8 * 4 + 4, 16);
}

// The stub with its base relocations (after the resources) no longer
// discardable: a section the loader keeps, which may hold anything.
void KeepRelocations(Bytes& stub) {
    Layout layout = LayoutOf(stub);
    for (uint32_t i = 0; i < layout.sections; ++i) {
        size_t row = layout.table + i * SECTION_ROW;
        if (std::memcmp(stub.data() + row, ".reloc", 6) == 0) {
            PutU32(stub, row + 36, GetU32(stub, row + 36) & ~0x02000000u);
            return;
        }
    }
    ADD_FAILURE() << "the stub has no .reloc";
}

// The numbered entry `id` of a directory, or nullptr.
const ResourceNode* Entry(const ResourceNode& directory, uint16_t id) {
    auto found = std::find_if(directory.children.begin(), directory.children.end(),
                              [&](const ResourceNode& child) { return child.id == id; });
    return found == directory.children.end() ? nullptr : &*found;
}

// The icon groups' type directory of a tree.
ResourceNode& Groups(ResourceNode& tree) {
    return *std::find_if(tree.children.begin(), tree.children.end(), [](const ResourceNode& type) {
        return type.id == qpack::RT_GROUP_ICON_TYPE;
    });
}

// The stub without icon group 132.
void StripShellGroup(Bytes& stub) {
    std::string problem;
    ResourceNode tree = *qpack::ReadResources(stub, &problem);
    std::erase_if(Groups(tree).children,
                  [](const ResourceNode& name) { return name.id == qpack::SHELL_ICON_GROUP; });
    stub = *qpack::WriteResources(stub, tree, &problem);
}

// A stamp of the version and an icon that must be refused, and the words
// of the reason.
struct RefusedStamp {
    const char* label;
    std::string comment;          // Comments' value
    void (*change)(Bytes& stub);  // what is done to the stub first, if anything
    const char* reason;
};

class RefusedStampTest : public testing::TestWithParam<RefusedStamp> {};

TEST_P(RefusedStampTest, GivesNoBytesAndSaysWhy) {
    Bytes stub = Stub();
    if (GetParam().change != nullptr) {
        GetParam().change(stub);
    }
    qpack::VersionStamp stamp;
    stamp.strings = {{"Comments", GetParam().comment}};
    std::string problem;
    qpack::IconImages icon = *qpack::ParseIcon(IconFile({{32, 32, false}}), &problem);
    EXPECT_FALSE(qpack::StampStub(stub, stamp, icon, &problem));
    EXPECT_NE(problem.find(GetParam().reason), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedStampTest,
    testing::Values(RefusedStamp{"ValueTooLong", std::string(33000, 'x'), nullptr, "65535"},
                    RefusedStamp{"NoVersionResource", "x", StripVersion, "no version resource"},
                    RefusedStamp{"Signed", "x", MarkSigned, "the image is signed"},
                    RefusedStamp{"KeptSectionAfterResources", "x", KeepRelocations,
                                 "a section that cannot move follows the resources"},
                    RefusedStamp{"NoIconGroup132", "x", StripShellGroup,
                                 "the stub has no icon group 132 to give the icon"}),
    [](const testing::TestParamInfo<RefusedStamp>& info) { return info.param.label; });

// An icon stamped on the stub over another one stamped before (stamps must
// not pile up), and the RT_ICON ids that groups 132 and 134 must list.
struct IconCase {
    std::vector<packtest::IconImageShape> shapes;
    bool group_of_image6;       // a group 200 keeps listing the stub's image 6
    std::vector<uint16_t> ids;  // in the icon's order
};

TEST(IconStamp, GroupsListTheIconsImagesAndNoOtherImageIsLeft) {
    const IconCase cases[] = {
        {{{16, 4, false}, {32, 8, false}, {48, 32, false}, {256, 32, true}}, false, {1, 2, 3, 4}},
        {{{16, 1, false},
          {16, 4, false},
          {16, 8, false},
          {16, 16, false},
          {16, 24, false},
          {24, 32, false},
          {64, 32, true},
          {128, 32, true}},
         true,
         {1, 2, 3, 4, 5, 7, 8, 9}},
    };
    const Bytes stub = Stub();
    std::string problem;
    const ResourceNode original = *qpack::ReadResources(stub, &problem);
    const Bytes& image6 = Entry(*Entry(original, qpack::RT_ICON_TYPE), 6)->children.at(0).data;
    qpack::VersionStamp version;
    version.file_version = qpack::VersionQuad{3, 1, 4, 1};
    for (const IconCase& c : cases) {
        ResourceNode tree = original;
        if (c.group_of_image6) {  // a copy of group 132, which lists image 6
            ResourceNode& groups = Groups(tree);
            groups.children.push_back(groups.children.at(0));
            groups.children.back().id = 200;
        }
        std::vector<Bytes> images;
        qpack::IconImages icon = *qpack::ParseIcon(IconFile(c.shapes, &images), &problem);
        qpack::IconImages before = *qpack::ParseIcon(IconFile({{48, 8, false}}), &problem);
        std::optional<Bytes> once = qpack::StampStub(*qpack::WriteResources(stub, tree, &problem),
                                                     version, before, &problem);
        ASSERT_TRUE(once) << problem;
        std::optional<Bytes> out = qpack::StampStub(*once, {}, icon, &problem);
        ASSERT_TRUE(out) << problem;
        EXPECT_TRUE(Contains(*out, Wide("3.1.4.1"))) << "the version stamp was lost";

        ResourceNode after = *qpack::ReadResources(*out, &problem);
        const ResourceNode* icons = Entry(after, qpack::RT_ICON_TYPE);
        std::vector<uint16_t> stored, expected = c.ids;  // RT_ICON ids in directory order
        for (const ResourceNode& image : icons->children) {
            stored.push_back(image.id);
            EXPECT_EQ(image.children.at(0).id, 0) << "not language neutral";
        }
        if (c.group_of_image6) {
            expected.push_back(6);
            std::sort(expected.begin(), expected.end());
            EXPECT_TRUE(Entry(*icons, 6) && Entry(*icons, 6)->children.at(0).data == image6);
        }
        EXPECT_EQ(stored, expected) << "images left behind, lost, or out of order";
        for (uint16_t group : {qpack::SHELL_ICON_GROUP, qpack::DIALOG_ICON_GROUP}) {
            const ResourceNode* copies = Entry(*Entry(after, qpack::RT_GROUP_ICON_TYPE), group);
            ASSERT_EQ(copies->children.size(), 2u) << "zh-TW and zh-CN";
            for (const ResourceNode& copy : copies->children) {
                Bytes listed(copy.data.begin(), copy.data.begin() + 6);  // header, then records
                EXPECT_TRUE(listed == (Bytes{0, 0, 1, 0, uint8_t(c.shapes.size()), 0}));
                for (size_t i = 0; i < c.shapes.size(); ++i) {
                    const packtest::IconImageShape& shape = c.shapes[i];
                    uint32_t size = static_cast<uint32_t>(images[i].size());
                    listed.insert(listed.end(),
                                  {uint8_t(shape.side), uint8_t(shape.side),
                                   uint8_t(shape.bits < 8 ? 1 << shape.bits : 0), 0, 1, 0,
                                   uint8_t(shape.bits), 0, uint8_t(size), uint8_t(size >> 8),
                                   uint8_t(size >> 16), 0, uint8_t(c.ids[i]), 0});
                    const ResourceNode* image = Entry(*icons, c.ids[i]);
                    EXPECT_TRUE(image && image->children.at(0).data == images[i]) << i;
                }
                EXPECT_TRUE(copy.data == listed) << "group " << group << "/" << copy.id;
            }
        }
    }
}

// A version string's value in UTF-8 and the UTF-16 it is stamped as; no
// units: refused, naming the field.
struct Utf8Value {
    const char* field;
    const char* value;
    std::u16string units;
};

TEST(VersionStrings, OnlyValidUtf8IsStamped) {
    const Bytes stub = Stub();
    const Utf8Value cases[] = {
        {"Comments", "\xC2\x80|\xDF\xBF", u"\u0080|\u07FF"},
        {"Comments", "\xE0\xA0\x80|\xED\x9F\xBF|\xEE\x80\x80|\xEF\xBF\xBD",
         u"\u0800|\uD7FF|\uE000|\uFFFD"},
        {"Comments", "\xF0\x90\x80\x80|\xF4\x8F\xBF\xBF", u"\U00010000|\U0010FFFF"},
        {"CompanyName", "\xC0\xAF", u""},       // '/' in two bytes
        {"Comments", "\xE0\x80\xAF", u""},      // '/' in three
        {"Comments", "\xF0\x8F\xBF\xBF", u""},  // U+FFFF in four
        {"Comments", "\xF4\x90\x80\x80", u""},  // U+110000
        {"Comments", "\xF5\x80\x80\x80", u""},
        {"ProductName", "\xED\xA0\x80", u""},   // the first surrogate
        {"Comments", "\xED\xBF\xBF", u""},      // the last
        {"Comments", "\xF8\x90\x80\x80", u""},  // lead bytes of five and six bytes
        {"Comments", "\xFC\x80\x80\x80", u""},
        {"Comments", "\xA9\xA9", u""},    // trail bytes without a lead
        {"Comments", "ok\xE4\xB8", u""},  // cut short
    };
    for (const Utf8Value& c : cases) {
        qpack::VersionStamp stamp;
        stamp.strings = {{c.field, c.value}};
        std::string problem;
        std::optional<Bytes> out = qpack::StampVersion(stub, stamp, &problem);
        if (c.units.empty()) {
            EXPECT_FALSE(out) << c.value;
            EXPECT_EQ(problem, "version string " + std::string(c.field) + " is not valid UTF-8");
            continue;
        }
        ASSERT_TRUE(out) << problem;
        EXPECT_TRUE(Contains(*out, Units(c.units))) << c.value;
    }
}

// Version texts and --version-string assignments: accepted or refused.
struct VersionText {
    const char* text;
    bool quad_ok;        // as --file-version
    bool assignment_ok;  // as --version-string FileVersion=TEXT
};

TEST(VersionOptions, QuadsAndAssignments) {
    const VersionText cases[] = {
        {"1.2.3.4", true, true},    {"0.0.0.0", true, true},     {"65535.0.0.65535", true, true},
        {"1.2.3", false, false},    {"1.2.3.4.5", false, false}, {"1.2.3.65536", false, false},
        {"1..3.4", false, false},   {"-1.2.3.4", false, false},  {"1.2.3.4 ", false, false},
        {"+1.2.3.4", false, false}, {"", false, false},
    };
    for (const VersionText& c : cases) {
        EXPECT_EQ(qpack::ParseVersionQuad(c.text).has_value(), c.quad_ok) << c.text;
        qpack::VersionStamp stamp;
        EXPECT_EQ(!qpack::AddVersionString(std::string("FileVersion=") + c.text, &stamp),
                  c.assignment_ok)
            << c.text;
        EXPECT_EQ(stamp.file_version.has_value(), c.assignment_ok) << c.text;
    }
    qpack::VersionStamp stamp;
    EXPECT_FALSE(qpack::AddVersionString("ProductName=A=B", &stamp));
    EXPECT_EQ(stamp.strings.back().second, "A=B");
    EXPECT_TRUE(qpack::AddVersionString("Author=me", &stamp));
    EXPECT_TRUE(qpack::AddVersionString("ProductName", &stamp));
    EXPECT_FALSE(qpack::AddVersionString("ProductVersion=2.0.0.0", &stamp));
    EXPECT_TRUE(qpack::AddVersionString("ProductVersion=2.0.0.1", &stamp)) << "disagrees";
}

}  // namespace
