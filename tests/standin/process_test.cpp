// Threads, child processes, the mutex, Sleep and the library stand-ins.

#include "scratch.h"

#include <sys/stat.h>

#include <atomic>

namespace {

using Processes = Scratch;

// Runs fn on a stand-in thread and waits for it.
void OnOtherThread(DWORD (*fn)(LPVOID), void* parameter) {
    HANDLE thread = CreateThread(nullptr, 0, fn, parameter, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
}

// ---- the mutex --------------------------------------------------------------------

const char LOCK_NAME[] = "QELVORLOCK-test";

struct Probe {
    DWORD wait;          // WaitForSingleObject(handle, 0) on the other thread
    BOOL released;       // ReleaseMutex(handle) there
    DWORD create_error;  // GetLastError after CreateMutexA there
};

DWORD ProbeLock(LPVOID parameter) {
    Probe* probe = static_cast<Probe*>(parameter);
    HANDLE again = CreateMutexA(nullptr, TRUE, LOCK_NAME);
    probe->create_error = GetLastError();
    probe->wait = WaitForSingleObject(again, 0);
    probe->released = ReleaseMutex(again);
    CloseHandle(again);
    return 0;
}

TEST(Mutex, SecondOpenSeesOwnerAndCannotTakeOrRelease) {
    size_t before = PlatformLiveHandles();
    HANDLE lock = CreateMutexA(nullptr, TRUE, LOCK_NAME);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);  // the owner takes it again

    Probe probe{};
    OnOtherThread(ProbeLock, &probe);
    EXPECT_EQ(probe.create_error, (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(probe.wait, WAIT_TIMEOUT);
    EXPECT_FALSE(probe.released);

    EXPECT_TRUE(ReleaseMutex(lock));
    Probe still_owned{};
    OnOtherThread(ProbeLock, &still_owned);
    EXPECT_EQ(still_owned.wait, WAIT_TIMEOUT);  // taken twice, released once

    EXPECT_TRUE(ReleaseMutex(lock));
    EXPECT_FALSE(ReleaseMutex(lock));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    Probe freed{};
    OnOtherThread(ProbeLock, &freed);
    EXPECT_EQ(freed.wait, WAIT_OBJECT_0);
    EXPECT_TRUE(freed.released);

    EXPECT_TRUE(CloseHandle(lock));
    EXPECT_EQ(PlatformLiveHandles(), before);
    HANDLE fresh = CreateMutexA(nullptr, FALSE, LOCK_NAME);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);  // gone with its last handle
    CloseHandle(fresh);
}

DWORD ReleaseFromHere(LPVOID parameter) {
    return ReleaseMutex(*static_cast<HANDLE*>(parameter)) ? 1 : 0;
}

TEST(Mutex, WaiterGetsItWhenOwnerReleases) {
    HANDLE lock = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE releaser = CreateThread(nullptr, 0, ReleaseFromHere, &lock, 0, nullptr);
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    // A thread that does not own the mutex cannot give it up.
    std::atomic<DWORD> seen{WAIT_FAILED};
    struct Args {
        HANDLE lock;
        std::atomic<DWORD>* seen;
    } args{lock, &seen};
    HANDLE waiter = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            Args* a = static_cast<Args*>(p);
            a->seen->store(WaitForSingleObject(a->lock, INFINITE));
            ReleaseMutex(a->lock);
            return 0;
        },
        &args, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(waiter, 50), WAIT_TIMEOUT);
    EXPECT_EQ(seen.load(), WAIT_FAILED);
    EXPECT_TRUE(ReleaseMutex(lock));
    EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(seen.load(), WAIT_OBJECT_0);
    CloseHandle(waiter);
    CloseHandle(lock);
}

TEST(Wait, NullAndUnknownHandlesFailAtOnce) {
    EXPECT_EQ(WaitForSingleObject(nullptr, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

// ---- threads -------------------------------------------------------------------------

DWORD PauseThenCount(LPVOID parameter) {
    Sleep(30);
    ++*static_cast<std::atomic<int>*>(parameter);
    return 7;
}

TEST(Thread, HandleSignalsWhenProcedureReturns) {
    PlatformSetInstantSleep(false);
    std::atomic<int> runs{0};
    size_t before = PlatformLiveHandles();
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, PauseThenCount, &runs, 0, &id);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(PlatformLiveHandles(), before + 1);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(PlatformLiveHandles(), before);
}

TEST(Sleep, InstantSleepIsRecorded) {
    PlatformReset();
    PlatformRecordCalls(true);  // the test reads the log
    PlatformSetInstantSleep(true);
    Sleep(100000);
    Sleep(300);
    PlatformSetInstantSleep(false);
    std::vector<PlatformCall> log = PlatformCallLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].api, "Sleep");
    EXPECT_EQ(log[0].args, std::vector<std::string>{"100000"});
    EXPECT_EQ(log[1].args, std::vector<std::string>{"300"});
}

TEST(Faults, ThreadProcessAndMutexKindsFailTheNthCall) {
    PlatformReset();
    PlatformRecordCalls(true);  // the test reads the log
    PlatformFailNth(FAULT_THREAD, 2);
    PlatformFailNth(FAULT_MUTEX, 2);
    PlatformFailNth(FAULT_PROCESS, 1);
    for (int i = 1; i <= 3; i++) {
        HANDLE thread = CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
        EXPECT_EQ(thread == nullptr, i == 2);
        EXPECT_EQ(mutex == nullptr, i == 2);
        if (thread) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        CloseHandle(mutex);
    }
    PROCESS_INFORMATION info{};
    STARTUPINFOA startup{};
    EXPECT_FALSE(CreateProcessA("/bin/true", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &info));
    EXPECT_EQ(PlatformCallCount(FAULT_THREAD), 3u);
    EXPECT_EQ(PlatformCallCount(FAULT_MUTEX), 3u);
    EXPECT_EQ(PlatformCallCount(FAULT_PROCESS), 1u);
}

// ---- child processes -------------------------------------------------------------------

struct ChildRow {
    const char* what;
    const char* command_line;  // given to CreateProcessA
    const char* printed;       // what the child writes to out.txt
};

class Children : public Processes, public ::testing::WithParamInterface<ChildRow> {};

// /bin/sh runs the script in argv[2]; its output shows how the command line
// was split and what QELVOR_COMMAND_LINE held.
TEST_P(Children, GetSplitCommandLineAndExactString) {
    std::string line = GetParam().command_line;
    PROCESS_INFORMATION info{};
    STARTUPINFOA startup{};
    size_t before = PlatformLiveHandles();
    ASSERT_TRUE(CreateProcessA("\\bin\\SH", line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               root.c_str(), &startup, &info))
        << GetLastError();
    EXPECT_EQ(PlatformLiveHandles(), before + 2);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_EQ(PlatformLiveHandles(), before);
    EXPECT_EQ(Get("out.txt"), GetParam().printed);
}

// The child's own argument vector, each argument followed by '|'.
#define DUMP_ARGV "\"tr '\\0' '|' < /proc/$$/cmdline > out.txt\""
#define DUMPED_ARGV "tr '\\0' '|' < /proc/$$/cmdline > out.txt"

INSTANTIATE_TEST_SUITE_P(
    Table, Children,
    ::testing::Values(ChildRow{"exact",
                               "sh -c \"printf '%s' \\\"$QELVOR_COMMAND_LINE\\\" > out.txt\"",
                               "sh -c \"printf '%s' \\\"$QELVOR_COMMAND_LINE\\\" > out.txt\""},
                      ChildRow{"argv", "setup.exe -c " DUMP_ARGV " a\\\\b \"c d\" e\\\"f",
                               "setup.exe|-c|" DUMPED_ARGV "|a\\\\b|c d|e\"f|"},
                      ChildRow{"quotes", "x  -c " DUMP_ARGV " \"q\"\"q\" \\\\\\\"z \"\" end",
                               "x|-c|" DUMPED_ARGV "|q\"q|\\\"z||end|"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(Processes, NullCommandLineUsesApplicationPath) {
    Put("run.sh", "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$QELVOR_COMMAND_LINE\" > out.txt\n");
    chmod(Posix("run.sh").c_str(), 0755);
    std::string application = At("RUN.sh");
    PROCESS_INFORMATION info{};
    STARTUPINFOA startup{};
    ASSERT_TRUE(CreateProcessA(application.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                               root.c_str(), &startup, &info));
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    EXPECT_EQ(Get("out.txt"), Posix("run.sh") + "|" + application);
}

struct MissingRow {
    const char* what;
    const char* application;
    const char* directory;  // relative to the scratch folder, or null
    DWORD error;
};

class MissingPrograms : public Processes, public ::testing::WithParamInterface<MissingRow> {};

TEST_P(MissingPrograms, FailWithoutHandles) {
    Put("data.txt", "not a program");
    chmod(Posix("data.txt").c_str(), 0755);
    size_t before = PlatformLiveHandles();
    std::string application = At(GetParam().application);
    std::string directory = GetParam().directory ? At(GetParam().directory) : "";
    char line[] = "setup.exe /silent";
    PROCESS_INFORMATION info{};
    STARTUPINFOA startup{};
    EXPECT_FALSE(CreateProcessA(application.c_str(), line, nullptr, nullptr, FALSE, 0, nullptr,
                                GetParam().directory ? directory.c_str() : nullptr, &startup,
                                &info));
    EXPECT_EQ(GetLastError(), GetParam().error);
    EXPECT_EQ(PlatformLiveHandles(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MissingPrograms,
    ::testing::Values(MissingRow{"missing_file", "setup.exe", nullptr, ERROR_FILE_NOT_FOUND},
                      MissingRow{"missing_folder", "data.txt", "nowhere", ERROR_DIRECTORY},
                      MissingRow{"not_executable_format", "data.txt", nullptr,
                                 ERROR_BAD_EXE_FORMAT}),
    [](const auto& info) { return std::string(info.param.what); });

// ---- arguments and libraries ------------------------------------------------------------

TEST(Arguments, SetArgumentsFillsArgcArgv) {
    PlatformSetArguments({"launcher.exe", "/SILENT"});
    ASSERT_EQ(__argc, 2);
    EXPECT_STREQ(__argv[0], "launcher.exe");
    EXPECT_STREQ(__argv[1], "/SILENT");
    EXPECT_EQ(__argv[2], nullptr);
    PlatformSetArguments({"launcher.exe"});
    EXPECT_EQ(__argc, 1);
}

TEST(Libraries, Comctl32ExportsInitCommonControlsByOrdinal) {
    EXPECT_TRUE(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32));
    HMODULE comctl = LoadLibraryExA("COMCTL32.DLL", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(comctl, nullptr);
    EXPECT_EQ(LoadLibraryExA("user32.dll", nullptr, 0), nullptr);
    FARPROC init = GetProcAddress(comctl, MAKEINTRESOURCEA(17));
    EXPECT_EQ(reinterpret_cast<void*>(init), reinterpret_cast<void*>(&InitCommonControls));
    EXPECT_EQ(GetProcAddress(comctl, MAKEINTRESOURCEA(18)), nullptr);
    EXPECT_EQ(GetProcAddress(PlatformModuleForFile("/x"), MAKEINTRESOURCEA(17)), nullptr);
}

}  // namespace
