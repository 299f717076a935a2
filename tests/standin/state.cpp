// Shared bookkeeping of the POSIX stand-in: handle table, fault injection,
// call log, last error, path translation, and the test controls that span
// every piece (PlatformReset, PlatformLiveHandles).
//
// Everything is guarded by plain process-wide locks; throughput is not a
// goal. Handles are small multiples of four starting at HANDLE_BASE, never
// reused within a process, so a stale handle stays invalid.

#include "state.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <unordered_map>

namespace {

const uintptr_t HANDLE_BASE = 0x1000;  // first handle value given out
const uintptr_t HANDLE_STEP = 4;       // handles are multiples of four, as on Windows

std::mutex table_lock;                                       // guards the two below
std::map<uintptr_t, std::shared_ptr<KernelObject>> handles;  // open handles by value
uintptr_t next_handle = HANDLE_BASE;                         // value of the next handle

std::mutex fault_lock;               // guards the two arrays below
unsigned calls[FAULT_KIND_COUNT];    // calls of each kind since the last reset
unsigned fail_at[FAULT_KIND_COUNT];  // call number that fails; 0 for none

std::mutex log_lock;                                 // guards the log and the hook
std::vector<PlatformCall> log;                       // every recorded call, in order
std::function<void(const PlatformCall&)> call_hook;  // a test's other party, or empty
thread_local bool in_hook = false;                   // the hook's own calls pass it by
bool recording = false;                              // calls are added to the log

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

/* Records the call, then hands it to the test's hook outside the lock.
   Without a hook the record is moved into the log, not copied. */
void LogCall(const std::string& api, std::vector<std::string> args) {
    PlatformCall call{api, std::move(args)};
    std::function<void(const PlatformCall&)> hook;  // copied, so that it may replace itself
    {
        std::lock_guard<std::mutex> hold(log_lock);
        hook = in_hook ? nullptr : call_hook;
        if (!hook) {
            if (recording) {
                log.push_back(std::move(call));
            }
            return;
        }
        if (recording) {
            log.push_back(call);
        }
    }
    if (hook) {
        in_hook = true;
        hook(call);
        in_hook = false;
    }
}

void PlatformSetCallHook(std::function<void(const PlatformCall&)> hook) {
    std::lock_guard<std::mutex> hold(log_lock);
    call_hook = std::move(hook);
}

bool CallsObserved() {
    std::lock_guard<std::mutex> hold(log_lock);
    return recording || (call_hook && !in_hook);
}

void PlatformRecordCalls(bool on) {
    std::lock_guard<std::mutex> hold(log_lock);
    recording = on;
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
        call_hook = nullptr;
        recording = false;
    }
    ResetFiles();
    ResetWindows();
    PlatformSetShortPath(nullptr, nullptr);
    PlatformRequireElevation(nullptr, true);
    PlatformSetToken(nullptr, nullptr);
    PlatformSetTempPath2(nullptr);
}

// ---- paths -----------------------------------------------------------------

/* Lower-cases ASCII letters, the folding that name matching uses. */
static std::string FoldedName(const std::string& name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

namespace {

// A folder's listing, keyed by folded name, kept current by inotify: the
// kernel queues an event for every entry created, removed or renamed in a
// watched folder before the call that made the change returns, so draining
// the queue before each look-up makes the listing exact, whoever changed the
// folder. A listing is found by the folder's path as given, relative ones
// included, and used only while that path still names the same folder (the
// working directory may change, a parent may be renamed). Without inotify
// every look-up reads the folder afresh.
struct FolderListing {
    dev_t device = 0;  // identity of the folder the listing belongs to
    ino_t inode = 0;
    std::unordered_map<std::string, std::vector<std::string>> names;  // folded -> as on disk
};

const size_t MAX_LISTINGS = 64;  // folders watched at once; the oldest goes first

std::mutex listing_lock;                          // guards everything below
int watcher = -2;                                 // inotify descriptor; -2 before the first use
std::map<int, FolderListing> listings;            // by watch descriptor
std::map<std::string, int> watch_of;              // folder path -> watch descriptor
std::vector<int> watch_order;                     // watch descriptors, oldest first
alignas(struct inotify_event) char events[8192];  // one read of the event queue
#define LONGEST_EVENT                                                                              \
    (sizeof(struct inotify_event) + NAME_MAX + 1)  // a record with the longest name

}  // namespace

/* Forgets one folder's listing and its watch. */
static void DropListing(int watch) {
    listings.erase(watch);
    for (auto it = watch_of.begin(); it != watch_of.end();) {
        it = it->second == watch ? watch_of.erase(it) : std::next(it);
    }
    watch_order.erase(std::remove(watch_order.begin(), watch_order.end(), watch),
                      watch_order.end());
    inotify_rm_watch(watcher, watch);
}

/* Applies the queued events to the listings. A lost event (queue overflow)
   drops them all; a folder that went away or moved drops its own. A read
   takes every queued event that fits, so one that leaves room for the
   longest event has emptied the queue, and no further read is made. */
static void ApplyFolderEvents() {
    for (ssize_t got = sizeof events; got > (ssize_t)(sizeof events - LONGEST_EVENT);) {
        got = read(watcher, events, sizeof events);
        if (got <= 0) {
            return;
        }
        for (ssize_t at = 0; at < got;) {
            const struct inotify_event* event =
                reinterpret_cast<const struct inotify_event*>(events + at);
            at += static_cast<ssize_t>(sizeof *event + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                while (!watch_order.empty()) {
                    DropListing(watch_order.front());
                }
                continue;
            }
            auto found = listings.find(event->wd);
            if (found == listings.end()) {
                continue;
            }
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                DropListing(event->wd);
                continue;
            }
            std::string name(event->name);
            std::string folded = FoldedName(name);  // the listing's key
            std::vector<std::string>& spellings = found->second.names[folded];
            spellings.erase(std::remove(spellings.begin(), spellings.end(), name), spellings.end());
            if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                spellings.push_back(name);
            } else if (spellings.empty()) {
                found->second.names.erase(folded);  // a folder that lives long keeps no dead names
            }
        }
    }
}

/* Reads folder into a listing of folded names. */
static bool ReadListing(const std::string& folder, FolderListing* listing) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) {
        return false;
    }
    while (struct dirent* entry = readdir(dir)) {
        listing->names[FoldedName(entry->d_name)].push_back(entry->d_name);
    }
    closedir(dir);
    return true;
}

/* The first spelling on disk of name in the listing, or, without a listing,
   in folder as read now; empty when there is none. */
static std::string FirstSpelling(const FolderListing* listing, const std::string& folder,
                                 const std::string& name) {
    FolderListing once;  // read for this look-up only
    if (!listing) {
        ReadListing(folder, &once);
        listing = &once;
    }
    auto found = listing->names.find(FoldedName(name));
    return found == listing->names.end() || found->second.empty() ? std::string()
                                                                  : found->second.front();
}

/* Finds the entry of folder whose name equals name without regard to ASCII
   case; empty when there is none. The listing of a folder is read once and then kept by its watch,
   so that creating many files in one folder costs one look-up each, not a scan of everything before
   them. */
static std::string MatchInFolder(const std::string& folder, const std::string& name) {
    std::lock_guard<std::mutex> hold(listing_lock);
    if (watcher == -2) {
        watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    std::string path = folder.empty() ? std::string(".") : folder;  // the folder to watch
    struct stat info;
    if (watcher < 0 || stat(path.c_str(), &info) != 0) {
        return FirstSpelling(nullptr, folder, name);
    }
    ApplyFolderEvents();
    auto known = watch_of.find(path);
    if (known != watch_of.end()) {
        const FolderListing& listing = listings[known->second];
        if (listing.device != info.st_dev || listing.inode != info.st_ino) {
            DropListing(known->second);  // the path now names another folder
            known = watch_of.end();
        }
    }
    if (known == watch_of.end()) {
        // Watch first, then read: a change in between is both in the
        // listing and in the queue, and applying it twice changes nothing.
        int watch = inotify_add_watch(watcher, path.c_str(),
                                      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                          IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        if (watch < 0) {
            return FirstSpelling(nullptr, folder, name);
        }
        if (listings.count(watch) == 0) {
            FolderListing& listing = listings[watch];
            listing.device = info.st_dev;
            listing.inode = info.st_ino;
            ReadListing(folder, &listing);
            watch_order.push_back(watch);
            if (watch_order.size() > MAX_LISTINGS) {
                DropListing(watch_order.front());
            }
        }
        watch_of.emplace(path, watch);
        ApplyFolderEvents();
    }
    known = watch_of.find(path);  // gone if an event dropped the listing meanwhile
    return FirstSpelling(known == watch_of.end() ? nullptr : &listings[known->second], folder,
                         name);
}

/* Backslashes become slashes first. A path that exists as written is used
   as it is; otherwise it is rebuilt one component at a time, each missing
   component replaced by its case-insensitive match in the folder resolved so
   far. Once a component matches nothing, the rest is kept as written. A
   trailing separator is kept. The common case, a new file in a folder that
   exists as written, is tried first: then only the last component is
   matched. */
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
    bool missing = false;  // the current component is known not to exist as written
    size_t start = 0;      // start of the current component
    size_t last = given.find_last_of('/', given.size() - 2);  // before the last component
    if (given.back() != '/' && last != std::string::npos && last > 0 &&
        lstat(given.substr(0, last).c_str(), &info) == 0) {
        resolved = given.substr(0, last + 1);
        start = last + 1;
        missing = true;  // the whole path, tried first
    }
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
        if (matching && (missing || lstat(candidate.c_str(), &info) != 0)) {
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
