// Shared bookkeeping of the POSIX stand-in: handle table, fault injection,
// call log, last error, path translation, and the test controls that span
// every piece (PlatformReset, PlatformLiveHandles).
//
// Everything is guarded by plain process-wide locks; throughput is not a
// goal. Handles are small multiples of four starting at HANDLE_BASE, never
// reused within a process, so a stale handle stays invalid.

#include "state.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>

namespace {

const uintptr_t HANDLE_BASE = 0x1000;  // first handle value given out
const uintptr_t HANDLE_STEP = 4;       // handles are multiples of four, as on Windows

std::mutex table_lock;                                       // guards the two below
std::map<uintptr_t, std::shared_ptr<KernelObject>> handles;  // open handles by value
uintptr_t next_handle = HANDLE_BASE;                         // value of the next handle

std::mutex fault_lock;               // guards the two arrays below
unsigned calls[FAULT_KIND_COUNT];    // calls of each kind since the last reset
unsigned fail_at[FAULT_KIND_COUNT];  // call number that fails; 0 for none

std::mutex log_lock;            // guards the log
std::vector<PlatformCall> log;  // every recorded call, in order

thread_local DWORD last_error = ERROR_SUCCESS;  // GetLastError's value for this thread

}  // namespace

// ---- last error ------------------------------------------------------------

DWORD GetLastError() {
    return last_error;
}

void SetLastError(DWORD code) {
    last_error = code;
}

/* Maps an errno value to the Windows error a caller would see for the same
   cause. Anything unexpected becomes ERROR_ACCESS_DENIED, the most common
   failure of a file call on Windows. */
void SetErrorFromErrno(int error) {
    static const struct {
        int posix;      // errno value
        DWORD windows;  // the matching Windows error
    } table[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},    {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EACCES, ERROR_ACCESS_DENIED},     {EPERM, ERROR_ACCESS_DENIED},
        {EISDIR, ERROR_ACCESS_DENIED},     {EEXIST, ERROR_ALREADY_EXISTS},
        {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},  {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {ENOSPC, ERROR_DISK_FULL},         {EBADF, ERROR_INVALID_HANDLE},
        {EINVAL, ERROR_INVALID_PARAMETER},
    };
    for (const auto& row : table) {
        if (row.posix == error) {
            SetLastError(row.windows);
            return;
        }
    }
    SetLastError(ERROR_ACCESS_DENIED);
}

// ---- handle table ----------------------------------------------------------

HANDLE NewHandle(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> hold(table_lock);
    uintptr_t value = next_handle;
    next_handle += HANDLE_STEP;
    handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
    std::lock_guard<std::mutex> hold(table_lock);
    auto found = handles.find(reinterpret_cast<uintptr_t>(handle));
    return found == handles.end() ? nullptr : found->second;
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle, ObjectKind kind) {
    std::shared_ptr<KernelObject> object = FindHandle(handle);
    return object && object->kind == kind ? object : nullptr;
}

std::shared_ptr<KernelObject> TakeHandle(HANDLE handle, ObjectKind kind) {
    std::lock_guard<std::mutex> hold(table_lock);
    auto found = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles.end() || found->second->kind != kind) {
        return nullptr;
    }
    std::shared_ptr<KernelObject> object = found->second;
    handles.erase(found);
    return object;
}

std::vector<std::shared_ptr<KernelObject>> OpenFiles() {
    std::lock_guard<std::mutex> hold(table_lock);
    std::vector<std::shared_ptr<KernelObject>> files;
    for (const auto& entry : handles) {
        if (entry.second->kind == OBJ_FILE) {
            files.push_back(entry.second);
        }
    }
    return files;
}

size_t PlatformLiveHandles() {
    std::lock_guard<std::mutex> hold(table_lock);
    return handles.size();
}

// ---- fault injection -------------------------------------------------------

bool FaultHit(PlatformFault kind) {
    std::lock_guard<std::mutex> hold(fault_lock);
    calls[kind]++;
    if (fail_at[kind] != 0 && calls[kind] == fail_at[kind]) {
        fail_at[kind] = 0;
        return true;
    }
    return false;
}

void PlatformFailNth(PlatformFault kind, unsigned n) {
    std::lock_guard<std::mutex> hold(fault_lock);
    fail_at[kind] = n == 0 ? 0 : calls[kind] + n;
}

unsigned PlatformCallCount(PlatformFault kind) {
    std::lock_guard<std::mutex> hold(fault_lock);
    return calls[kind];
}

// ---- call log --------------------------------------------------------------

void LogCall(const std::string& api, std::vector<std::string> args) {
    std::lock_guard<std::mutex> hold(log_lock);
    log.push_back(PlatformCall{api, std::move(args)});
}

std::vector<PlatformCall> PlatformCallLog() {
    std::lock_guard<std::mutex> hold(log_lock);
    return log;
}

std::string HandleText(const void* handle) {
    return std::to_string(reinterpret_cast<uintptr_t>(handle));
}

std::string Text(const char* maybe_null) {
    return maybe_null ? std::string(maybe_null) : std::string("(null)");
}

void PlatformReset() {
    {
        std::lock_guard<std::mutex> hold(fault_lock);
        for (unsigned kind = 0; kind < FAULT_KIND_COUNT; kind++) {
            calls[kind] = 0;
            fail_at[kind] = 0;
        }
    }
    {
        std::lock_guard<std::mutex> hold(log_lock);
        log.clear();
    }
    ResetFiles();
    ResetWindows();
    PlatformSetShortPath(nullptr, nullptr);
    PlatformRequireElevation(nullptr, true);
}

// ---- paths -----------------------------------------------------------------

/* Finds the entry of folder whose name equals name without regard to ASCII
   case; empty when there is none. */
static std::string MatchInFolder(const std::string& folder, const std::string& name) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) {
        return std::string();
    }
    std::string match;
    while (struct dirent* entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            match = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return match;
}

/* Backslashes become slashes first. A path that exists as written is used
   as it is; otherwise it is rebuilt one component at a time, each missing
   component replaced by its case-insensitive match in the folder resolved so
   far. Once a component matches nothing, the rest is kept as written. A
   trailing separator is kept. */
std::string PosixPath(const char* path) {
    if (!path) {
        return std::string();
    }
    std::string given = Utf8FromAnsi(path);
    for (char& c : given) {
        if (c == '\\') {
            c = '/';
        }
    }
    given = LongPathOf(given);
    struct stat info;
    if (given.empty() || lstat(given.c_str(), &info) == 0) {
        return given;
    }
    std::string resolved = given[0] == '/' ? "/" : "";  // the path rebuilt so far
    bool matching = true;  // false once a component has matched nothing
    size_t start = 0;      // start of the current component
    while (start <= given.size()) {
        size_t end = given.find('/', start);
        if (end == std::string::npos) {
            end = given.size();
        }
        std::string part = given.substr(start, end - start);
        start = end + 1;
        if (part.empty()) {
            continue;
        }
        std::string candidate = resolved + part;
        if (matching && lstat(candidate.c_str(), &info) != 0) {
            std::string match = MatchInFolder(resolved, part);
            if (match.empty()) {
                matching = false;
            } else {
                candidate = resolved + match;
            }
        }
        resolved = candidate + "/";
    }
    if (given.back() != '/' && resolved.size() > 1) {
        resolved.pop_back();
    }
    return resolved;
}

/* A symbolic link is a reparse point, and a directory as well when its
   target is one. Read-only means the owner's write bit is off. A plain file
   without any other attribute reports FILE_ATTRIBUTE_NORMAL. */
DWORD AttributesOf(const std::string& posix_path) {
    struct stat info;
    if (lstat(posix_path.c_str(), &info) != 0) {
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISLNK(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target;
        if (stat(posix_path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
        return attributes;
    }
    if (S_ISDIR(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
    if ((info.st_mode & S_IWUSR) == 0) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}
