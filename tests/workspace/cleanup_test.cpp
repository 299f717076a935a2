// Emptying a workspace tree through the platform's own file services:
// natively against the stand-in, under Wine against the real API.
#include "workspace/cleanup.h"

#include "tests/payload/payload_files.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

bool IsEmptyFolder(const fs::path& path) {
    return fs::is_directory(path) && fs::is_empty(path);
}

}  // namespace

TEST(ClearDirectory, MissingFolderGivesZeroAndCreatesNothing) {
    TempFolder top;
    fs::path missing = top.path / "missing";
    EXPECT_EQ(ClearDirectory(missing.string().c_str()), CLEAR_NO_FOLDER);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(FileExists(missing.string().c_str()));
}

TEST(ClearDirectory, PathNamingAFileGivesZeroAndKeepsIt) {
    TempFolder top;
    Touch(top.path / "file.txt");
    EXPECT_TRUE(FileExists((top.path / "file.txt").string().c_str()));
    EXPECT_EQ(ClearDirectory((top.path / "file.txt").string().c_str()), CLEAR_NO_FOLDER);
    EXPECT_TRUE(fs::exists(top.path / "file.txt"));
}

TEST(ClearDirectory, EmptyFolderStays) {
    TempFolder top;
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED);
    EXPECT_TRUE(IsEmptyFolder(top.path));
}

TEST(ClearDirectory, TreeThreeLevelsDeepIsEmptiedAndTheFolderStays) {
    TempFolder top;
    fs::path ws = top.path / "qelvor";
    Touch(ws / "setup.exe");
    Touch(ws / ".hidden");
    Touch(ws / "Style" / "a.jvs");
    Touch(ws / "lang" / "b.lng");
    Touch(ws / "one" / "two" / "three" / "deep.bin");
    fs::create_directories(ws / "one" / "empty");
    Touch(top.path / "beside.txt");  // reachable through ".." only
    SetFileAttributesA((ws / "lang" / "b.lng").string().c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((ws / "setup.exe").string().c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(ClearDirectory(ws.string().c_str()), CLEAR_EMPTIED);
    EXPECT_TRUE(IsEmptyFolder(ws));
    EXPECT_TRUE(fs::exists(top.path / "beside.txt"));
}

TEST(ClearDirectory, ReadOnlyFileIsDeleted) {
    TempFolder top;
    fs::path file = top.path / "readonly.txt";
    Touch(file);
    ASSERT_TRUE(SetFileAttributesA(file.string().c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_NE(GetFileAttributesA(file.string().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED);
    EXPECT_FALSE(fs::exists(file));
}

// A file held open elsewhere, whatever it shares: nothing in the tree is
// deleted, for it may be a running setup's.
TEST(ClearDirectory, FileInUseLeavesTheWholeTreeAsItIs) {
    for (DWORD share : {DWORD(0), DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)}) {
        TempFolder top;
        fs::path held = top.path / "sub" / "held.bin";
        Touch(held);
        Touch(top.path / "other.bin");
        HANDLE file = CreateFileA(held.string().c_str(), GENERIC_READ, share, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_IN_USE) << "share " << share;
        CloseHandle(file);
        EXPECT_TRUE(fs::exists(held));
        EXPECT_TRUE(fs::exists(top.path / "other.bin"));
    }
}

#ifdef _WIN32
// A link planted in the workspace is removed as a link; the folder it
// points to survives untouched.
TEST(ClearDirectory, FolderLinkIsRemovedWithoutTouchingItsTarget) {
    TempFolder top, outside;
    Touch(outside.path / "precious.txt");
    fs::path link = top.path / "link";
    if (!CreateSymbolicLinkA(link.string().c_str(), outside.Text().c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "this system cannot make symbolic links (Wine 8 does not)";
    }
    DWORD attributes = GetFileAttributesA(link.string().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        GTEST_SKIP()
            << "this system makes links that are not reparse points (Wine 8 fakes the call)";
    }
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), CLEAR_EMPTIED);
    EXPECT_TRUE(fs::exists(outside.path / "precious.txt"));
    EXPECT_FALSE(FileExists(link.string().c_str()));
}
#endif
