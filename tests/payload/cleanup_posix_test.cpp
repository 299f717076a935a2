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
