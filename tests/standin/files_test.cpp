// Files, the heap, fault injection and accounting of the POSIX stand-in.

#include "scratch.h"

#include <sys/stat.h>

#include <functional>

namespace {

using Files = Scratch;

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, 0, nullptr);
}

std::string ReadAll(HANDLE file) {
    std::string bytes;
    char block[7];  // deliberately small, so reads end short
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) {
        bytes.append(block, got);
    }
    return bytes;
}

// ---- case-insensitive resolution --------------------------------------------

struct CaseRow {
    const char* opened;  // path as the caller writes it
    const char* found;   // the file that it must reach, as it exists
};

class CaseResolution : public Files, public ::testing::WithParamInterface<CaseRow> {};

TEST_P(CaseResolution, ReachesExistingFile) {
    Put("Work/Sub/Setup.EXE", "payload");
    Put(GetParam().found, std::string("this one: ") + GetParam().found);
    HANDLE file = Open(At(GetParam().opened), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(ReadAll(file), std::string("this one: ") + GetParam().found);
    EXPECT_TRUE(CloseHandle(file));
}

INSTANTIATE_TEST_SUITE_P(Paths, CaseResolution,
                         ::testing::Values(CaseRow{"Work\\Sub\\Setup.EXE", "Work/Sub/Setup.EXE"},
                                           CaseRow{"work\\sub\\setup.exe", "Work/Sub/Setup.EXE"},
                                           CaseRow{"WORK/SUB\\SETUP.exe", "Work/Sub/Setup.EXE"},
                                           CaseRow{"work\\LANG\\a.lng", "Work/lang/A.LNG"}));

// Names are resolved from a folder listing that is kept between calls;
// changes made behind the stand-in's back (created, renamed, removed, the
// folder replaced) must show at the next call all the same.
TEST_F(Files, ResolutionFollowsChangesMadeOutside) {
    namespace fs = std::filesystem;
    struct Step {
        std::function<void()> change;  // done outside the stand-in
        const char* opened;            // then opened as written
        const char* content;           // what it must hold; null: not found
    } steps[] = {
        {[&] { Put("Work/keep", ""); }, "work\\NEW.txt", nullptr},
        {[&] { Put("Work/New.Txt", "one"); }, "WORK\\new.TXT", "one"},
        {[&] { fs::rename(Posix("Work/New.Txt"), Posix("Work/Other.txt")); }, "work\\new.txt",
         nullptr},
        {[] {}, "work\\OTHER.TXT", "one"},
        {[&] { fs::remove(Posix("Work/Other.txt")); }, "Work\\other.txt", nullptr},
        {[&] {  // more events than one read of the queue takes
             for (int i = 0; i < 600; i++) {
                 Put("Work/Many-" + std::to_string(i) + ".txt", "many");
             }
         },
         "work\\MANY-599.TXT", "many"},
        {[&] {
             fs::remove_all(Posix("Work"));
             Put("Work/NEW.TXT", "two");
         },
         "work\\new.txt", "two"},
    };
    for (const Step& step : steps) {
        step.change();
        HANDLE file = Open(At(step.opened), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (!step.content) {
            EXPECT_EQ(file, INVALID_HANDLE_VALUE) << step.opened;
            continue;
        }
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << step.opened;
        EXPECT_EQ(ReadAll(file), step.content);
        CloseHandle(file);
    }
}

TEST_F(Files, CreatedNameKeepsItsCaseUnderResolvedFolders) {
    Put("Work/Style/old.jvs", "x");
    HANDLE file = Open(At("WORK\\style\\New.Jvs"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    CloseHandle(file);
    EXPECT_EQ(Get("Work/Style/New.Jvs"), "abc");
    EXPECT_FALSE(Exists("WORK"));
}

TEST_F(Files, MissingFolderIsPathNotFound) {
    EXPECT_EQ(Open(At("nowhere\\x.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(At("x.bin"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

// ---- share modes --------------------------------------------------------------

struct ShareRow {
    DWORD first_access, first_share;    // the handle kept open
    DWORD second_access, second_share;  // the later open
    bool allowed;                       // whether the later open succeeds
};

class ShareModes : public Files, public ::testing::WithParamInterface<ShareRow> {};

TEST_P(ShareModes, LaterOpenFollowsWindowsRules) {
    const ShareRow& row = GetParam();
    Put("f.bin", "data");
    HANDLE first = Open(At("f.bin"), row.first_access, row.first_share, OPEN_EXISTING);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(At("F.BIN"), row.second_access, row.second_share, OPEN_EXISTING);
    if (row.allowed) {
        EXPECT_NE(second, INVALID_HANDLE_VALUE);
        CloseHandle(second);
    } else {
        EXPECT_EQ(second, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    }
    CloseHandle(first);
    HANDLE after = Open(At("f.bin"), row.second_access, row.second_share, OPEN_EXISTING);
    EXPECT_NE(after, INVALID_HANDLE_VALUE);
    CloseHandle(after);
}

const DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
INSTANTIATE_TEST_SUITE_P(
    Table, ShareModes,
    ::testing::Values(ShareRow{R, 0, R, SR | SW, false}, ShareRow{R, SR, R, SR, true},
                      ShareRow{R, SR, W, SR, false}, ShareRow{R, SR, R, 0, false},
                      ShareRow{W, SR, R, SR, false}, ShareRow{W, SR, R, SR | SW, true},
                      ShareRow{R | W, SR | SW, R | W, SR | SW, true}, ShareRow{R, SR, 0, 0, true}));

TEST_F(Files, DeleteNeedsShareDeleteOfOpenHandles) {
    Put("a.bin", "a");
    Put("b.bin", "b");
    HANDLE a = Open(At("a.bin"), R, SR | SW, OPEN_EXISTING);
    HANDLE b = Open(At("b.bin"), R, SR | FILE_SHARE_DELETE, OPEN_EXISTING);
    EXPECT_FALSE(DeleteFileA(At("a.bin").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(Exists("a.bin"));
    EXPECT_TRUE(DeleteFileA(At("B.bin").c_str()));
    EXPECT_FALSE(Exists("b.bin"));
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_TRUE(DeleteFileA(At("a.bin").c_str()));
    EXPECT_FALSE(Exists("a.bin"));
}

TEST_F(Files, ReadOnlyFileRefusesWritingAndDeletion) {
    Put("ro.txt", "keep");
    chmod(Posix("ro.txt").c_str(), 0444);
    EXPECT_EQ(Open(At("ro.txt"), W, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA(At("ro.txt").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    HANDLE file = Open(At("ro.txt"), R, SR, OPEN_EXISTING);
    EXPECT_EQ(ReadAll(file), "keep");
    CloseHandle(file);
}

// ---- reading, writing, seeking ----------------------------------------------

TEST_F(Files, ShortReadAtEndSucceeds) {
    Put("f.bin", "0123456789");
    HANDLE file = Open(At("f.bin"), R, SR, OPEN_EXISTING);
    char buffer[16] = {};
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(file, buffer, 16, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "0123456789");
    ASSERT_TRUE(ReadFile(file, buffer, 16, &got, nullptr));
    EXPECT_EQ(got, 0u);
    CloseHandle(file);
}

struct SeekRow {
    LONG distance;
    DWORD method;
    DWORD result;    // new position, or INVALID_SET_FILE_POINTER
    char next_byte;  // byte read after the move ('\0' for end of file)
};

class Seeking : public Files, public ::testing::WithParamInterface<SeekRow> {};

TEST_P(Seeking, MovesFromBaseOrFails) {
    Put("f.bin", "0123456789");
    HANDLE file = Open(At("f.bin"), R, SR, OPEN_EXISTING);
    ASSERT_EQ(SetFilePointer(file, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_EQ(SetFilePointer(file, GetParam().distance, nullptr, GetParam().method),
              GetParam().result);
    char byte = '\0';
    DWORD got = 0;
    ReadFile(file, &byte, 1, &got, nullptr);
    EXPECT_EQ(byte, GetParam().next_byte);
    CloseHandle(file);
}

INSTANTIATE_TEST_SUITE_P(Table, Seeking,
                         ::testing::Values(SeekRow{2, FILE_BEGIN, 2, '2'},
                                           SeekRow{3, FILE_CURRENT, 7, '7'},
                                           SeekRow{-2, FILE_CURRENT, 2, '2'},
                                           SeekRow{-4, FILE_END, 6, '6'},
                                           SeekRow{0, FILE_END, 10, '\0'},
                                           SeekRow{-5, FILE_CURRENT, INVALID_SET_FILE_POINTER, '4'},
                                           SeekRow{-1, FILE_BEGIN, INVALID_SET_FILE_POINTER, '4'},
                                           SeekRow{-11, FILE_END, INVALID_SET_FILE_POINTER, '4'}));

TEST_F(Files, CreateAlwaysTruncatesAndReportsExisting) {
    Put("f.bin", "old contents");
    HANDLE file = Open(At("f.bin"), W, 0, CREATE_ALWAYS);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    DWORD written = 0;
    WriteFile(file, "new", 3, &written, nullptr);
    CloseHandle(file);
    EXPECT_EQ(Get("f.bin"), "new");
}

TEST_F(Files, HandleRightsAreChecked) {
    Put("f.bin", "abc");
    HANDLE reader = Open(At("f.bin"), R, SR | SW, OPEN_EXISTING);
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    HANDLE writer = Open(At("f.bin"), W, SR | SW, OPEN_EXISTING);
    char byte;
    EXPECT_FALSE(ReadFile(writer, &byte, 1, &count, nullptr));
    CloseHandle(reader);
    CloseHandle(writer);
    EXPECT_EQ(Get("f.bin"), "abc");
}

TEST_F(Files, CloseHandleRefusesNullInvalidAndClosed) {
    Put("f.bin", "x");
    HANDLE file = Open(At("f.bin"), R, SR, OPEN_EXISTING);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

// ---- copying and folders -------------------------------------------------------

TEST_F(Files, CopyHonoursFailIfExists) {
    Put("src.lng", "language");
    Put("dst.lng", "older");
    EXPECT_FALSE(CopyFileA(At("src.lng").c_str(), At("dst.lng").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(Get("dst.lng"), "older");
    EXPECT_TRUE(CopyFileA(At("SRC.lng").c_str(), At("dst.lng").c_str(), FALSE));
    EXPECT_EQ(Get("dst.lng"), "language");
    EXPECT_TRUE(CopyFileA(At("src.lng").c_str(), At("new.lng").c_str(), TRUE));
    EXPECT_EQ(Get("new.lng"), "language");
    EXPECT_FALSE(CopyFileA(At("missing").c_str(), At("x").c_str(), FALSE));
    EXPECT_FALSE(Exists("x"));
}

TEST_F(Files, CreateDirectoryFailsWhenPresent) {
    EXPECT_TRUE(CreateDirectoryA(At("Style").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(At("style").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(Exists("style"));
    EXPECT_FALSE(CreateDirectoryA(At("a\\b").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

// ---- module names --------------------------------------------------------------

struct ModuleRow {
    DWORD size;          // buffer size given
    DWORD result;        // what GetModuleFileNameA returns
    const char* stored;  // what the buffer holds afterwards
};

class ModuleNames : public ::testing::TestWithParam<ModuleRow> {};

TEST_P(ModuleNames, CopiesOrTruncatesLikeWindows) {
    HMODULE module = PlatformModuleForFile("C:\\dir\\launcher.exe");
    char buffer[32];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetModuleFileNameA(module, buffer, GetParam().size), GetParam().result);
    EXPECT_STREQ(buffer, GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Table, ModuleNames,
                         ::testing::Values(ModuleRow{32, 19, "C:\\dir\\launcher.exe"},
                                           ModuleRow{20, 19, "C:\\dir\\launcher.exe"},
                                           ModuleRow{19, 19, "C:\\dir\\launcher.ex"},
                                           ModuleRow{4, 4, "C:\\"}));

TEST(ModuleName, NullModuleIsRunningProgram) {
    char buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(strlen(buffer), length);
    EXPECT_NE(std::string(buffer).find("standin_test"), std::string::npos);
}

// ---- heap --------------------------------------------------------------------

TEST(Heap, CountsBlocksAndZeroFills) {
    size_t before = PlatformLiveHeapBlocks();
    unsigned char* zeroed =
        static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 4096));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::count(zeroed, zeroed + 4096, 0), 4096);
    void* plain = HeapAlloc(GetProcessHeap(), 0, 10);
    EXPECT_EQ(PlatformLiveHeapBlocks(), before + 2);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, zeroed));
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, zeroed));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, plain));
    EXPECT_EQ(PlatformLiveHeapBlocks(), before);
}

// ---- fault injection ------------------------------------------------------------

// One kind of call and a way to make it once in the scratch folder; the call
// returns whether it succeeded and undoes what it made.
struct FaultRow {
    PlatformFault kind;
    const char* name;
    std::function<bool(const Scratch&, int)> call;  // (folder, attempt number)
};

class Faults : public Files, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(Faults, ExactlyTheNthCallFails) {
    const unsigned NTH = 3;  // the call that must fail
    Put("in.bin", "input");
    PlatformFailNth(GetParam().kind, NTH);
    for (unsigned attempt = 1; attempt <= NTH + 2; attempt++) {
        bool ok = GetParam().call(*this, static_cast<int>(attempt));
        EXPECT_EQ(ok, attempt != NTH) << "attempt " << attempt;
        if (!ok) {
            EXPECT_NE(GetLastError(), (DWORD)ERROR_SUCCESS);
        }
    }
    EXPECT_EQ(PlatformCallCount(GetParam().kind), NTH + 2);
    EXPECT_EQ(PlatformLiveHeapBlocks(), 0u);
}

std::string Numbered(const char* stem, int attempt) {
    return std::string(stem) + std::to_string(attempt);
}

// Opens a file of the scratch folder.
HANDLE OpenIn(const Scratch& s, const std::string& name, DWORD access, DWORD disposition) {
    return Open(s.At(name), access, FILE_SHARE_READ, disposition);
}

const FaultRow FAULT_ROWS[] = {
    {FAULT_ALLOC, "alloc",
     [](const Scratch&, int) {
         void* block = HeapAlloc(GetProcessHeap(), 0, 64);
         return block && HeapFree(GetProcessHeap(), 0, block);
     }},
    {FAULT_OPEN, "open",
     [](const Scratch& s, int) {
         HANDLE file = OpenIn(s, "in.bin", GENERIC_READ, OPEN_EXISTING);
         return file != INVALID_HANDLE_VALUE && CloseHandle(file);
     }},
    {FAULT_READ, "read",
     [](const Scratch& s, int) {
         HANDLE file = OpenIn(s, "in.bin", GENERIC_READ, OPEN_EXISTING);
         char buffer[8];
         DWORD got = 0;
         bool ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got == 5;
         CloseHandle(file);
         return ok;
     }},
    {FAULT_WRITE, "write",
     [](const Scratch& s, int) {
         HANDLE file = OpenIn(s, "out.bin", GENERIC_WRITE, CREATE_ALWAYS);
         DWORD put = 0;
         bool ok = WriteFile(file, "abc", 3, &put, nullptr) && put == 3;
         CloseHandle(file);
         return ok;
     }},
    {FAULT_COPY, "copy",
     [](const Scratch& s, int attempt) {
         std::string to = s.root + "/" + Numbered("copy", attempt);
         return CopyFileA((s.root + "/in.bin").c_str(), to.c_str(), TRUE) != 0;
     }},
    {FAULT_DELETE, "delete",
     [](const Scratch& s, int) {
         std::ofstream(s.root + "/gone.bin") << "x";
         return DeleteFileA((s.root + "\\gone.bin").c_str()) != 0;
     }},
    {FAULT_CREATE_DIR, "create_dir",
     [](const Scratch& s, int attempt) {
         return CreateDirectoryA((s.root + "\\" + Numbered("dir", attempt)).c_str(), nullptr) != 0;
     }},
};

INSTANTIATE_TEST_SUITE_P(Kinds, Faults, ::testing::ValuesIn(FAULT_ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Files, DisarmedFaultAndResetForgetTheCount) {
    PlatformFailNth(FAULT_ALLOC, 1);
    PlatformFailNth(FAULT_ALLOC, 0);
    void* block = HeapAlloc(GetProcessHeap(), 0, 8);
    EXPECT_NE(block, nullptr);
    HeapFree(GetProcessHeap(), 0, block);
    EXPECT_EQ(PlatformCallCount(FAULT_ALLOC), 1u);
    PlatformFailNth(FAULT_ALLOC, 2);
    PlatformReset();
    EXPECT_EQ(PlatformCallCount(FAULT_ALLOC), 0u);
    for (int i = 0; i < 3; i++) {
        block = HeapAlloc(GetProcessHeap(), 0, 8);
        EXPECT_NE(block, nullptr);
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// ---- accounting ------------------------------------------------------------------

TEST_F(Files, LiveHandlesFollowOpenAndClose) {
    Put("f.bin", "x");
    size_t before = PlatformLiveHandles();
    HANDLE a = Open(At("f.bin"), R, SR, OPEN_EXISTING);
    HANDLE b = Open(At("f.bin"), R, SR, OPEN_EXISTING);
    EXPECT_EQ(PlatformLiveHandles(), before + 2);
    EXPECT_EQ(Open(At("none"), R, SR, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(PlatformLiveHandles(), before + 2);
    CloseHandle(a);
    EXPECT_EQ(PlatformLiveHandles(), before + 1);
    CloseHandle(b);
    EXPECT_EQ(PlatformLiveHandles(), before);
}

}  // namespace
