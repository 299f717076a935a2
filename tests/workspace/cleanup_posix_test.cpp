// Cleanup cases that need the stand-in's controls: entries that resist
// deletion, and symbolic links, which the stand-in reports as reparse
// points the way Windows reports junctions and links.
#include "workspace/cleanup.h"

#include "tests/payload/payload_files.h"
#include "tests/standin/testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

using namespace testpayload;
namespace fs = std::filesystem;

TEST(ClearDirectoryPosix, FolderThatCannotBeRemovedIsLeftOver) {
    TempFolder top;
    Touch(top.path / "sub" / "inner.bin");
    PlatformReset();
    PlatformFailNth(FAULT_REMOVE_DIR, 1);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_LEFT_OVER);
    EXPECT_TRUE(fs::exists(top.path / "sub"));
    EXPECT_FALSE(fs::exists(top.path / "sub" / "inner.bin"));
    EXPECT_TRUE(PlatformRebootDeletions().empty()) << "nothing is deleted by path at restart";
    PlatformReset();
}

TEST(ClearDirectoryPosix, EverySearchIsClosed) {
    TempFolder top;
    Touch(top.path / "a" / "b" / "c" / "file");
    Touch(top.path / "d" / "file");
    size_t handles = PlatformLiveHandles();
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED);
    EXPECT_EQ(PlatformLiveHandles(), handles);
}

TEST(ClearDirectoryPosix, LinksAreRemovedAndTheirTargetsSurvive) {
    TempFolder top, outside;
    Touch(outside.path / "precious" / "keep.txt");
    Touch(outside.path / "file.txt");
    ASSERT_EQ(symlink(outside.path.c_str(), (top.path / "folder-link").c_str()), 0);
    ASSERT_EQ(symlink((outside.path / "file.txt").c_str(), (top.path / "file-link").c_str()), 0);
    fs::create_directories(top.path / "nested");
    ASSERT_EQ(symlink((outside.path / "precious").c_str(), (top.path / "nested" / "l").c_str()), 0);
    SetFileAttributesA((outside.path / "file.txt").string().c_str(), FILE_ATTRIBUTE_READONLY);
    auto mode_before = fs::status(outside.path / "file.txt").permissions();

    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED);
    EXPECT_TRUE(fs::is_empty(top.path));
    EXPECT_TRUE(fs::exists(outside.path / "precious" / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside.path / "file.txt"));
    EXPECT_EQ(fs::status(outside.path / "file.txt").permissions(), mode_before);
}

TEST(ClearDirectoryPosix, PathTooLongForTheBufferIsLeftOverAndTheListingGoesOn) {
    TempFolder top;
    // A folder path so long that folder\name of a long entry exceeds MAX_PATH.
    fs::path deep = top.path / std::string(200 - top.Text().size(), 'd');
    Touch(deep / std::string(100, 'x'));
    Touch(deep / "short");
    EXPECT_EQ(ClearDirectory(deep.string().c_str()), CLEAR_LEFT_OVER);
    EXPECT_TRUE(fs::exists(deep / std::string(100, 'x')));
    EXPECT_FALSE(fs::exists(deep / "short"));
}

// Whatever in the tree is in use, nothing is deleted: a file open elsewhere
// with any sharing, a folder that is some program's current folder (open
// for traversing, sharing everything), a running program's image (no
// handle at all, but it refuses writing and deletion).
struct InUseCase {
    const char* label;
    const char* entry;  // below the top folder
    DWORD access;       // of the other party's open; 0: a program started from it
    DWORD share;
};

class ClearDirectoryInUse : public ::testing::TestWithParam<InUseCase> {};

TEST_P(ClearDirectoryInUse, LeavesEverything) {
    const InUseCase& c = GetParam();
    TempFolder top, record;
    Touch(top.path / "a.txt");
    Touch(top.path / "sub" / "deep" / "b.txt");
    std::string program = "#!/bin/sh\ntouch \"$1\"\nwhile [ ! -e \"$2\" ]; do sleep 0.02; done\n";
    WriteFile(top.path / "sub" / "run.exe", Bytes(program.begin(), program.end()));
    fs::permissions(top.path / "sub" / "run.exe", fs::perms::owner_all);
    PlatformReset();
    HANDLE other = INVALID_HANDLE_VALUE;  // the other party's handle or process
    std::string target = (top.path / c.entry).string();
    if (c.access != 0) {
        other = CreateFileA(target.c_str(), c.access, c.share, NULL, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, NULL);
    } else {
        other = PlatformStartProgram(target, "run.exe " + (record.path / "started").string() + " " +
                                                 (record.path / "release").string());
        for (int i = 0; i < 500 && !fs::exists(record.path / "started"); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_IN_USE);
    for (const char* kept : {"a.txt", "sub/deep/b.txt", "sub/run.exe"}) {
        EXPECT_TRUE(fs::exists(top.path / kept)) << kept;
    }
    if (c.access == 0) {
        Touch(record.path / "release");
        WaitForSingleObject(other, INFINITE);
    }
    CloseHandle(other);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED) << "free once let go";
    PlatformReset();
}

INSTANTIATE_TEST_SUITE_P(
    Users, ClearDirectoryInUse,
    ::testing::Values(InUseCase{"FileSharingNothing", "a.txt", GENERIC_READ, 0},
                      InUseCase{"FileSharingEverything", "sub/deep/b.txt", GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
                      InUseCase{"CurrentFolderOfAProgram", "sub/deep", FILE_TRAVERSE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
                      InUseCase{"RunningProgram", "sub/run.exe", 0, 0}),
    [](const ::testing::TestParamInfo<InUseCase>& info) { return std::string(info.param.label); });

// The handles that the deletion opens share no deletion: a folder being
// emptied cannot be renamed meanwhile, and so cannot be swapped for a
// junction that the rest of its listing would be deleted through.
TEST(ClearDirectoryPosix, AFolderBeingEmptiedCannotBeMoved) {
    TempFolder top;
    Touch(top.path / "sub" / "a.txt");
    Touch(top.path / "sub" / "b.txt");
    PlatformReset();
    std::vector<std::string> moves;  // the other party's tries
    PlatformSetCallHook([&](const PlatformCall& call) {
        if (call.api == "CreateFileA" && call.args[0].ends_with("a.txt") &&
            std::stoul(call.args[1]) & FILE_WRITE_ATTRIBUTES) {
            std::string sub = (top.path / "sub").string();
            moves.push_back(MoveFileExA(sub.c_str(), (sub + ".moved").c_str(), 0) ? "moved"
                                                                                  : "refused");
        }
    });
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED);
    PlatformSetCallHook(nullptr);
    EXPECT_EQ(moves, (std::vector<std::string>{"refused"}));
    PlatformReset();
}

// Entries swapped for links between the listing and their deletion: each
// entry is opened once as itself, so the link goes and what it leads to
// keeps its content and its attributes.
TEST(ClearDirectoryPosix, EntriesSwappedForLinksAfterTheListingAreRemovedAsLinks) {
    TempFolder top, outside;
    Touch(top.path / "a.txt");
    Touch(top.path / "d" / "x.txt");
    Touch(outside.path / "file.txt");
    Touch(outside.path / "dir" / "keep.txt");
    ASSERT_TRUE(SetFileAttributesA((outside.path / "file.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    PlatformReset();
    std::map<std::string, int> opens;  // of each entry so far: the check, then the deletion
    PlatformSetCallHook([&](const PlatformCall& call) {
        if (call.api != "CreateFileA") {
            return;
        }
        std::string entry = call.args[0].substr(call.args[0].find_last_of("\\/") + 1);
        fs::path swap = top.path / entry;
        if (++opens[entry] != 2) {
            return;
        }
        if (entry == "a.txt" && !fs::is_symlink(swap)) {
            fs::remove(swap);
            fs::create_symlink(outside.path / "file.txt", swap);
        } else if (entry == "d" && !fs::is_symlink(swap)) {
            fs::remove_all(swap);
            fs::create_directory_symlink(outside.path / "dir", swap);
        }
    });
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED);
    PlatformSetCallHook(nullptr);
    EXPECT_TRUE(fs::is_empty(top.path));
    EXPECT_TRUE(fs::exists(outside.path / "dir" / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside.path / "file.txt"));
    EXPECT_NE(GetFileAttributesA((outside.path / "file.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
              0u);
    PlatformReset();
}
