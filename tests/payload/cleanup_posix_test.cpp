// Cleanup cases that need the stand-in's controls: entries that resist
// deletion, and symbolic links, which the stand-in reports as reparse
// points the way Windows reports junctions and links.
#include "payload/cleanup.h"

#include "payload_files.h"
#include "platform/posix/testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace testpayload;
namespace fs = std::filesystem;

TEST(ClearDirectoryPosix, FileOpenWithoutSharingIsScheduledAndTheRestGoes) {
    TempFolder top;
    fs::path held = top.path / "held.bin";
    Touch(held);
    Touch(top.path / "other.bin");
    Touch(top.path / "sub" / "inner.bin");
    PlatformReset();
    HANDLE file = CreateFileA(held.string().c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    CloseHandle(file);
    EXPECT_TRUE(fs::exists(held));
    EXPECT_FALSE(fs::exists(top.path / "other.bin"));
    EXPECT_FALSE(fs::exists(top.path / "sub"));
    EXPECT_EQ(PlatformRebootDeletions(), (std::vector<std::string>{top.Text() + "\\held.bin"}));
}

TEST(ClearDirectoryPosix, FolderThatCannotBeRemovedIsScheduled) {
    TempFolder top;
    Touch(top.path / "sub" / "inner.bin");
    PlatformReset();
    PlatformFailNth(FAULT_REMOVE_DIR, 1);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    EXPECT_EQ(PlatformRebootDeletions(), (std::vector<std::string>{top.Text() + "\\sub"}));
    EXPECT_FALSE(fs::exists(top.path / "sub" / "inner.bin"));
    PlatformReset();
}

TEST(ClearDirectoryPosix, EverySearchIsClosed) {
    TempFolder top;
    Touch(top.path / "a" / "b" / "c" / "file");
    Touch(top.path / "d" / "file");
    size_t handles = PlatformLiveHandles();
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
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

    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    EXPECT_TRUE(fs::is_empty(top.path));
    EXPECT_TRUE(fs::exists(outside.path / "precious" / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside.path / "file.txt"));
    EXPECT_EQ(fs::status(outside.path / "file.txt").permissions(), mode_before);
}

TEST(ClearDirectoryPosix, PathTooLongForTheBufferIsSkippedAndTheListingGoesOn) {
    TempFolder top;
    // A folder path so long that folder\name of a long entry exceeds MAX_PATH.
    fs::path deep = top.path / std::string(200 - top.Text().size(), 'd');
    Touch(deep / std::string(100, 'x'));
    Touch(deep / "short");
    EXPECT_EQ(ClearDirectory(deep.string().c_str()), 1);
    EXPECT_TRUE(fs::exists(deep / std::string(100, 'x')));
    EXPECT_FALSE(fs::exists(deep / "short"));
}

// Deletion at restart works by path at boot, when anyone who could write on
// the way could have swapped a folder for a junction: it is asked for only
// inside folders that the launcher's token owns, all the way down.
struct RestartCase {
    const char* label;
    const char* top_owner;  // null: the token's user
    const char* sub_owner;
    std::vector<std::string> scheduled;  // below the top folder
};

class ClearDirectoryRestart : public ::testing::TestWithParam<RestartCase> {};

TEST_P(ClearDirectoryRestart, IsScheduledOnlyInsideFoldersTheTokenOwns) {
    const RestartCase& c = GetParam();
    TempFolder top;
    Touch(top.path / "held.bin");
    Touch(top.path / "sub" / "inner.bin");
    PlatformReset();
    for (auto [path, owner] : {std::pair{top.path, c.top_owner}, {top.path / "sub", c.sub_owner}}) {
        if (owner) {
            PlatformSetOwner(path.c_str(), owner);
        }
    }
    std::vector<HANDLE> held;  // open without delete sharing, as by another program
    for (const char* name : {"held.bin", "sub/inner.bin"}) {
        held.push_back(CreateFileA((top.path / name).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
        ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    for (HANDLE h : held) {
        CloseHandle(h);
    }
    std::vector<std::string> expected;
    for (const std::string& below : c.scheduled) {
        expected.push_back(top.Text() + "\\" + below);
    }
    EXPECT_EQ(PlatformRebootDeletions(), expected);
    PlatformReset();
}

INSTANTIATE_TEST_SUITE_P(
    Owners, ClearDirectoryRestart,
    ::testing::Values(
        RestartCase{"AllOwned", nullptr, nullptr, {"held.bin", "sub\\inner.bin", "sub"}},
        RestartCase{"TopOwnedByAnother", "S-1-5-21-9-9-9-1002", nullptr, {}},
        RestartCase{
            "SubFolderOwnedByAnother", nullptr, "S-1-5-21-9-9-9-1002", {"held.bin", "sub"}}),
    [](const ::testing::TestParamInfo<RestartCase>& info) {
        return std::string(info.param.label);
    });

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
    PlatformSetCallHook([&](const PlatformCall& call) {
        if (call.api != "CreateFileA") {
            return;
        }
        std::string entry = call.args[0].substr(call.args[0].find_last_of("\\/") + 1);
        fs::path swap = top.path / entry;
        if (entry == "a.txt" && !fs::is_symlink(swap)) {
            fs::remove(swap);
            fs::create_symlink(outside.path / "file.txt", swap);
        } else if (entry == "d" && !fs::is_symlink(swap)) {
            fs::remove_all(swap);
            fs::create_directory_symlink(outside.path / "dir", swap);
        }
    });
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    PlatformSetCallHook(nullptr);
    EXPECT_TRUE(fs::is_empty(top.path));
    EXPECT_TRUE(fs::exists(outside.path / "dir" / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside.path / "file.txt"));
    EXPECT_NE(GetFileAttributesA((outside.path / "file.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
              0u);
    PlatformReset();
}
