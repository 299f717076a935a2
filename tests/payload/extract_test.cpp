// The extractor against payloads built byte by byte: layout on disk, the
// Style\ and lang\ copies, progress reports, damaged chunks and the
// refusals that keep every write inside the destination. Runs natively and
// under Wine, against the real API.
#include "payload_files.h"
#include "workspace/files.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

struct Extracted {
    int result;
    std::vector<Report> reports;
};

Extracted Extract(const Bytes& payload, const TempFolder& dest, const TempFolder& work) {
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, payload);
    g_reports.clear();
    int result =
        ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), RecordProgress, nullptr);
    return {result, g_reports};
}

std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        names.push_back(fs::relative(e.path(), folder).generic_string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

const Bytes kStub = RandomBytes(3000, 1);

}  // namespace

TEST(Extract, NoEntriesWritesNothingAndSucceeds) {
    TempFolder dest, work;
    Bytes payload = {0, 0, 0, 0};
    auto x = Extract(payload, dest, work);
    EXPECT_EQ(x.result, 1);
    EXPECT_TRUE(x.reports.empty());
    EXPECT_TRUE(Listing(dest.path).empty());
}

TEST(Extract, OnlyTheStubRecordCreatesTheSubfolders) {
    TempFolder dest, work;
    auto x = Extract(BuildPayload(kStub, {}), dest, work);
    EXPECT_EQ(x.result, 1);
    EXPECT_TRUE(x.reports.empty());
    EXPECT_EQ(Listing(dest.path), (std::vector<std::string>{"Style", "lang"}));
}

TEST(Extract, FilesAreWrittenWholeAndReportedInOrder) {
    TempFolder dest, work;
    Bytes big = RandomBytes(PAYLOAD_PIECE_SIZE * 2 + 17, 2);
    Bytes small = RandomBytes(100, 3);
    Bytes exact = RandomBytes(PAYLOAD_PIECE_SIZE, 4);
    auto x =
        Extract(BuildPayload(kStub, {StoredFile("setup.exe", small), StoredFile("big.bin", big),
                                     StoredFile("exact.bin", exact)}),
                dest, work);
    EXPECT_EQ(x.result, 1);
    EXPECT_EQ(ReadFile(dest.path / "setup.exe"), small);
    EXPECT_EQ(ReadFile(dest.path / "big.bin"), big);
    EXPECT_EQ(ReadFile(dest.path / "exact.bin"), exact);
    EXPECT_EQ(x.reports, (std::vector<Report>{{1, 3, 0}, {2, 3, 0}, {3, 3, 0}}));
}

// Each extraction reports its own entries, from 1: nothing of an earlier
// one in the same process carries over.
TEST(Extract, EachExtractionCountsItsOwnEntries) {
    TempFolder dest, work;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(kStub, {StoredFile("a", {1}), StoredFile("b", {2})}));
    g_reports.clear();
    for (int run = 0; run < 2; run++) {
        EXPECT_EQ(
            ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), RecordProgress, nullptr),
            1);
    }
    EXPECT_EQ(g_reports, (std::vector<Report>{{1, 2, 0}, {2, 2, 0}, {1, 2, 0}, {2, 2, 0}}));
}

// Which names are copied where: the match is case-sensitive and anywhere.
struct CopyCase {
    const char* name;
    bool in_style;
    bool in_lang;
};

class ExtractCopies : public ::testing::TestWithParam<CopyCase> {};

TEST_P(ExtractCopies, NamesSelectTheirSubfolders) {
    const CopyCase& c = GetParam();
    TempFolder dest, work;
    Bytes content = RandomBytes(777, 5);
    auto x = Extract(BuildPayload(kStub, {StoredFile(c.name, content)}), dest, work);
    ASSERT_EQ(x.result, 1);
    EXPECT_EQ(ReadFile(dest.path / c.name), content);
    EXPECT_EQ(fs::exists(dest.path / "Style" / c.name), c.in_style);
    EXPECT_EQ(fs::exists(dest.path / "lang" / c.name), c.in_lang);
    if (c.in_style) {
        EXPECT_EQ(ReadFile(dest.path / "Style" / c.name), content);
    }
    if (c.in_lang) {
        EXPECT_EQ(ReadFile(dest.path / "lang" / c.name), content);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExtractCopies,
    ::testing::Values(CopyCase{"default.jvs", true, false}, CopyCase{"english.lng", false, true},
                      CopyCase{"a.jvs.txt", true, false}, CopyCase{"x.lng.bak", false, true},
                      CopyCase{"both.jvs.lng", true, true}, CopyCase{"LOUD.JVS", false, false},
                      CopyCase{"plain.txt", false, false}));

TEST(Extract, EmptyChunkTableGivesAnEmptyFileThatIsStillCopied) {
    TempFolder dest, work;
    FileSpec empty{"empty.lng", {}, 0, {}};
    auto x = Extract(BuildPayload(kStub, {empty, StoredFile("after", {9, 9})}), dest, work);
    EXPECT_EQ(x.result, 1);
    EXPECT_EQ(fs::file_size(dest.path / "empty.lng"), 0u);
    EXPECT_EQ(fs::file_size(dest.path / "lang" / "empty.lng"), 0u);
    EXPECT_EQ(ReadFile(dest.path / "after"), (Bytes{9, 9}));
    EXPECT_EQ(x.reports.size(), 2u);
}

TEST(Extract, LaterEntryOfTheSameNameAndStaleFilesAreReplaced) {
    TempFolder dest, work;
    WriteFile(dest.path / "dup.jvs", RandomBytes(5000, 6));
    fs::create_directories(dest.path / "Style");
    WriteFile(dest.path / "Style" / "dup.jvs", RandomBytes(5000, 7));
    Bytes second = {4, 5, 6};
    auto x = Extract(
        BuildPayload(kStub, {StoredFile("dup.jvs", {1, 2, 3}), StoredFile("DUP.jvs", second)}),
        dest, work);
    EXPECT_EQ(x.result, 1);
    // Names compare without regard to case, so both entries are one file.
    EXPECT_EQ(Listing(dest.path),
              (std::vector<std::string>{"Style", "Style/dup.jvs", "dup.jvs", "lang"}));
    EXPECT_EQ(ReadFile(dest.path / "dup.jvs"), second);
    EXPECT_EQ(ReadFile(dest.path / "Style" / "dup.jvs"), second);
}

TEST(Extract, DamagedChunkStopsAtThatEntry) {
    TempFolder dest, work;
    Bytes first = RandomBytes(1000, 8);
    Bytes partial = RandomBytes(PAYLOAD_PIECE_SIZE + 500, 9);
    FileSpec damaged = StoredFile("damaged.bin", partial);
    damaged.members[1][10] ^= 0x40;  // content byte of the second chunk: CRC-32 fails
    auto x = Extract(
        BuildPayload(kStub, {StoredFile("first.bin", first), damaged, StoredFile("never", {1})}),
        dest, work);
    EXPECT_EQ(x.result, 0);
    EXPECT_EQ(ReadFile(dest.path / "first.bin"), first);
    EXPECT_EQ(ReadFile(dest.path / "damaged.bin"),
              Bytes(partial.begin(), partial.begin() + PAYLOAD_PIECE_SIZE));
    EXPECT_FALSE(fs::exists(dest.path / "never"));
    EXPECT_EQ(x.reports, (std::vector<Report>{{1, 3, 0}}));
}

TEST(Extract, TruncatedFileFailsWithoutWritingPastWhatDecodes) {
    TempFolder dest, work;
    Bytes payload = BuildPayload(kStub, {StoredFile("a.bin", RandomBytes(2000, 10))});
    Bytes cut(payload.begin(), payload.begin() + 1000);
    auto x = Extract(cut, dest, work);
    EXPECT_EQ(x.result, 0);
    EXPECT_TRUE(x.reports.empty());
}

// A stored member of exactly `size` bytes; its content goes to *content.
static Bytes MemberOfSize(size_t size, Bytes* content) {
    size_t n = size;  // content length, less the framing once it is known
    for (;;) {
        *content = RandomBytes(n, 11);
        Bytes member = StoredMember(*content);
        if (member.size() == size) {
            return member;
        }
        n = n + size - member.size();
    }
}

// Members around the 1 MiB input buffer, every byte of them in the file: one
// that fills the buffer is written, one a byte longer is refused before it is
// read (it would run past the buffer).
TEST(Extract, ChunkMemberUpToTheInputBuffer) {
    struct Case {
        size_t member_size;
        int result;
    } cases[] = {{PAYLOAD_BUFFER_SIZE, 1}, {PAYLOAD_BUFFER_SIZE + 1, 0}};
    for (const Case& c : cases) {
        TempFolder dest, work;
        Bytes content;
        FileSpec f{"a.bin", {MemberOfSize(c.member_size, &content)}, -1, {}};
        auto x = Extract(BuildPayload(kStub, {f}), dest, work);
        EXPECT_EQ(x.result, c.result) << c.member_size;
        EXPECT_EQ(x.reports.size(), c.result == 1 ? 1u : 0u) << c.member_size;
        if (c.result == 1) {
            EXPECT_EQ(ReadFile(dest.path / "a.bin"), content);
        }
    }
}

// Records that must be refused before anything at all is written.
struct Refusal {
    const char* what;
    void (*damage)(PayloadEntry& entry);
};

class ExtractRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(ExtractRefuses, BeforeWritingAnything) {
    TempFolder dest, work;
    Bytes payload = BuildPayload(kStub, {StoredFile("fine.txt", {1}), StoredFile("bad", {2})});
    PayloadEntry entry;
    size_t at = RecordOffset(payload, 2);
    std::memcpy(&entry, &payload[at], sizeof entry);
    GetParam().damage(entry);
    std::memcpy(&payload[at], &entry, sizeof entry);
    auto x = Extract(payload, dest, work);
    EXPECT_EQ(x.result, 0);
    EXPECT_TRUE(Listing(dest.path).empty()) << GetParam().what;
    EXPECT_TRUE(x.reports.empty());
    EXPECT_EQ(Listing(work.path), (std::vector<std::string>{"launcher.exe"}));
}

static void SetName(PayloadEntry& e, const char* name) {
    std::memset(e.name, 0, sizeof e.name);
    std::strcpy(e.name, name);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ExtractRefuses,
    ::testing::Values(
        Refusal{"empty name", [](PayloadEntry& e) { SetName(e, ""); }},
        Refusal{"dot", [](PayloadEntry& e) { SetName(e, "."); }},
        Refusal{"dot dot", [](PayloadEntry& e) { SetName(e, ".."); }},
        Refusal{"backslash", [](PayloadEntry& e) { SetName(e, "..\\escape.txt"); }},
        Refusal{"slash", [](PayloadEntry& e) { SetName(e, "../escape.txt"); }},
        Refusal{"colon", [](PayloadEntry& e) { SetName(e, "C:escape.txt"); }},
        Refusal{"no terminator", [](PayloadEntry& e) { std::memset(e.name, 'a', sizeof e.name); }},
        // The last record holds no zero byte from its name on: a name rule
        // run on the unterminated name would read past the directory.
        Refusal{"no terminator in the rest of the record",
                [](PayloadEntry& e) {
                    char* name = reinterpret_cast<char*>(&e) + offsetof(PayloadEntry, name);
                    std::memset(name, 'a', sizeof e - offsetof(PayloadEntry, name));
                }},
        Refusal{"device", [](PayloadEntry& e) { SetName(e, "CON"); }},
        Refusal{"device with extension", [](PayloadEntry& e) { SetName(e, "com1.lng"); }},
        Refusal{"trailing dot", [](PayloadEntry& e) { SetName(e, "setup.exe."); }},
        Refusal{"trailing space", [](PayloadEntry& e) { SetName(e, "setup.exe "); }},
        Refusal{"wildcard", [](PayloadEntry& e) { SetName(e, "*.exe"); }},
        Refusal{"control character", [](PayloadEntry& e) { SetName(e, "a\tb"); }},
        Refusal{"continuation after a record of one chunk",
                [](PayloadEntry& e) { MarkContinuation(&e, 1); }},
        Refusal{"97 chunks", [](PayloadEntry& e) { e.chunk_count = PAYLOAD_MAX_CHUNKS + 1; }},
        // Not "no chunks": an empty setup.exe reported as unpacked.
        Refusal{"negative chunk count", [](PayloadEntry& e) { e.chunk_count = -1; }},
        Refusal{"name too long for the path",
                [](PayloadEntry& e) { SetName(e, std::string(255, 'n').c_str()); }}));

TEST(Extract, NameThatFitsOnlyWithoutItsSubfolderIsRefused) {
    TempFolder dest, dest2, work;
    // destination\name fits, destination\Style\name does not; sized for each
    // folder, whose paths differ in length.
    auto name_for = [](const TempFolder& folder) {
        size_t room = MAX_PATH - 1 - folder.Text().size() - 1;  // longest name beside it
        return std::string(room - 4 - 3, 's') + ".jvs";
    };
    std::string name = name_for(dest2);
    ASSERT_LE(dest2.Text().size() + 1 + name.size() + 1, size_t(MAX_PATH));
    auto ok = Extract(BuildPayload(kStub, {StoredFile(name_for(dest).substr(4), {1})}), dest, work);
    EXPECT_EQ(ok.result, 1);
    auto x = Extract(BuildPayload(kStub, {StoredFile(name, {1})}), dest2, work);
    EXPECT_EQ(x.result, 0);
    EXPECT_TRUE(Listing(dest2.path).empty());
}

TEST(Extract, DirectoryLargerThanTheFileIsRefused) {
    TempFolder dest, work;
    Bytes payload = BuildPayload(kStub, {StoredFile("a", {1})});
    uint32_t huge = 0x7FFFFFFF;  // a count whose directory cannot be in the file
    std::memcpy(&payload[payload.size() - 4], &huge, 4);
    auto x = Extract(payload, dest, work);
    EXPECT_EQ(x.result, 0);
    EXPECT_TRUE(Listing(dest.path).empty());
}

TEST(Extract, DirectoryThatJustFitsIsRead) {
    TempFolder dest, work;
    // A file of exactly one record and the count: entry 0's data begins at 0.
    PayloadEntry e0;
    std::memset(&e0, 0, sizeof e0);
    e0.data_offset = 1;
    e0.chunk_count = 1;
    Bytes payload(reinterpret_cast<uint8_t*>(&e0), reinterpret_cast<uint8_t*>(&e0) + sizeof e0);
    payload.insert(payload.end(), {1, 0, 0, 0});
    EXPECT_EQ(Extract(payload, dest, work).result, 1);
    payload.insert(payload.end() - 4, {0, 0, 0, 0});  // count 2 no longer fits the 1048 bytes
    payload[payload.size() - 4] = 2;
    TempFolder dest2;
    EXPECT_EQ(Extract(payload, dest2, work).result, 0);
}

TEST(Extract, MissingPayloadFileFails) {
    TempFolder dest;
    std::string missing = (dest.path / "missing.exe").string();
    EXPECT_EQ(ExtractPayloadFile(missing.c_str(), dest.Text().c_str(), RecordProgress, nullptr), 0);
}
