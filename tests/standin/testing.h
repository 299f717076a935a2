// Test controls of the POSIX stand-in: fault injection, accounting of handles
// and heap blocks, and the records that the headless services keep. Only
// tests include this; the launcher's code never does.
#pragma once

#include "winapi.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

// Kinds of call that a test can make fail.
enum PlatformFault {
    FAULT_ALLOC,        // HeapAlloc
    FAULT_OPEN,         // CreateFileA, either for reading or writing
    FAULT_READ,         // ReadFile
    FAULT_WRITE,        // WriteFile
    FAULT_SHORT_WRITE,  // WriteFile writes half and still reports success
    FAULT_COPY,         // CopyFileA
    FAULT_DELETE,       // DeleteFileA
    FAULT_CREATE_DIR,   // CreateDirectoryA
    FAULT_REMOVE_DIR,   // RemoveDirectoryA
    FAULT_FIND,         // FindFirstFileA
    FAULT_PROCESS,      // CreateProcessA
    FAULT_THREAD,       // CreateThread
    FAULT_MUTEX,        // CreateMutexA
    FAULT_KIND_COUNT
};

// Make the nth call of this kind from now on fail (n counts from 1; 0 disarms).
void PlatformFailNth(PlatformFault kind, unsigned n);
// Number of calls of this kind since the last PlatformReset.
unsigned PlatformCallCount(PlatformFault kind);

// Live objects: open handles of every kind (files, searches, threads,
// processes, mutexes) and heap blocks not yet released.
size_t PlatformLiveHandles();
size_t PlatformLiveHeapBlocks();

// A module instance whose GetModuleFileNameA names this file. A null
// instance names the running executable.
HMODULE PlatformModuleForFile(const char* path);

// The folder that GetTempPathA reports (a trailing separator is added).
void PlatformSetTempPath(const char* path);

// Declares short_path (a Windows-style or POSIX path) as the 8.3 alias of
// the existing long_path: GetShortPathNameW reports it, and every call
// resolves it to the long path. A null short_path forgets every alias.
void PlatformSetShortPath(const char* long_path, const char* short_path);

// The ANSI code page from now on (932, 1252, ...; 0 for the US-ASCII one the
// stand-in starts with): GetACP reports it, the conversions use it, and the
// path calls read their paths in it, as UTF-8 on disk. Returns false, and
// keeps the old one, for a code page that iconv does not know. Not undone
// by PlatformReset.
bool PlatformSetAnsiCodepage(UINT codepage);

// The program's manifest asks for administrator rights: CreateProcessA of
// it fails with ERROR_ELEVATION_REQUIRED, and the shell's "runas" start
// shows the prompt, which the user accepts or declines (ERROR_CANCELLED).
// A null program forgets the setting.
void PlatformRequireElevation(const char* program, bool user_accepts);

// Starts program with the command line through CreateProcessA, as another
// party would; returns the process's handle (the thread's is closed), or
// null when it cannot be started.
HANDLE PlatformStartProgram(const std::string& program, std::string command_line);

// Sleep returns at once while instant sleep is on; each call is recorded.
void PlatformSetInstantSleep(bool instant);

// The command line as the runtime splits it (__argc, __argv); the raw line
// that GetCommandLineA gives is the arguments joined by blanks, quoted
// where they hold one.
void PlatformSetArguments(const std::vector<std::string>& arguments);

// The raw command line, which GetCommandLineA gives as it is and the
// runtime's rules split into __argc and __argv.
void PlatformSetCommandLine(const std::string& command_line);

// The string table that LoadStringA reads; ids not in it are not found.
void PlatformSetStrings(const std::map<UINT, std::string>& strings);

// Paths that MoveFileExA scheduled for deletion at the next restart.
std::vector<std::string> PlatformRebootDeletions();

// One recorded call: the API's name and its arguments as text (paths as
// given, handles and numbers in decimal, window handles as their names).
struct PlatformCall {
    std::string api;
    std::vector<std::string> args;
};
std::vector<PlatformCall> PlatformCallLog();

// Whether calls are added to the log: off until a test turns it on, and
// again after PlatformReset. A test that reads the log turns it on; the log
// keeps every call until then.
void PlatformRecordCalls(bool on);

// A headless window that records the messages it receives; `name` appears
// for it in the call log.
HWND PlatformNewWindow(const char* name);
bool PlatformWindowVisible(HWND window);

// The client rectangle that GetClientRect reports for dialogs made from now
// on (0, 0, 423, 81 until set).
void PlatformSetDialogClientRect(const RECT& client);

// Runs hook at the start of every recorded call, on the calling thread, with
// the call as the log shows it; calls that the hook itself makes are not
// passed to it. A test plays another party acting at that moment with it.
// An empty hook removes it.
void PlatformSetCallHook(std::function<void(const PlatformCall&)> hook);

// The launcher's token: its user and the owner it gives new objects, as
// SID texts ("S-1-5-18"); a null owner is the user. Until set, both are
// S-1-5-21-1-2-3-1001.
void PlatformSetToken(const char* user, const char* owner);

// Makes the existing file or folder at path owned by sid, as if someone
// else had created it.
void PlatformSetOwner(const char* path, const char* sid);

// The security that the stand-in keeps of a file or folder.
struct PlatformAce {
    std::string sid;  // as text
    DWORD mask;       // access granted
    BYTE flags;       // OBJECT_INHERIT_ACE, CONTAINER_INHERIT_ACE, INHERITED_ACE
};
struct PlatformSecurity {
    std::string owner;              // as text
    bool dacl_protected;            // nothing inherited from its folder
    std::vector<PlatformAce> dacl;  // empty when it has none of its own
};
PlatformSecurity PlatformSecurityOf(const char* path);

// KERNEL32 has GetTempPath2W, reporting folder (a trailing separator is
// added); a null folder takes it away again, as on Windows 10.
void PlatformSetTempPath2(const char* folder);

// Forget every fault, record, counter, short path and elevation setting (live objects are kept, so
// a test can still check them afterwards).
void PlatformReset();
