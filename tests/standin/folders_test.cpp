// Folders, attributes, searches, deletion at restart and the temporary
// folder of the POSIX stand-in.

#include "scratch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

namespace {

using Folders = Scratch;

// Lists folder\*.* into name -> attributes, checking that the listing ends
// with ERROR_NO_MORE_FILES.
std::map<std::string, DWORD> List(const std::string& folder) {
    std::map<std::string, DWORD> names;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((folder + "\\*.*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names[data.cFileName] = data.dwFileAttributes;
    } while (FindNextFileA(search, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(search));
    return names;
}

TEST_F(Folders, ListingHasDotEntriesAndReportsLinksAsReparsePoints) {
    Put("plain.txt", "x");
    Put(".hidden", "x");
    Put("sub/inner.txt", "x");
    ASSERT_EQ(symlink((root + "/sub").c_str(), Posix("to-dir").c_str()), 0);
    ASSERT_EQ(symlink((root + "/plain.txt").c_str(), Posix("to-file").c_str()), 0);
    std::map<std::string, DWORD> expected = {
        {".", FILE_ATTRIBUTE_DIRECTORY},
        {"..", FILE_ATTRIBUTE_DIRECTORY},
        {".hidden", FILE_ATTRIBUTE_NORMAL},
        {"plain.txt", FILE_ATTRIBUTE_NORMAL},
        {"sub", FILE_ATTRIBUTE_DIRECTORY},
        {"to-dir", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY},
        {"to-file", FILE_ATTRIBUTE_REPARSE_POINT},
    };
    std::map<std::string, DWORD> listed = List(root);
    for (auto& entry : listed) {
        entry.second &= ~FILE_ATTRIBUTE_READONLY;  // the parent's mode is not ours to fix
    }
    EXPECT_EQ(listed, expected);
}

TEST_F(Folders, SearchErrorsAndCaseInsensitiveFolder) {
    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirstFileA(At("missing\\*.*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    Put("Lang/A.lng", "x");
    Put("Lang/b.jvs", "x");
    EXPECT_EQ(List(At("LANG")).count("A.lng"), 1u);
    HANDLE search = FindFirstFileA(At("lang\\*.LNG").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "A.lng");
    EXPECT_FALSE(FindNextFileA(search, &data));
    EXPECT_FALSE(CloseHandle(search));  // searches end with FindClose only
    EXPECT_TRUE(FindClose(search));
    EXPECT_FALSE(FindClose(search));
}

TEST_F(Folders, SearchHandleIsCounted) {
    size_t before = PlatformLiveHandles();
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(At("*.*").c_str(), &data);
    EXPECT_EQ(PlatformLiveHandles(), before + 1);
    FindClose(search);
    EXPECT_EQ(PlatformLiveHandles(), before);
}

struct AttributeRow {
    const char* what;
    mode_t mode;     // permission bits of the file
    DWORD set;       // attributes given to SetFileAttributesA (0: not called)
    DWORD reported;  // what GetFileAttributesA then says
};

class Attributes : public Folders, public ::testing::WithParamInterface<AttributeRow> {};

TEST_P(Attributes, FollowOwnerWriteBit) {
    Put("f.txt", "x");
    chmod(Posix("f.txt").c_str(), GetParam().mode);
    if (GetParam().set != 0) {
        EXPECT_TRUE(SetFileAttributesA(At("F.TXT").c_str(), GetParam().set));
    }
    EXPECT_EQ(GetFileAttributesA(At("f.txt").c_str()), GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Attributes,
    ::testing::Values(
        AttributeRow{"plain", 0644, 0, FILE_ATTRIBUTE_NORMAL},
        AttributeRow{"read_only", 0444, 0, FILE_ATTRIBUTE_READONLY},
        AttributeRow{"no_owner_write", 0466, 0, FILE_ATTRIBUTE_READONLY},
        AttributeRow{"set_normal", 0444, FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL},
        AttributeRow{"set_read_only", 0666, FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(Folders, MissingPathHasNoAttributes) {
    EXPECT_EQ(GetFileAttributesA(At("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesA(At("none").c_str(), FILE_ATTRIBUTE_NORMAL));
}

TEST_F(Folders, RemoveDirectoryOnlyWhenEmptyAndWritable) {
    Put("full/f.txt", "x");
    std::filesystem::create_directory(Posix("empty"));
    std::filesystem::create_directory(Posix("locked"));
    chmod(Posix("locked").c_str(), 0555);
    EXPECT_FALSE(RemoveDirectoryA(At("full").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryA(At("full\\f.txt").c_str()));
    EXPECT_FALSE(RemoveDirectoryA(At("locked").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetFileAttributesA(At("locked").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(RemoveDirectoryA(At("LOCKED").c_str()));
    EXPECT_TRUE(RemoveDirectoryA(At("Empty").c_str()));
    EXPECT_FALSE(Exists("empty"));
    EXPECT_FALSE(Exists("locked"));
    EXPECT_TRUE(Exists("full/f.txt"));
}

TEST_F(Folders, LinksAreRemovedNotTheirTargets) {
    Put("target/keep.txt", "x");
    Put("file.txt", "x");
    ASSERT_EQ(symlink((root + "/target").c_str(), Posix("dirlink").c_str()), 0);
    ASSERT_EQ(symlink((root + "/file.txt").c_str(), Posix("filelink").c_str()), 0);
    EXPECT_TRUE(RemoveDirectoryA(At("dirlink").c_str()));
    EXPECT_TRUE(DeleteFileA(At("filelink").c_str()));
    EXPECT_FALSE(Exists("dirlink"));
    EXPECT_FALSE(Exists("filelink"));
    EXPECT_TRUE(Exists("target/keep.txt"));
    EXPECT_TRUE(Exists("file.txt"));
}

TEST_F(Folders, DeletionAtRestartIsOnlyRecorded) {
    Put("busy.bin", "x");
    EXPECT_TRUE(MoveFileExA(At("busy.bin").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_TRUE(Exists("busy.bin"));
    EXPECT_EQ(PlatformRebootDeletions(), std::vector<std::string>{At("busy.bin")});
    PlatformReset();
    EXPECT_TRUE(PlatformRebootDeletions().empty());
}

TEST_F(Folders, FaultsOfFolderKindsHitTheNthCall) {
    const struct {
        PlatformFault kind;
        std::function<bool(int)> call;
    } rows[] = {
        {FAULT_REMOVE_DIR,
         [&](int i) {
             std::filesystem::create_directory(Posix("d" + std::to_string(i)));
             return RemoveDirectoryA(At("d" + std::to_string(i)).c_str()) != 0;
         }},
        {FAULT_FIND,
         [&](int) {
             WIN32_FIND_DATAA data;
             HANDLE search = FindFirstFileA(At("*.*").c_str(), &data);
             return search != INVALID_HANDLE_VALUE && FindClose(search);
         }},
    };
    for (const auto& row : rows) {
        PlatformFailNth(row.kind, 2);
        EXPECT_TRUE(row.call(1));
        EXPECT_FALSE(row.call(2));
        EXPECT_TRUE(row.call(3));
        EXPECT_EQ(PlatformCallCount(row.kind), 3u);
    }
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

// ---- the temporary folder -----------------------------------------------------------

struct TempRow {
    const char* set;       // given to PlatformSetTempPath
    DWORD size;            // buffer size
    DWORD result;          // GetTempPathA's result
    const char* contents;  // the buffer afterwards ("#..." when untouched)
};

class TempPath : public ::testing::TestWithParam<TempRow> {};

TEST_P(TempPath, EndsInSeparatorAndRefusesSmallBuffers) {
    PlatformSetTempPath(GetParam().set);
    char buffer[32];
    memset(buffer, '#', sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    EXPECT_EQ(GetTempPathA(GetParam().size, buffer), GetParam().result);
    EXPECT_EQ(std::string(buffer).substr(0, strlen(GetParam().contents)), GetParam().contents);
    PlatformSetTempPath(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, TempPath,
                         ::testing::Values(TempRow{"/t/work", 32, 8, "/t/work/"},
                                           TempRow{"/t/work/", 32, 8, "/t/work/"},
                                           TempRow{"/t/work", 9, 8, "/t/work/"},
                                           TempRow{"/t/work", 8, 9, "########"},
                                           TempRow{"/t/work", 0, 9, "####"}));

TEST(TempPathDefault, FollowsTmpdir) {
    PlatformSetTempPath(nullptr);
    setenv("TMPDIR", "/var/tmp-test", 1);
    char buffer[MAX_PATH];
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 14u);
    EXPECT_STREQ(buffer, "/var/tmp-test/");
    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
}

}  // namespace
