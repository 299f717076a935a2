// Bookkeeping shared by the pieces of the POSIX stand-in: the handle table,
// fault injection, the call log, the thread's last error and the translation
// of Windows paths into POSIX ones. Internal to the stand-in.
//
// One table holds every kernel object (files, searches, threads, processes,
// mutexes) behind small integer handles, under one lock; that is slow next to
// a real kernel but simple, and the launcher makes few calls.
#pragma once

#include "testing.h"

#include <sys/types.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum ObjectKind { OBJ_FILE, OBJ_SEARCH, OBJ_THREAD, OBJ_PROCESS, OBJ_MUTEX, OBJ_TOKEN };

// Something a thread or process handle can be waited on for: set once, when
// the thread or process has ended.
struct Completion {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;  // the thread or process has ended
    DWORD code = 0;     // its exit code
};

// A mutex object; named ones are also in the name table while handles exist.
struct MutexObject {
    std::mutex lock;
    std::condition_variable changed;
    std::string name;        // empty for an unnamed mutex
    std::thread::id owner;   // default id while nobody owns it
    unsigned recursion = 0;  // how many times the owner has taken it
    unsigned handles = 0;    // open handles referring to it
};

// One entry of a search, taken when the search starts.
struct FoundEntry {
    std::string name;  // the entry's name in its folder
    DWORD attributes;  // as GetFileAttributesA would report them
    uint64_t size;     // file size in bytes
};

// One open handle. Only the fields of its kind are used.
struct KernelObject {
    ObjectKind kind;
    // OBJ_FILE
    int fd = -1;       // the open descriptor
    dev_t device = 0;  // identity of the file, for share-mode checks
    ino_t inode = 0;
    DWORD access = 0;              // the rights requested (OBJ_TOKEN too)
    DWORD share = 0;               // FILE_SHARE_* granted to later openers
    std::string path;              // what it has open: a link itself, or the file reached
    bool delete_on_close = false;  // FileDispositionInfo set: deleted when closed
    bool regular = false;          // a plain file: a short read means its end
    off_t position = 0;            // the file position; reads and writes give it, so a move is free
    // OBJ_SEARCH
    std::vector<FoundEntry> found;  // the listing, in directory order
    size_t next = 0;                // the entry FindNextFileA delivers next
    // OBJ_THREAD and OBJ_PROCESS
    std::shared_ptr<Completion> completion;
    pid_t pid = 0;  // OBJ_PROCESS: the child, reaped once
    // OBJ_MUTEX
    std::shared_ptr<MutexObject> mutex;
};

// The table of handles. NewHandle takes ownership of the object.
HANDLE NewHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);
std::shared_ptr<KernelObject> FindHandle(HANDLE handle, ObjectKind kind);
// Removes the handle from the table and returns its object (null if unknown).
std::shared_ptr<KernelObject> TakeHandle(HANDLE handle, ObjectKind kind);
// Every open file handle's object.
std::vector<std::shared_ptr<KernelObject>> OpenFiles();

// Counts a call of this kind; true when the test asked it to fail.
bool FaultHit(PlatformFault kind);

// Appends one call to the log.
void LogCall(const std::string& api, std::vector<std::string> args);
bool CallsObserved();

// Records a call through LogCall when anyone observes calls (the log is on
// or a test's hook is set); otherwise not even the arguments' text is made,
// which under the sanitizers is most of a call's cost.
#define LOG_CALL(api, ...)                                                                         \
    do {                                                                                           \
        if (CallsObserved()) {                                                                     \
            LogCall(api, __VA_ARGS__);                                                             \
        }                                                                                          \
    } while (0)
std::string HandleText(const void* handle);
std::string Text(const char* maybe_null);

// Sets the thread's last error from an errno value.
void SetErrorFromErrno(int error);

// The POSIX path for a Windows-style path: backslashes become slashes, and
// each component that does not exist as written is matched against its
// folder's entries without regard to ASCII case. Components that match
// nothing are kept as given, so the result also serves for a path that is
// about to be created.
std::string PosixPath(const char* path);

// Text conversions of the stand-in's code page (text.cpp): paths on disk
// are UTF-8, the ANSI code page is US-ASCII ('?' for anything else) unless
// one was set. Utf8FromAnsi reads an ANSI path in a set code page and leaves
// it as it is under US-ASCII.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const wchar_t* wide, size_t length);
std::string AnsiFromUtf8(const std::string& text);
std::string Utf8FromAnsi(const std::string& ansi);
// The long path for a path that starts with a declared short path.
std::string LongPathOf(const std::string& posix_path);

// True when an open handle to this file or folder does not share deletion,
// so that it can be neither deleted nor renamed (files.cpp).
bool DeletionBlocked(const std::string& posix_path);

// True when the open handles to the program file refuse the loader's own
// open of it (files.cpp).
bool ImageOpenBlocked(const std::string& posix_path);

// The image of a program that has been started and not yet ended: as on
// Windows, where the loader maps it, nobody may open it for writing (a
// sharing violation) or delete it (access denied), while reading, and an
// open for DELETE sharing nothing, still succeed. ImageStarted returns the
// image's identity for ImageEnded.
struct ImageIdentity {
    dev_t device;
    ino_t inode;
};
ImageIdentity ImageStarted(const std::string& posix_path);
void ImageEnded(const ImageIdentity& image);

// The shell's start of a program, which GetProcAddress hands out for
// shell32.dll (process.cpp).
BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA info);

// The ADVAPI32 calls, which GetProcAddress hands out for advapi32.dll
// (security.cpp).
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                         DWORD* needed);
BOOL GetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR buffer,
                             DWORD size, DWORD* needed);
BOOL SetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION parts,
                             PSECURITY_DESCRIPTOR descriptor);

// Copies a path into a caller's buffer of size characters, the way the path
// calls answer: the length without the terminator, or, when it does not fit
// with its terminator, the size needed (terminator included) and nothing
// written.
template <typename Text>
DWORD CopyPathOut(const Text& path, typename Text::value_type* buffer, DWORD size) {
    if (!buffer || size < path.size() + 1) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::copy(path.c_str(), path.c_str() + path.size() + 1, buffer);
    return static_cast<DWORD>(path.size());
}

// FILE_ATTRIBUTE_* for a path, without following a final symbolic link;
// INVALID_FILE_ATTRIBUTES and errno set when it does not exist.
DWORD AttributesOf(const std::string& posix_path);

// Returns the window's name for the call log (the window table lives in
// window.cpp).
std::string WindowName(HWND window);

// Drops one handle to a mutex (mutex.cpp); the object goes with the last.
void CloseMutexHandle(const std::shared_ptr<KernelObject>& object);

// Waits for and takes a mutex (mutex.cpp), for WaitForSingleObject.
DWORD WaitForMutex(const std::shared_ptr<KernelObject>& object, DWORD milliseconds);

// Gives a file or folder just created its owner (the token's default
// owner) and its DACL: the one of the self-relative descriptor, or else the
// ACEs that its folder passes on (security.cpp).
void AssignSecurity(const std::string& posix_path, const void* descriptor);

// The stand-in's GetTempPath2W, which GetProcAddress hands out for
// kernel32.dll while a test has set its folder (folders.cpp).
DWORD GetTempPath2W(DWORD size, LPWSTR buffer);
bool HasTempPath2();

// Clearing hooks of the other pieces, called by PlatformReset.
void ResetFiles();
void ResetWindows();
