// The extractor under injected faults: every allocation, open, read and
// write failing in turn. Whatever fails, every handle and heap block that
// the extraction took is released, and only the best-effort steps (the
// hold on a sub-folder, a retried open) leave it a success. Needs the
// stand-in's fault injection, so it runs natively only.
#include "payload_files.h"
#include "workspace/files.h"

#include "tests/standin/testing.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

// A set with two chunks in one entry, a copy into each sub-folder and an
// empty file, so that every kind of call happens more than once.
std::vector<FileSpec> Files() {
    return {StoredFile("setup.exe", RandomBytes(4000, 1)),
            StoredFile("two.jvs", RandomBytes(PAYLOAD_PIECE_SIZE + 3, 2)),
            FileSpec{"empty.lng", {}, 0, {}}, StoredFile("last.bin", RandomBytes(10, 3))};
}

struct FaultRun {
    int result;
    unsigned calls;  // calls of the watched kind
    std::vector<Report> reports;
};

FaultRun ExtractWithFault(const fs::path& file, PlatformFault kind, unsigned n) {
    TempFolder dest;
    PlatformReset();
    PlatformFailNth(kind, n);
    g_reports.clear();
    int result =
        ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), RecordProgress, nullptr);
    FaultRun run{result, PlatformCallCount(kind), g_reports};
    PlatformReset();
    return run;
}

}  // namespace

class ExtractFaults : public ::testing::TestWithParam<PlatformFault> {};

TEST_P(ExtractFaults, EveryCallOfTheKindFailingInTurnReleasesEverything) {
    TempFolder work;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), Files()));
    size_t handles = PlatformLiveHandles();
    size_t blocks = PlatformLiveHeapBlocks();

    unsigned total = ExtractWithFault(file, GetParam(), 0).calls;
    ASSERT_GE(total, 2u);
    for (unsigned n = 1; n <= total; n++) {
        FaultRun run = ExtractWithFault(file, GetParam(), n);
        EXPECT_EQ(PlatformLiveHandles(), handles) << "fault at call " << n;
        EXPECT_EQ(PlatformLiveHeapBlocks(), blocks) << "fault at call " << n;
        if (GetParam() == FAULT_OPEN) {
            // The first open is the payload. The next two hold Style and
            // lang, whose loss only drops the copies; an entry file that
            // cannot be created fails the extraction.
            bool hold = n == 2 || n == 3;
            EXPECT_EQ(run.result, hold ? 1 : 0) << n;
            EXPECT_EQ(run.reports.size(), hold ? 4u : n < 2 ? 0u : n - 4) << n;
        } else {
            EXPECT_EQ(run.result, 0) << "fault at call " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExtractFaults,
                         ::testing::Values(FAULT_ALLOC, FAULT_OPEN, FAULT_READ, FAULT_WRITE,
                                           FAULT_SHORT_WRITE));

// A stale file held open without sharing by someone else: the extraction
// fails at once and the stale file is left as it was, unreported. (The
// worker never gets that far: it uses only an empty workspace.)
TEST(ExtractFaults, EntryHeldOpenFails) {
    TempFolder work, dest;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), Files()));
    WriteFile(dest.path / "two.jvs", {1, 2, 3});
    std::string held_path = (dest.path / "two.jvs").string();
    HANDLE holder = CreateFileA(held_path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    PlatformReset();
    PlatformSetInstantSleep(true);
    g_reports.clear();
    EXPECT_EQ(
        ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), RecordProgress, nullptr), 0);
    unsigned opens = PlatformCallCount(FAULT_OPEN);
    PlatformSetInstantSleep(false);
    CloseHandle(holder);
    EXPECT_EQ(opens, 1u + 2u + 1u + 1u);  // payload, two holds, setup.exe, two.jvs once
    EXPECT_EQ(ReadFile(dest.path / "two.jvs"), (Bytes{1, 2, 3}));
    EXPECT_FALSE(fs::exists(dest.path / "last.bin"));
    EXPECT_EQ(g_reports.size(), 1u);
}

// An entry whose folder is gone (the destination itself is missing) fails
// at its first open.
TEST(ExtractFaults, MissingDestinationFails) {
    TempFolder work, dest;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), Files()));
    std::string missing = (dest.path / "gone").string();
    PlatformReset();
    PlatformSetInstantSleep(true);
    EXPECT_EQ(ExtractPayloadFile(file.string().c_str(), missing.c_str(), nullptr, nullptr), 0);
    unsigned opens = PlatformCallCount(FAULT_OPEN);
    PlatformSetInstantSleep(false);
    EXPECT_EQ(opens, 1u + 2u + 1u);  // payload, two holds, setup.exe once
    EXPECT_FALSE(fs::exists(missing));
}

// A folder of the same name as an entry cannot become a file at all: no
// retry makes it one, and the extraction fails.
TEST(ExtractFaults, FolderInPlaceOfAnEntryFails) {
    TempFolder work, dest;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), Files()));
    fs::create_directories(dest.path / "setup.exe");
    PlatformSetInstantSleep(true);
    EXPECT_EQ(ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), nullptr, nullptr), 0);
    PlatformSetInstantSleep(false);
    EXPECT_TRUE(fs::is_directory(dest.path / "setup.exe"));
}

// Style or lang replaced by a link before the extraction: nothing is ever
// written through it, while the entries themselves are unpacked.
TEST(ExtractFaults, SubfolderThatIsALinkIsNeverWrittenThrough) {
    TempFolder work, dest, elsewhere;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), Files()));
    fs::create_directory_symlink(elsewhere.path, dest.path / "Style");
    fs::create_directory_symlink(elsewhere.path, dest.path / "lang");
    EXPECT_EQ(ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), nullptr, nullptr), 1);
    EXPECT_TRUE(fs::is_empty(elsewhere.path));
    EXPECT_EQ(ReadFile(dest.path / "two.jvs"), RandomBytes(PAYLOAD_PIECE_SIZE + 3, 2));
}

// While the extraction holds Style, nobody can remove or rename it; once
// it has ended, the folder is free again.
TEST(ExtractFaults, HeldSubfolderCannotBeSwapped) {
    TempFolder work, dest;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), Files()));
    static std::string style, moved;  // read by the callback below
    static std::vector<BOOL> swaps;   // results of the attempts, after every entry
    style = (dest.path / "Style").string();
    moved = (dest.path / "moved").string();
    swaps.clear();
    ProgressFn try_swap = [](uint32_t, uint32_t, uint32_t) {
        swaps.push_back(RemoveDirectoryA(style.c_str()));
        swaps.push_back(MoveFileExA(style.c_str(), moved.c_str(), 0));
        return 1;
    };
    EXPECT_EQ(ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), try_swap, nullptr), 1);
    EXPECT_EQ(swaps, std::vector<BOOL>(8, FALSE));
    EXPECT_TRUE(fs::exists(dest.path / "Style" / "two.jvs"));
    EXPECT_TRUE(MoveFileExA(style.c_str(), moved.c_str(), 0));
}
