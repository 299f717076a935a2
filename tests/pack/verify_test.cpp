// `verify` against launchers damaged in one field or byte each: every
// damage must be found and named with its entry and chunk. The launchers are
// packed at level 0 so that these cases need only stored-block decoding.
#include "tests/pack/support.h"
#include "tools/pack/extract.h"
#include "tools/pack/inspect.h"
#include "tools/pack/layout.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/xattr.h>
#endif

#ifndef _WIN32  // the POSIX stand-in, under the packer on Linux
#endif

#include <cstddef>
#include <cstring>
#include <sstream>

namespace {

using namespace packtest;

constexpr size_t PIECE = PAYLOAD_PIECE_SIZE;

// Three files: a.bin with two chunks, b.bin and setup.exe with one each.
// Packs dir/stub.exe and the files of dir/in, stored, into dir/out.exe.
bool PackStored(const ScratchDir& dir) {
    qpack::CreateOptions options;
    options.output = dir / "out.exe";
    options.stub = dir / "stub.exe";
    options.inputs = {dir / "in"};
    options.level = 0;
    return qpack::CreateLauncher(options).ok;
}

Bytes SoundLauncher(const ScratchDir& dir) {
    WriteFile(dir / "stub.exe", MakeContent(777, 3, false));
    fs::create_directories(dir / "in");
    WriteFile(dir / "in" / "a.bin", MakeContent(PIECE + 10, 4, false));
    WriteFile(dir / "in" / "b.bin", MakeContent(100, 5, true));
    WriteFile(dir / "in" / "setup.exe", MakeContent(50, 6, true));
    EXPECT_TRUE(PackStored(dir));
    return ReadFile(dir / "out.exe");
}

// File offset of the member of entry `index`, chunk `chunk`.
size_t MemberOffset(const Bytes& launcher, size_t index, int chunk) {
    std::vector<PayloadEntry> entries = ReadEntries(launcher);
    size_t offset = entries[0].unpacked_total;
    for (size_t i = 1; i < index; ++i) {
        offset += entries[i].packed_total;
    }
    for (int k = 0; k < chunk; ++k) {
        offset += entries[index].chunks[k].packed_size;
    }
    return offset;
}

size_t MemberEnd(const Bytes& launcher, size_t index, int chunk) {
    return MemberOffset(launcher, index, chunk) +
           ReadEntries(launcher)[index].chunks[chunk].packed_size;
}

constexpr size_t SLOT0 = offsetof(PayloadEntry, chunks);  // slot 0's packed_size
constexpr size_t SLOT_BYTES = sizeof(ChunkInfo);

struct DamageCase {
    const char* label;
    void (*damage)(Bytes& launcher);
    const char* problem;  // must appear in the first problem reported; @S is entry 0's S
};

// The problem text with @S+1 and @S replaced by the sound launcher's S (the
// stub with the zero bytes that make the launcher's length a multiple of 8).
std::string Expected(std::string problem, uint32_t stub_size) {
    for (auto [token, value] : {std::pair{"@S+1", stub_size + 1}, std::pair{"@S", stub_size}}) {
        if (size_t at = problem.find(token); at != std::string::npos) {
            problem.replace(at, std::strlen(token), std::to_string(value));
        }
    }
    return problem;
}

const DamageCase DAMAGES[] = {
    {"ChunkCrc", [](Bytes& l) { l[MemberEnd(l, 1, 1) - 8] ^= 0x01; },
     "entry 1 'a.bin': chunk 1: CRC-32 mismatch"},
    {"TrailerIsize", [](Bytes& l) { l[MemberEnd(l, 2, 0) - 4] ^= 0x01; },
     "entry 2 'b.bin': chunk 0: ISIZE mismatch"},
    {"HeaderByte", [](Bytes& l) { l[MemberOffset(l, 3, 0) + 2] = 9; },
     "entry 3 'setup.exe': chunk 0: bad header bytes"},
    {"StoredLength", [](Bytes& l) { l[MemberOffset(l, 2, 0) + 5] ^= 0x01; },
     "entry 2 'b.bin': chunk 0: deflate data does not decode"},
    {"DataOffsetOfEntry2",
     [](Bytes& l) {
         size_t at = RecordOffset(l, 2, offsetof(PayloadEntry, data_offset));
         PutU32(l, at, GetU32(l, at) + 1);
     },
     "entry 2 'b.bin': data_offset"},
    {"DataOffsetOfEntry1",
     [](Bytes& l) { PutU32(l, RecordOffset(l, 1, offsetof(PayloadEntry, data_offset)), 777); },
     "entry 1 'a.bin': data_offset 777, expected @S+1 (stub size + 1)"},
    {"PackedTotal",
     [](Bytes& l) {
         size_t at = RecordOffset(l, 2, offsetof(PayloadEntry, packed_total));
         PutU32(l, at, GetU32(l, at) - 1);
     },
     "entry 2 'b.bin': packed_total"},
    {"UnpackedTotal",
     [](Bytes& l) { PutU32(l, RecordOffset(l, 3, offsetof(PayloadEntry, unpacked_total)), 49); },
     "entry 3 'setup.exe': unpacked_total 49"},
    {"UnpackedSize", [](Bytes& l) { PutU32(l, RecordOffset(l, 1, SLOT0 + SLOT_BYTES + 4), 11); },
     "entry 1 'a.bin': chunk 1: unpacked_size 11, ISIZE 10, decoded 10 bytes"},
    {"FirstUnpackedSizeNotFullPiece",
     [](Bytes& l) {
         PutU32(l, RecordOffset(l, 1, SLOT0 + 4), PIECE - 1);
         PutU32(l, RecordOffset(l, 1, offsetof(PayloadEntry, unpacked_total)), PIECE + 9);
     },
     "entry 1 'a.bin': chunk 0: unpacked_size 524287, not 524288"},
    {"StubDataOffset",
     [](Bytes& l) { PutU32(l, RecordOffset(l, 0, offsetof(PayloadEntry, data_offset)), 2); },
     "entry 0 'out.exe': data_offset 2, expected 1"},
    {"StubPackedTotal",
     [](Bytes& l) { PutU32(l, RecordOffset(l, 0, offsetof(PayloadEntry, packed_total)), 1); },
     "entry 0 'out.exe': packed_total 1 differs"},
    {"StubChunkCount",
     [](Bytes& l) { PutU32(l, RecordOffset(l, 0, offsetof(PayloadEntry, chunk_count)), 2); },
     "entry 0 'out.exe': chunk_count 2, expected 1"},
    {"StubSlot", [](Bytes& l) { PutU32(l, RecordOffset(l, 0, SLOT0 + 4), 5); },
     "entry 0 'out.exe': slot 0 is {@S, 5}"},
    {"NameWithoutNul",
     [](Bytes& l) { std::memset(&l[RecordOffset(l, 2, offsetof(PayloadEntry, name))], 'x', 260); },
     "entry 2: name has no NUL inside its 260 bytes"},
    {"ChunkCountAbove96",
     [](Bytes& l) { PutU32(l, RecordOffset(l, 2, offsetof(PayloadEntry, chunk_count)), 97); },
     "entry 2 'b.bin': chunk_count 97 is outside 0 to 96"},
    {"ChunkCountNegative",
     [](Bytes& l) {
         PutU32(l, RecordOffset(l, 3, offsetof(PayloadEntry, chunk_count)), 0xFFFFFFFF);
     },
     "entry 3 'setup.exe': chunk_count -1 is outside 0 to 96"},
    {"DuplicateName",
     [](Bytes& l) {
         std::memcpy(&l[RecordOffset(l, 2, offsetof(PayloadEntry, name))], "A.BIN", 5);
     },
     "entry 2 'A.BIN': same name as entry 1 (ignoring case)"},
    {"NotBareName",
     [](Bytes& l) { l[RecordOffset(l, 2, offsetof(PayloadEntry, name)) + 1] = '\\'; },
     "entry 2 'b\\bin': the launcher refuses it: name 'b\\bin' contains '\\'"},
    {"DeviceName",
     [](Bytes& l) {
         std::memcpy(&l[RecordOffset(l, 2, offsetof(PayloadEntry, name))], "nul.b", 5);
     },
     "entry 2 'nul.b': the launcher refuses it: name 'nul.b' is a reserved Windows device name"},
    {"PackedSizeOverBuffer",
     [](Bytes& l) { PutU32(l, RecordOffset(l, 3, SLOT0), PAYLOAD_BUFFER_SIZE + 1); },
     "entry 3 'setup.exe': chunk 0: packed_size 1048577 exceeds"},
    {"PackedSizeShort",
     [](Bytes& l) {
         size_t at = RecordOffset(l, 3, SLOT0);
         PutU32(l, at, GetU32(l, at) - 1);
         at = RecordOffset(l, 3, offsetof(PayloadEntry, packed_total));
         PutU32(l, at, GetU32(l, at) - 1);
     },
     "entry 3 'setup.exe': chunk 0: trailer cut short"},
    {"BytesBeforeDirectory",
     [](Bytes& l) { l.insert(l.begin() + static_cast<std::ptrdiff_t>(MemberEnd(l, 3, 0)), 0); },
     "the directory starts at"},
    {"TooShortForCount", [](Bytes& l) { l.resize(3); }, "file is 3 bytes long"},
    {"CountTooLarge", [](Bytes& l) { PutU32(l, l.size() - 4, 0xFFFFFFFF); },
     "entry count 4294967295 needs 4483945855984 bytes"},
    {"CountZero", [](Bytes& l) { PutU32(l, l.size() - 4, 0); }, "entry count 0"},
};

class DamageTest : public testing::TestWithParam<DamageCase> {};

TEST_P(DamageTest, VerifyNamesTheDamage) {
    ScratchDir dir;
    Bytes launcher = SoundLauncher(dir);
    ASSERT_TRUE(qpack::VerifyLauncher(dir / "out.exe").problems.empty());
    std::string expected = Expected(GetParam().problem, ReadEntries(launcher)[0].unpacked_total);
    GetParam().damage(launcher);
    WriteFile(dir / "damaged.exe", launcher);
    qpack::VerifyReport report = qpack::VerifyLauncher(dir / "damaged.exe");
    ASSERT_FALSE(report.problems.empty());
    EXPECT_NE(report.problems[0].find(expected), std::string::npos)
        << "first of " << report.problems.size() << ": " << report.problems[0];
}

INSTANTIATE_TEST_SUITE_P(Cases, DamageTest, testing::ValuesIn(DAMAGES),
                         [](const testing::TestParamInfo<DamageCase>& info) {
                             return std::string(info.param.label);
                         });

TEST(VerifySound, CountsEntriesChunksAndContent) {
    ScratchDir dir;
    SoundLauncher(dir);
    qpack::VerifyReport report = qpack::VerifyLauncher(dir / "out.exe");
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    EXPECT_EQ(report.entries, 4u);
    EXPECT_EQ(report.chunks, 4u);
    EXPECT_EQ(report.content_bytes, PIECE + 10 + 100 + 50);
}

#ifndef _WIN32
// The packer's extraction writes plain files and nothing beside them: no
// extended attribute (a security record, say) on any file or folder.
TEST(ExtractSound, WritesPlainFilesOnly) {
    ScratchDir dir;
    SoundLauncher(dir);
    std::string problem;
    ASSERT_TRUE(qpack::ExtractLauncher(
        dir / "out.exe", dir / "x", [](size_t, size_t) {}, "", &problem))
        << problem;
    EXPECT_EQ(ReadFile(dir / "x" / "a.bin"), ReadFile(dir / "in" / "a.bin"));
    for (const auto& entry : fs::recursive_directory_iterator(dir / "x")) {
        char names[256];  // the attributes' names, if any
        EXPECT_EQ(llistxattr(entry.path().c_str(), names, sizeof names), 0) << entry.path();
    }
}
#endif

// Signed after packing, with the stub first grown by `grow` bytes so that
// the signing tool must pad (the packer itself leaves nothing to pad).
struct SignedCase {
    const char* label;
    size_t grow;
    size_t padding;  // what the signing tool then adds
};

class VerifySigned : public testing::TestWithParam<SignedCase> {};

TEST_P(VerifySigned, ReadsUpToTheTableAndNamesAChangedChunk) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", PeStub(1024));
    fs::create_directories(dir / "in");
    WriteFile(dir / "in" / "setup.exe", MakeContent(PIECE + 10, 4, false));
    ASSERT_TRUE(PackStored(dir));
    Bytes launcher = ReadFile(dir / "out.exe");
    GrowStub(launcher, GetParam().grow);
    size_t crc_at = MemberEnd(launcher, 1, 1) - 8;  // before signing: the count is last
    ASSERT_EQ(SignLikeATool(launcher, 1200), GetParam().padding);
    WriteFile(dir / "signed.exe", launcher);

    qpack::VerifyReport report = qpack::VerifyLauncher(dir / "signed.exe");
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    EXPECT_EQ(report.chunks, 2u);
    std::string padding = GetParam().padding == 0 ? ""
                                                  : ", " + std::to_string(GetParam().padding) +
                                                        " bytes of padding before it";
    EXPECT_EQ(report.signature,
              "signed: certificate table of 1200 bytes after the payload" + padding);

    launcher[crc_at] ^= 0x01;
    WriteFile(dir / "signed.exe", launcher);
    report = qpack::VerifyLauncher(dir / "signed.exe");
    ASSERT_FALSE(report.problems.empty());
    EXPECT_NE(report.problems[0].find("entry 1 'setup.exe': chunk 1: CRC-32 mismatch"),
              std::string::npos)
        << report.problems[0];
}

INSTANTIATE_TEST_SUITE_P(Signed, VerifySigned,
                         testing::Values(SignedCase{"AsPacked", 0, 0}, SignedCase{"Padded", 3, 5}),
                         [](const testing::TestParamInfo<SignedCase>& info) {
                             return std::string(info.param.label);
                         });

// Names as stored, read in a code page or in none: entry 1 of a launcher
// packed for CP932 is given these bytes. Without a code page a name outside
// ASCII is only counted; with one it is judged as the launcher judges it.
struct StoredNameCase {
    const char* label;
    const char* stored;
    const char* codepage;
    const char* problem;  // nullptr: sound
    uint32_t unchecked;
};

const StoredNameCase STORED_NAMES[] = {
    {"DoubleByteWith5C", "\x95\x5C.txt", "CP932", nullptr, 0},
    {"DoubleByteUnchecked", "\x95\x5C.txt", "", nullptr, 1},
    {"KatakanaAfterCom", "COM\xB9", "CP932", nullptr, 0},
    {"SuperscriptInCp1252", "COM\xB9", "CP1252", "reserved Windows device name", 0},
    {"SuperscriptInCp949", "LPT\xA9\xF7.txt", "CP949", "reserved Windows device name", 0},
    {"LoneLeadByte", "a\x95", "CP932", "no characters", 0},
    {"Subfolder", "lAnG", "", "launcher's sub-folders", 0},
    {"ShortAlias", "SETUP~1.EXE", "CP932", "8.3 alias", 0},
};

class VerifyStoredName : public testing::TestWithParam<StoredNameCase> {};

TEST_P(VerifyStoredName, JudgedInTheCodePage) {
    const StoredNameCase& c = GetParam();
    ScratchDir dir;
    WriteFile(dir / "stub.exe", MakeContent(100, 3, false));
    fs::create_directories(dir / "in");
    WriteFile(dir / "in" / "a.bin", MakeContent(10, 4, false));
    WriteFile(dir / "in" / "setup.exe", MakeContent(10, 6, true));
    ASSERT_TRUE(PackStored(dir));
    Bytes launcher = ReadFile(dir / "out.exe");
    size_t name_at = RecordOffset(launcher, 1, offsetof(PayloadEntry, name));
    std::fill_n(launcher.begin() + static_cast<std::ptrdiff_t>(name_at), PAYLOAD_NAME_SIZE, 0);
    std::memcpy(launcher.data() + name_at, c.stored, std::strlen(c.stored));
    WriteFile(dir / "named.exe", launcher);
    qpack::VerifyReport report = qpack::VerifyLauncher(dir / "named.exe", c.codepage);
    EXPECT_EQ(report.unchecked_names, c.unchecked);
    if (c.problem == nullptr) {
        EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    } else {
        ASSERT_EQ(report.problems.size(), 1u);
        EXPECT_NE(report.problems[0].find("the launcher refuses it"), std::string::npos);
        EXPECT_NE(report.problems[0].find(c.problem), std::string::npos) << report.problems[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Names, VerifyStoredName, testing::ValuesIn(STORED_NAMES),
                         [](const testing::TestParamInfo<StoredNameCase>& info) {
                             return std::string(info.param.label);
                         });

// A certificate table that does not end the file on an 8-byte boundary:
// the launcher refuses the file, and so does every reader here, saying why.
TEST(VerifySigned, TableNotEndingTheFileIsRefused) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", PeStub(1024));
    fs::create_directories(dir / "in");
    WriteFile(dir / "in" / "setup.exe", MakeContent(100, 4, false));
    ASSERT_TRUE(PackStored(dir));
    Bytes launcher = ReadFile(dir / "out.exe");
    Bytes directory(launcher.begin() + static_cast<std::ptrdiff_t>(RecordOffset(launcher, 0, 0)),
                    launcher.end());
    SignLikeATool(launcher, 4000);
    launcher.insert(launcher.end(), directory.begin(), directory.end());  // a payload's tail
    WriteFile(dir / "tail.exe", launcher);
    qpack::VerifyReport report = qpack::VerifyLauncher(dir / "tail.exe");
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_NE(report.problems[0].find("does not end the"), std::string::npos) << report.problems[0];
    std::ostringstream listed;
    std::vector<std::string> problems;
    EXPECT_FALSE(qpack::ListLauncher(dir / "tail.exe", listed, &problems));
    EXPECT_EQ(problems, report.problems);
}

TEST(VerifySound, StubOnlyLauncherIsSound) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(10, 1));
    Bytes launcher = ReadFile(dir / "stub.exe");
    PayloadEntry stub{};
    stub.data_offset = 1;
    stub.unpacked_total = stub.packed_total = 10;
    std::strcpy(stub.name, "x.exe");
    stub.chunk_count = 1;
    stub.chunks[0] = {10, 10};
    const uint8_t* record = reinterpret_cast<const uint8_t*>(&stub);
    launcher.insert(launcher.end(), record, record + sizeof stub);
    launcher.insert(launcher.end(), {1, 0, 0, 0});
    WriteFile(dir / "x.exe", launcher);
    qpack::VerifyReport report = qpack::VerifyLauncher(dir / "x.exe");
    EXPECT_TRUE(report.problems.empty()) << report.problems.front();
    EXPECT_EQ(report.entries, 1u);
}

}  // namespace
