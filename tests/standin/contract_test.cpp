// The contract between the Win32 stand-in and Windows: what the launcher's
// guards rely on, checked with the same calls against the stand-in natively
// and against Wine's real services in the cross build, so that the
// imitation cannot drift from what it imitates. Share modes, a held folder,
// the owner of what the launcher creates, the access list it sets, and the
// image of a running program.
#include "platform/platform.h"
#include "tests/payload/payload_files.h"
#include "workspace/security.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const char kChildName[] = "contract-child";  // the copy of this program that runs meanwhile

HANDLE Open(const fs::path& path, DWORD access, DWORD share) {
    return CreateFileA(path.string().c_str(), access, share, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

// A second open of a file that one handle holds: whether it is let in.
struct ShareCase {
    const char* label;
    DWORD held_access, held_share;  // the handle already open
    DWORD access, share;            // the second open
    bool opens;
};

class Sharing : public ::testing::TestWithParam<ShareCase> {};

TEST_P(Sharing, SecondOpen) {
    const ShareCase& c = GetParam();
    TempFolder top;
    fs::path file = top.path / "f.bin";
    Touch(file);
    HANDLE held = Open(file, c.held_access, c.held_share);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE second = Open(file, c.access, c.share);
    DWORD error = GetLastError();  // why the second open failed, if it did
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.opens);
    if (!c.opens) {
        EXPECT_EQ(error, DWORD(ERROR_SHARING_VIOLATION));
    }
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
    }
    CloseHandle(held);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Sharing,
    ::testing::Values(ShareCase{"ReadersSharingReading", GENERIC_READ, FILE_SHARE_READ,
                                GENERIC_READ, FILE_SHARE_READ, true},
                      ShareCase{"WriterAgainstAReader", GENERIC_READ, FILE_SHARE_READ,
                                GENERIC_WRITE, FILE_SHARE_READ, false},
                      ShareCase{"AttributesOnlyAgainstAnExclusiveReader", GENERIC_READ, 0,
                                FILE_READ_ATTRIBUTES, 0, true},
                      // How the cleanup finds an entry in use: nothing shared.
                      ShareCase{"ExclusiveDeleteAgainstAReaderSharingAll", GENERIC_READ, kShareAll,
                                DELETE | FILE_READ_ATTRIBUTES, 0, false},
                      ShareCase{"ExclusiveDeleteAgainstAnAttributeReader", FILE_READ_ATTRIBUTES, 0,
                                DELETE | FILE_READ_ATTRIBUTES, 0, true},
                      ShareCase{"DeleteAgainstAHolderNotSharingIt", GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, DELETE, kShareAll, false}),
    [](const ::testing::TestParamInfo<ShareCase>& info) { return std::string(info.param.label); });

// A folder open without delete sharing cannot be renamed: the workspace's
// hold keeps it from being swapped for a junction.
TEST(Contract, AHeldFolderCannotBeMoved) {
    TempFolder top;
    fs::path folder = top.path / "held";
    fs::create_directory(folder);
    HANDLE held = Open(folder, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string moved = (top.path / "moved").string();
    EXPECT_FALSE(MoveFileExA(folder.string().c_str(), moved.c_str(), 0));
    CloseHandle(held);
    EXPECT_TRUE(MoveFileExA(folder.string().c_str(), moved.c_str(), 0)) << "free once let go";
}

/* True under Wine, which keeps no access list of a file's own: it shows
   one made from the file's Unix mode bits. */
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

typedef BOOL(WINAPI* GetKernelObjectSecurityFn)(HANDLE object, SECURITY_INFORMATION parts,
                                                PSECURITY_DESCRIPTOR buffer, DWORD size,
                                                DWORD* needed);

// A folder the launcher creates is its own; the access list it sets reads
// back as set: protected, and as many entries as its header counts (where
// the system keeps access lists: not under Wine).
TEST(Contract, OwnerAndAccessListOfAFolderTheLauncherCreates) {
    TempFolder top;
    fs::path folder = top.path / "own";
    ASSERT_TRUE(CreateDirectoryA(folder.string().c_str(), NULL));
    HANDLE held = Open(folder, GENERIC_READ | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(IsOwnedByToken(held));
    WorkspaceSecurity security;
    ASSERT_TRUE(BuildWorkspaceSecurity(&security));
    ASSERT_TRUE(ProtectObject(held, &security));
    if (UnderWine()) {
        CloseHandle(held);
        GTEST_SKIP() << "Wine shows an access list made from Unix mode bits";
    }

    HMODULE advapi = LoadLibraryExA("advapi32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto get = (GetKernelObjectSecurityFn)(void*)GetProcAddress(advapi, "GetKernelObjectSecurity");
    ASSERT_NE(get, nullptr);
    BYTE descriptor[1024];  // self-relative: header, then the DACL at the offset in bytes 16..19
    DWORD needed = 0;
    ASSERT_TRUE(get(held, DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed));
    CloseHandle(held);
    WORD control = 0;
    DWORD dacl = 0;
    std::memcpy(&control, descriptor + 2, 2);
    std::memcpy(&dacl, descriptor + 16, 4);
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    ASSERT_GT(dacl, 0u);
    ASSERT_LT(dacl + 8, needed);
    WORD aces = 0;  // AceCount, at byte 4 of the ACL
    std::memcpy(&aces, descriptor + dacl + 4, 2);
    EXPECT_EQ(aces, 3);
}

// The child: a copy of this program that waits, while it runs, for a file
// named "release" beside it. Only a run under that name does anything.
TEST(ContractChild, WaitsForItsRelease) {
    char own[MAX_PATH] = {};
    GetModuleFileNameA(NULL, own, MAX_PATH);
    fs::path self = own;
    if (self.stem() != kChildName) {
        GTEST_SKIP() << "run as the child only";
    }
    for (int i = 0; i < 3000 && !fs::exists(self.parent_path() / "release"); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A running program's image has no handle open on it once it is loaded,
// yet it refuses an open for writing (a sharing violation, which the
// cleanup takes for "in use") and its deletion; both work again once the
// program has ended.
TEST(Contract, ARunningProgramsImageRefusesWritingAndDeletion) {
    TempFolder top;
    char own[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(NULL, own, MAX_PATH), 0u);
    fs::path child = top.path / (std::string(kChildName) + fs::path(own).extension().string());
    fs::copy_file(own, child);
    fs::permissions(child, fs::perms::owner_all);
    std::string line = "\"" + child.string() + "\" --gtest_filter=ContractChild.*";
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    std::memset(&started, 0, sizeof started);
    ASSERT_TRUE(CreateProcessA(child.string().c_str(), line.data(), NULL, NULL, FALSE, 0, NULL,
                               NULL, &startup, &started));
    CloseHandle(started.hThread);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // loaded by now

    HANDLE write = Open(child, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA, 0);
    DWORD error = GetLastError();  // why the open failed
    EXPECT_EQ(write, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, DWORD(ERROR_SHARING_VIOLATION));
    if (write != INVALID_HANDLE_VALUE) {
        CloseHandle(write);
    }
    EXPECT_FALSE(DeleteFileA(child.string().c_str()));

    Touch(top.path / "release");
    EXPECT_EQ(WaitForSingleObject(started.hProcess, 30000), WAIT_OBJECT_0);
    CloseHandle(started.hProcess);
    for (int i = 0; i < 100 && !DeleteFileA(child.string().c_str()); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the loader lets go late
    }
    EXPECT_FALSE(fs::exists(child));
}

}  // namespace
