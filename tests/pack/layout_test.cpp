// The launcher files that the packer writes, read back byte by byte: the
// stub, each member (decoded with zlib as an independent oracle), the
// records with every field, and the zero bytes in between. Also the order,
// determinism and every refusal of `create`, through the library.
#include "tests/pack/support.h"
#include "tools/pack/compress.h"
#include "tools/pack/compress_pool.h"
#include "tools/pack/inspect.h"
#include "tools/pack/layout.h"
#include "tools/pack/names.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <sstream>
#include <tuple>

namespace {

using namespace packtest;

constexpr size_t PIECE = PAYLOAD_PIECE_SIZE;

// Decodes one member with zlib: checks the header bytes, inflates the raw
// deflate data and checks the trailer right after it, ending the member.
Bytes OracleDecode(const uint8_t* member, size_t size) {
    EXPECT_GE(size, 11u);
    EXPECT_EQ(member[0], 0x1F);
    EXPECT_EQ(member[1], 0x8B);
    EXPECT_EQ(member[2], 8);
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, -15), Z_OK);
    Bytes content(PAYLOAD_BUFFER_SIZE);
    stream.next_in = const_cast<Bytef*>(member + 3);
    stream.avail_in = static_cast<uInt>(size - 3);
    stream.next_out = content.data();
    stream.avail_out = static_cast<uInt>(content.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    content.resize(stream.total_out);
    size_t trailer = 3 + stream.total_in;
    inflateEnd(&stream);
    EXPECT_EQ(trailer + 8, size) << "the trailer must end the member";
    Bytes bytes(member, member + size);
    EXPECT_EQ(GetU32(bytes, trailer), crc32(0, content.data(), static_cast<uInt>(content.size())));
    EXPECT_EQ(GetU32(bytes, trailer + 4), content.size());
    return content;
}

struct PackedSet {
    ScratchDir dir;
    std::vector<std::pair<std::string, Bytes>> files;  // in expected payload order
    Bytes stub;
    Bytes launcher;
    qpack::CreateResult result;
};

// Writes the files (names given in payload order), packs them and reads the
// launcher back.
void Pack(PackedSet& set, const std::vector<std::pair<std::string, size_t>>& files, int level,
          bool compressible) {
    fs::create_directories(set.dir / "in");
    uint32_t seed = 1;
    for (const auto& [name, size] : files) {
        set.files.emplace_back(name, MakeContent(size, seed++, compressible));
        WriteFile(set.dir / "in" / name, set.files.back().second);
    }
    set.stub = MakeContent(4097, 99, false);
    WriteFile(set.dir / "stub.exe", set.stub);
    qpack::CreateOptions options;
    options.output = set.dir / "out.exe";
    options.stub = set.dir / "stub.exe";
    options.inputs = {set.dir / "in"};
    options.level = level;
    options.require_setup = false;
    set.result = qpack::CreateLauncher(options);
    ASSERT_TRUE(set.result.ok) << (set.result.problems.empty() ? "" : set.result.problems[0]);
    set.launcher = ReadFile(set.dir / "out.exe");
}

// Packs files a.bin, b.bin, ... of these sizes, in this order.
void PackLettered(PackedSet& set, const std::vector<size_t>& sizes, int level, bool compressible) {
    std::vector<std::pair<std::string, size_t>> files;
    for (size_t i = 0; i < sizes.size(); ++i) {
        files.emplace_back(std::string(1, static_cast<char>('a' + i)) + ".bin", sizes[i]);
    }
    Pack(set, files, level, compressible);
}

/* FNV-1a, 64 bits: enough to tell any change of the bytes. */
uint64_t Fnv1a(const Bytes& bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint8_t b : bytes) {
        hash = (hash ^ b) * 0x100000001B3ull;
    }
    return hash;
}

struct LayoutCase {
    const char* label;
    std::vector<size_t> sizes;  // files a.bin, b.bin, ... in this order
    int level;
    bool compressible;
    size_t length = 0;  // the launcher's length as packed before continued files existed
    uint64_t hash = 0;  // and its FNV-1a hash; 0: none recorded
};

class LayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, EveryFieldAndByteIsWhereTheReaderLooks) {
    const LayoutCase& c = GetParam();
    PackedSet set;
    PackLettered(set, c.sizes, c.level, c.compressible);
    const Bytes& bytes = set.launcher;
    ASSERT_TRUE(std::equal(set.stub.begin(), set.stub.end(), bytes.begin()));

    // The stub part is the stub and up to 7 zero bytes that make the
    // launcher's length a multiple of 8, so that signing needs no padding.
    std::vector<PayloadEntry> entries = ReadEntries(bytes);
    ASSERT_EQ(entries.size(), set.files.size() + 1);
    const PayloadEntry& stub = entries[0];
    const uint32_t stub_size = stub.unpacked_total;
    EXPECT_EQ(bytes.size() % 8, 0u);
    ASSERT_GE(stub_size, set.stub.size());
    ASSERT_LT(stub_size, set.stub.size() + 8);
    EXPECT_TRUE(std::all_of(bytes.begin() + set.stub.size(), bytes.begin() + stub_size,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(stub.data_offset, 1u);
    EXPECT_EQ(stub.unpacked_total, stub_size);
    EXPECT_EQ(stub.packed_total, stub_size);
    EXPECT_STREQ(stub.name, "out.exe");
    EXPECT_EQ(stub.chunk_count, 1);
    EXPECT_EQ(stub.chunks[0].packed_size, stub_size);
    EXPECT_EQ(stub.chunks[0].unpacked_size, stub_size);

    size_t position = stub_size;  // where the next member must start
    for (size_t i = 0; i < entries.size(); ++i) {
        const PayloadEntry& entry = entries[i];
        size_t name_length = std::strlen(entry.name);
        for (size_t b = name_length; b < PAYLOAD_NAME_SIZE; ++b) {
            ASSERT_EQ(entry.name[b], 0) << "entry " << i << " name byte " << b;
        }
        const uint8_t* slots = reinterpret_cast<const uint8_t*>(entry.chunks);
        for (size_t b = static_cast<size_t>(entry.chunk_count) * sizeof(ChunkInfo);
             b < sizeof entry.chunks; ++b) {
            ASSERT_EQ(slots[b], 0) << "entry " << i << " unused slot byte " << b;
        }
        if (i == 0) {
            continue;
        }
        const Bytes& content = set.files[i - 1].second;
        EXPECT_EQ(set.files[i - 1].first, entry.name);
        EXPECT_EQ(entry.data_offset, position + 1) << "entry " << i;
        EXPECT_EQ(entry.chunk_count, static_cast<int32_t>((content.size() + PIECE - 1) / PIECE));
        Bytes decoded;
        uint64_t packed = 0;
        for (int32_t k = 0; k < entry.chunk_count; ++k) {
            const ChunkInfo& slot = entry.chunks[k];
            Bytes piece = OracleDecode(bytes.data() + position, slot.packed_size);
            EXPECT_EQ(slot.unpacked_size, piece.size());
            EXPECT_EQ(slot.unpacked_size,
                      k + 1 < entry.chunk_count ? PIECE : content.size() - k * PIECE);
            decoded.insert(decoded.end(), piece.begin(), piece.end());
            if (c.level == 0) {
                uint8_t first = bytes[position + 3];  // BFINAL and BTYPE of the first block
                EXPECT_EQ((first >> 1) & 3, 0) << "level 0 writes stored blocks";
                EXPECT_EQ(first & 1, piece.size() <= 65535 ? 1 : 0);
            }
            position += slot.packed_size;
            packed += slot.packed_size;
        }
        EXPECT_EQ(decoded, content) << "entry " << i;
        EXPECT_EQ(entry.unpacked_total, content.size());
        EXPECT_EQ(entry.packed_total, packed);
    }
    EXPECT_EQ(position, bytes.size() - 4 - entries.size() * PAYLOAD_ENTRY_SIZE)
        << "the directory starts where the last member ends";
    EXPECT_EQ(set.result.launcher_bytes, bytes.size());
    if (c.hash != 0) {  // the same stub and arguments keep giving these very bytes
        EXPECT_EQ(bytes.size(), c.length);
        EXPECT_EQ(Fnv1a(bytes), c.hash) << std::hex << Fnv1a(bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sets, LayoutTest,
    testing::Values(
        LayoutCase{"Empty", {0}, 12, true}, LayoutCase{"OneByte", {1}, 12, true},
        LayoutCase{"PieceBoundariesStored", {PIECE - 1, PIECE, PIECE + 1}, 0, false},
        LayoutCase{"PieceBoundariesDefault", {PIECE - 1, PIECE, PIECE + 1}, 12, true},
        LayoutCase{"NoiseDefault", {100, 2 * PIECE + 5}, 12, false},
        LayoutCase{"MixedLevel1", {0, 7, 70000, 0}, 1, true},
        LayoutCase{"MixedLevel9", {3, PIECE * 3}, 9, true},
        LayoutCase{"ReferenceMixed",
                   {0, 1, PIECE, PIECE + 1, 1500000},
                   12,
                   true,
                   1409048,
                   0x2EA30FD00D08ACBDull},
        LayoutCase{"ReferenceStored", {3 * PIECE, 10}, 0, false, 1580296, 0xD9753624E280E6E5ull}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.label); });

TEST(LayoutOrder, FilesAreSortedByteWiseWhateverTheArgumentOrder) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(100, 0x4D));
    fs::create_directories(dir / "f");
    for (const char* name : {"setup.exe", "B.dll", "a.txt", "_x"}) {
        WriteFile(dir / "f" / name, MakeContent(10, 1, true));
    }
    WriteFile(dir / "Z.lng", MakeContent(10, 2, true));
    std::vector<std::string> names;
    qpack::CreateOptions options;
    options.output = dir / "out.exe";
    options.stub = dir / "stub.exe";
    options.inputs = {dir / "Z.lng", dir / "f"};
    ASSERT_TRUE(qpack::CreateLauncher(options).ok);
    for (const PayloadEntry& entry : ReadEntries(ReadFile(dir / "out.exe"))) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"out.exe", "B.dll", "Z.lng", "_x", "a.txt", "setup.exe"}));
}

TEST(LayoutDeterminism, TwoRunsGiveTheSameBytes) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", MakeContent(3000, 5, false));
    fs::create_directories(dir / "f");
    WriteFile(dir / "f" / "setup.exe", MakeContent(PIECE + 300, 6, true));
    WriteFile(dir / "f" / "data.bin", MakeContent(9000, 7, false));
    fs::create_directories(dir / "one");
    fs::create_directories(dir / "two");
    for (const char* run : {"one", "two"}) {
        qpack::CreateOptions options;
        options.output = dir / run / "launcher.exe";
        options.stub = dir / "stub.exe";
        options.inputs = {dir / "f"};
        ASSERT_TRUE(qpack::CreateLauncher(options).ok);
    }
    EXPECT_EQ(ReadFile(dir / "one" / "launcher.exe"), ReadFile(dir / "two" / "launcher.exe"));
}

// Members finish out of order on several threads (noise and text pieces,
// short and full ones); the launcher must not show it.
TEST(LayoutThreads, EveryThreadCountGivesTheSameBytes) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", MakeContent(3000, 5, false));
    fs::create_directories(dir / "f");
    const std::vector<std::tuple<const char*, size_t, bool>> files = {
        {"a.bin", 3 * PIECE + 17, true},    {"b.bin", 0, true},
        {"c.bin", 2 * PIECE, false},        {"d.bin", 0, false},
        {"e.bin", PIECE + 1, true},         {"f.bin", 900, false},
        {"setup.exe", 2 * PIECE + 3, false}};
    uint32_t seed = 40;
    for (const auto& [name, size, compressible] : files) {
        WriteFile(dir / "f" / name, MakeContent(size, seed++, compressible));
    }
    Bytes first;  // the launcher of -j 1
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        fs::path run = dir / ("j" + std::to_string(threads));
        fs::create_directories(run);
        qpack::CreateOptions options;
        options.output = run / "launcher.exe";
        options.stub = dir / "stub.exe";
        options.inputs = {dir / "f"};
        options.level = 6;
        options.threads = threads;
        ASSERT_TRUE(qpack::CreateLauncher(options).ok);
        Bytes launcher = ReadFile(options.output);
        if (threads == 1) {
            first = launcher;
            EXPECT_EQ(ReadEntries(first).size(), files.size() + 1);
        } else {
            EXPECT_TRUE(launcher == first) << threads << " threads";
        }
    }
}

// A failure of the sink at one piece: every earlier member has reached it in
// order, no later one does, and the threads stop cleanly.
TEST(MemberPool, NothingReachesTheSinkAfterAFailure) {
    constexpr size_t FAILING = 4;  // the tag whose member the sink refuses
    for (unsigned threads : {1u, 2u, 8u}) {
        std::vector<size_t> seen;  // tags in the order the sink got them
        qpack::MemberPool pool(threads, 1, [&](size_t tag, size_t size, Bytes member) {
            EXPECT_EQ(size, 1000 + tag);
            EXPECT_GT(member.size(), 11u);
            seen.push_back(tag);
            if (tag == FAILING) {
                throw std::runtime_error("refused");
            }
        });
        bool thrown = false;  // the refusal came out of Submit or Finish
        try {
            for (size_t tag = 0; tag < 20; ++tag) {
                pool.Submit(tag, MakeContent(1000 + tag, static_cast<uint32_t>(tag), tag % 2));
            }
            pool.Finish();
        } catch (const std::runtime_error&) {
            thrown = true;
            pool.Finish();
        }
        EXPECT_TRUE(thrown) << threads << " threads";
        EXPECT_EQ(seen, (std::vector<size_t>{0, 1, 2, 3, 4})) << threads << " threads";
    }
}

TEST(LayoutOutput, AnExistingOutputIsReplacedAndNoTemporaryFileStays) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(10, 1));
    WriteFile(dir / "setup.exe", Bytes(10, 2));
    WriteFile(dir / "out.exe", Bytes(100000, 3));
    qpack::CreateOptions options;
    options.output = dir / "out.exe";
    options.stub = dir / "stub.exe";
    options.inputs = {dir / "setup.exe"};
    ASSERT_TRUE(qpack::CreateLauncher(options).ok);
    EXPECT_EQ(ReadEntries(ReadFile(dir / "out.exe")).size(), 2u);
    EXPECT_EQ(FolderListing(dir.path()),
              (std::vector<std::string>{"out.exe", "setup.exe", "stub.exe"}));
}

// One refused set: how to build it, and the words the refusal must contain.
struct RefusalCase {
    const char* label;
    void (*prepare)(const ScratchDir& dir, qpack::CreateOptions& options);
    const char* message;
    bool posix_only = false;  // a name that a Windows file system cannot hold at all
};

// Names are UTF-8 on every platform (a plain std::string would be taken as
// ANSI on Windows).
void AddFile(const ScratchDir& dir, qpack::CreateOptions& options, const std::string& name,
             size_t size = 10) {
    fs::path path = dir / "in" / fs::path(std::u8string(name.begin(), name.end()));
    WriteFile(path, Bytes(size, 'x'));
    options.inputs.push_back(path);
}

const RefusalCase REFUSALS[] = {
    {"NoInputs", [](const ScratchDir&, qpack::CreateOptions&) {}, "no input files"},
    {"EmptyFolder",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         fs::create_directories(dir / "in" / "empty");
         o.inputs = {dir / "in" / "empty"};
     },
     "no input files"},
    {"MissingPath",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         o.inputs.push_back(dir / "nowhere");
     },
     "no such file or folder"},
    {"SubFolder",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         fs::create_directories(dir / "in" / "sub");
         o.inputs = {dir / "in"};
     },
     "sub-folders are not allowed"},
    {"CaseBlindDuplicate",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         fs::create_directories(dir / "other");
         WriteFile(dir / "other" / "SETUP.EXE", Bytes(3, 1));
         o.inputs.push_back(dir / "other" / "SETUP.EXE");
     },
     "already taken"},
    {"NotAscii",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, "caf\xC3\xA9.txt");
     },
     "not plain ASCII"},
    {"NotInCodepage",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, "\xE4\xB8\xAD.txt");
         o.codepage = "CP1252";
     },
     "cannot be written in code page CP1252"},
    {"ForbiddenCharacter",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, "a\\b.txt");
     },
     "contains '\\'", true},
    {"ColonCharacter",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, "a:b");
     },
     "contains ':'", true},
    {"DeviceName",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, "Nul.txt");
     },
     "reserved Windows device name", true},
    {"TooLongName",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, std::string(qpack::MAX_NAME_BYTES - 3, 'n') + ".txt");
     },
     "bytes long; the limit is 120"},
    {"ContinuedFileBehindLevel1Stub",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, "big.bin", 0);
         fs::resize_file(dir / "in" / "big.bin", RECORD_CONTENT_BYTES + 1);
     },
     "big.bin is 50331649 bytes: this stub reads files of one record only (payload level 1; a "
     "continued file needs level 2): pack it with a newer stub"},
    {"LauncherPastFourGiB",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         AddFile(dir, o, "a.bin", 0);
         AddFile(dir, o, "b.bin", 0);
         fs::resize_file(dir / "in" / "a.bin", 0xFFF00000ull);
         fs::resize_file(dir / "in" / "b.bin", 0x100000ull);
     },
     "b.bin: 1048576 bytes take the launcher to 4295059236 bytes or more; it must stay below 4 "
     "GiB"},
    {"NoSetup", [](const ScratchDir& dir, qpack::CreateOptions& o) { AddFile(dir, o, "a.dll"); },
     "no setup.exe"},
    {"OutputAmongInputs",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         WriteFile(o.output, Bytes(5, 1));
         o.inputs.push_back(o.output);
     },
     "is the output file itself"},
    {"EmptyStub",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         WriteFile(o.stub, {});
     },
     "is empty"},
    {"SignedStub",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         WriteFile(o.stub, PeStub(4096, 4096, 1000));
     },
     "is already signed (a certificate table of 1000 bytes): pack the unsigned stub, then sign"},
    {"MissingStub",
     [](const ScratchDir& dir, qpack::CreateOptions& o) {
         AddFile(dir, o, "setup.exe");
         fs::remove(o.stub);
     },
     "stub"},
};

class RefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, RefusesAndWritesNothing) {
#ifdef _WIN32
    if (GetParam().posix_only) {
        GTEST_SKIP() << "such a file cannot be created here; NameTest covers the rule";
    }
#endif
    ScratchDir dir;
    fs::create_directories(dir / "in");
    WriteFile(dir / "stub.exe", Bytes(64, 0x4D));
    qpack::CreateOptions options;
    options.output = dir / "out" / "launcher.exe";
    options.stub = dir / "stub.exe";
    fs::create_directories(dir / "out");
    GetParam().prepare(dir, options);
    std::vector<std::string> before = FolderListing(dir / "out");
    qpack::CreateResult result = qpack::CreateLauncher(options);
    EXPECT_FALSE(result.ok);
    std::string all;
    for (const std::string& problem : result.problems) {
        all += problem + "\n";
    }
    EXPECT_NE(all.find(GetParam().message), std::string::npos) << all;
    EXPECT_EQ(FolderListing(dir / "out"), before) << "nothing may be written";
}

INSTANTIATE_TEST_SUITE_P(Sets, RefusalTest, testing::ValuesIn(REFUSALS),
                         [](const testing::TestParamInfo<RefusalCase>& info) {
                             return std::string(info.param.label);
                         });

TEST(LayoutLimits, LongestAllowedNameAndExactFileLimitAreAccepted) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(64, 0x4D));
    std::string longest = std::string(qpack::MAX_NAME_BYTES - 4, 'n') + ".txt";
    WriteFile(dir / longest, Bytes(5, 'y'));
    qpack::CreateOptions options;
    options.output = dir / "out.exe";
    options.stub = dir / "stub.exe";
    options.inputs = {dir / longest};
    options.require_setup = false;
    qpack::CreateResult result = qpack::CreateLauncher(options);
    ASSERT_TRUE(result.ok) << result.problems.front();
    EXPECT_EQ(ReadEntries(ReadFile(dir / "out.exe"))[1].name, longest);
}

TEST(LayoutCodepage, NonAsciiNamesAreStoredInTheTargetCodepage) {
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(64, 0x4D));
    qpack::CreateOptions options;
    options.output = dir / "out.exe";
    options.stub = dir / "stub.exe";
    options.codepage = "CP936";
    fs::create_directories(dir / "in");
    AddFile(dir, options, "setup.exe");
    AddFile(dir, options, "\xE4\xB8\xAD\xE6\x96\x87.lng");  // U+4E2D U+6587
    qpack::CreateResult result = qpack::CreateLauncher(options);
    ASSERT_TRUE(result.ok) << result.problems.front();
    std::vector<PayloadEntry> entries = ReadEntries(ReadFile(dir / "out.exe"));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_STREQ(entries[1].name, "setup.exe");
    EXPECT_STREQ(entries[2].name, "\xD6\xD0\xCE\xC4.lng");
}

// Names and the bytes they are stored as; an empty `stored` means refused,
// with `says` in the reason.
struct NameCase {
    const char* name;
    const char* codepage;
    const char* stored;
    const char* says = "";
};

class NameTest : public testing::TestWithParam<NameCase> {};

TEST_P(NameTest, StoredBytesOrRefusal) {
    const NameCase& c = GetParam();
    std::string problem;
    std::optional<std::string> stored =
        qpack::CheckName(c.name, c.codepage, qpack::MAX_NAME_BYTES, &problem);
    if (*c.stored == '\0') {
        EXPECT_FALSE(stored) << c.name;
        EXPECT_FALSE(problem.empty());
        EXPECT_NE(problem.find(c.says), std::string::npos) << problem;
    } else {
        ASSERT_TRUE(stored) << problem;
        EXPECT_EQ(*stored, c.stored);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, NameTest,
    testing::Values(
        NameCase{"setup.exe", "", "setup.exe"}, NameCase{"a b.txt", "", "a b.txt"},
        NameCase{".", "", ""}, NameCase{"..", "", ""}, NameCase{"", "", ""},
        NameCase{"a/b", "", ""}, NameCase{"a*b", "", ""}, NameCase{"a?", "", ""},
        NameCase{"a\"b", "", ""}, NameCase{"a<b", "", ""}, NameCase{"a|b", "", ""},
        NameCase{"a\tb", "", ""}, NameCase{"name.", "", ""}, NameCase{"name ", "", ""},
        NameCase{"CON", "", ""}, NameCase{"com1.log", "", ""},
        NameCase{"console.txt", "", "console.txt"}, NameCase{"lpt10", "", "lpt10"},
        NameCase{"caf\xC3\xA9.txt", "", ""}, NameCase{"caf\xC3\xA9.txt", "CP1252", "caf\xE9.txt"},
        NameCase{"caf\xC3\xA9.txt", "1252", "caf\xE9.txt"},
        NameCase{"\xE4\xB8\xAD.lng", "CP936", "\xD6\xD0.lng"},
        NameCase{"\xE4\xB8\xAD.lng", "CP1252", ""}, NameCase{"bad\xC3", "CP1252", ""},
        NameCase{"CONIN$", "", ""}, NameCase{"nul .txt", "", ""},
        // Devices, sub-folders and alias shapes are judged on
        // the characters the launcher decodes: superscript one
        // is a device digit in 1252 (B9) and in 949 (A9 F6); the
        // half-width katakana that is B9 in 932 is not; a
        // Shift-JIS character may end in 0x5C and stays a name.
        NameCase{"COM\xC2\xB9.txt", "CP1252", ""}, NameCase{"COM\xC2\xB9", "CP949", ""},
        NameCase{"LPT\xC2\xB2.txt", "CP949", ""}, NameCase{"COM\xEF\xBD\xB9", "CP932", "COM\xB9"},
        NameCase{"\xE8\xA1\xA8.txt", "CP932", "\x95\x5C.txt"}, NameCase{"com0", "", ""},
        NameCase{"LANG", "", ""}, NameCase{"style", "", ""}, NameCase{"styles", "", "styles"},
        NameCase{"SETUP~1.EXE", "", ""}, NameCase{"\xE8\xA1\xA8~1.txt", "CP932", ""},
        NameCase{"SETUP~1.EXEC", "", "SETUP~1.EXEC"},
        // Stored bytes must read back as the name: the yen sign, overline
        // and not sign have no place in 932 (iconv writes them as 0x5C,
        // 0x7E and 81 CA, which read back as \, ~ and U+FFE2), so SETUP
        // and an overline then 1 would even be read as an 8.3 alias.
        NameCase{"\xC2\xA5.txt", "CP932", "",
                 "'\xC2\xA5.txt' cannot be written in code page CP932"},
        NameCase{"SETUP\xE2\x80\xBE\x31", "CP932", "",
                 "'SETUP\xE2\x80\xBE\x31' cannot be written in code page CP932"},
        NameCase{"\xC2\xAC.txt", "932", "", "'\xC2\xAC.txt' cannot be written in code page 932"},
        NameCase{"\xE6\x97\xA5\xE6\x9C\xAC.txt", "CP932", "\x93\xFA\x96\x7B.txt"}));

TEST(ListOutput, ShowsStubSizeRowsAndTotal) {
    PackedSet set;
    Pack(set, {{"alpha.dll", 1000}, {"setup.exe", PIECE + 1}}, 1, true);
    std::ostringstream out;
    std::vector<std::string> problems;
    ASSERT_TRUE(qpack::ListLauncher(set.dir / "out.exe", out, &problems));
    std::vector<PayloadEntry> entries = ReadEntries(set.launcher);
    std::string text = out.str();
    EXPECT_NE(text.find("stub: " + std::to_string(entries[0].unpacked_total) + " bytes (out.exe)"),
              std::string::npos)
        << text;
    EXPECT_LT(entries[0].unpacked_total - 4097u, 8u);
    EXPECT_EQ(text.find("signed"), std::string::npos) << text;
    char row[200];
    std::snprintf(row, sizeof row, "setup.exe %12u %12u %6d", entries[2].unpacked_total,
                  entries[2].packed_total, 2);
    EXPECT_NE(text.find(row), std::string::npos) << text;
    std::snprintf(row, sizeof row, "total     %12u %12u %6d",
                  static_cast<unsigned>(1000 + PIECE + 1),
                  entries[1].packed_total + entries[2].packed_total, 3);
    EXPECT_NE(text.find(row), std::string::npos) << text;
}

}  // namespace
