// Emptying a workspace tree through the platform's own file services:
// natively against the stand-in, under Wine against the real API.
#include "payload/cleanup.h"

#include "payload_files.h"
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
    EXPECT_EQ(ClearDirectory(missing.string().c_str()), 0);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(FileExists(missing.string().c_str()));
}

TEST(ClearDirectory, PathNamingAFileGivesZeroAndKeepsIt) {
    TempFolder top;
    Touch(top.path / "file.txt");
    EXPECT_TRUE(FileExists((top.path / "file.txt").string().c_str()));
    EXPECT_EQ(ClearDirectory((top.path / "file.txt").string().c_str()), 0);
    EXPECT_TRUE(fs::exists(top.path / "file.txt"));
}

TEST(ClearDirectory, EmptyFolderStays) {
    TempFolder top;
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
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

    EXPECT_EQ(ClearDirectory(ws.string().c_str()), 1);
    EXPECT_TRUE(IsEmptyFolder(ws));
    EXPECT_TRUE(fs::exists(top.path / "beside.txt"));
}

TEST(ClearDirectory, ReadOnlyFileIsDeleted) {
    TempFolder top;
    fs::path file = top.path / "readonly.txt";
    Touch(file);
    ASSERT_TRUE(SetFileAttributesA(file.string().c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_NE(GetFileAttributesA(file.string().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    EXPECT_FALSE(fs::exists(file));
}

#ifdef _WIN32
// A file held open without sharing cannot go: it stays, is handed to the
// system for deletion at restart, and the other entries are still deleted.
TEST(ClearDirectory, FileInUseStaysAndIsScheduledAtRestart) {
    TempFolder top;
    fs::path held = top.path / "held.bin";
    Touch(held);
    Touch(top.path / "other.bin");
    Touch(top.path / "sub" / "x.bin");
    HANDLE file = CreateFileA(held.string().c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    EXPECT_TRUE(fs::exists(held));
    EXPECT_FALSE(fs::exists(top.path / "other.bin"));
    EXPECT_FALSE(fs::exists(top.path / "sub"));
    CloseHandle(file);

    // The scheduled deletions are in the session manager's pending list.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "System\\CurrentControlSet\\Control\\Session Manager", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    std::vector<char> value(1 << 16);
    DWORD size = DWORD(value.size());
    LONG got = RegQueryValueExA(key, "PendingFileRenameOperations", NULL, NULL,
                                reinterpret_cast<BYTE*>(value.data()), &size);
    RegCloseKey(key);
    ASSERT_EQ(got, ERROR_SUCCESS);
    std::string pending(value.data(), size);
    for (auto& c : pending) {
        c = char(tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_NE(pending.find("held.bin"), std::string::npos);
}

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
    EXPECT_EQ(ClearDirectory(top.Text().c_str()), 1);
    EXPECT_TRUE(fs::exists(outside.path / "precious.txt"));
    EXPECT_FALSE(FileExists(link.string().c_str()));
}
#endif
