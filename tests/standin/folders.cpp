// Folders, attributes, searches, deletion at restart and the temporary
// folder.
//
// A search takes its whole listing when it starts (NTFS order: "." and ".."
// first, then names without regard to case), so entries deleted while the
// listing runs are still delivered; the launcher's cleanup copes with that
// just as it copes with a real file system changing under it. Deletion at
// restart is only recorded.

#include "state.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

std::mutex folder_lock;                     // guards the two below
std::vector<std::string> reboot_deletions;  // paths given to MoveFileExA for deletion at restart
std::string temp_path;                      // PlatformSetTempPath's folder; empty for the default
std::string temp_path_2;                    // GetTempPath2W's folder; empty while it is absent

/* The error for a path that is not there: the last component or a folder on
   the way to it. */
DWORD MissingError(const std::string& posix_path) {
    size_t slash = posix_path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat info;
    return stat(posix_path.substr(0, slash).c_str(), &info) == 0 && S_ISDIR(info.st_mode)
               ? ERROR_FILE_NOT_FOUND
               : ERROR_PATH_NOT_FOUND;
}

/* Fills a listing record for one entry; the name is cut to fit. */
void FillFindData(const FoundEntry& entry, LPWIN32_FIND_DATAA data) {
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.attributes;
    data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.size);
    size_t length = std::min(entry.name.size(), sizeof data->cFileName - 1);
    memcpy(data->cFileName, entry.name.data(), length);
}

bool DotEntry(const std::string& name) {
    return name == "." || name == "..";
}

/* NTFS order: "." and ".." first, then names without regard to case. */
void SortAsNtfs(std::vector<FoundEntry>& found) {
    std::sort(found.begin(), found.end(), [](const FoundEntry& a, const FoundEntry& b) {
        if (DotEntry(a.name) != DotEntry(b.name)) {
            return DotEntry(a.name);
        }
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
}

/* The entries of an open folder, in NTFS order, read through the
   descriptor itself (an O_PATH one too), never through a path. */
bool ListOpenFolder(const KernelObject& folder, std::vector<FoundEntry>* found) {
    int dir = openat(folder.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = dir < 0 ? nullptr : fdopendir(dir);
    if (!listing) {
        if (dir >= 0) {
            close(dir);
        }
        return false;
    }
    found->clear();
    while (struct dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        found->push_back(FoundEntry{name, AttributesOf(folder.path + "/" + name), 0});
    }
    closedir(listing);
    SortAsNtfs(*found);
    return true;
}

}  // namespace

void ResetFiles() {
    std::lock_guard<std::mutex> hold(folder_lock);
    reboot_deletions.clear();
}

/* Creates one folder; its parent must exist. An existing file or folder of
   that name fails with ERROR_ALREADY_EXISTS. The new folder gets the
   descriptor's DACL, or else what its parent passes on. */
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
    LOG_CALL("CreateDirectoryA", {Text(path)});
    if (FaultHit(FAULT_CREATE_DIR)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::string posix = PosixPath(path);
    if (!path || mkdir(posix.c_str(), 0777) != 0) {
        if (!path || errno == ENOENT || errno == ENOTDIR) {
            SetLastError(ERROR_PATH_NOT_FOUND);
        } else {
            SetErrorFromErrno(errno);
        }
        return FALSE;
    }
    AssignSecurity(posix, security ? security->lpSecurityDescriptor : nullptr);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/* Removes an empty folder. A symbolic link to a folder is removed itself,
   never its target. A read-only folder fails with ERROR_ACCESS_DENIED, a
   folder with entries with ERROR_DIR_NOT_EMPTY, anything that is not a
   folder with ERROR_DIRECTORY. */
BOOL RemoveDirectoryA(LPCSTR path) {
    LOG_CALL("RemoveDirectoryA", {Text(path)});
    if (FaultHit(FAULT_REMOVE_DIR)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::string posix = PosixPath(path);
    DWORD attributes = AttributesOf(posix);
    if (!path || attributes == INVALID_FILE_ATTRIBUTES) {
        SetLastError(path ? MissingError(posix) : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (unlink(posix.c_str()) != 0) {
            SetErrorFromErrno(errno);
            return FALSE;
        }
        return TRUE;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (DeletionBlocked(posix)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (rmdir(posix.c_str()) != 0) {
        SetLastError(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                           : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    LOG_CALL("GetFileAttributesA", {Text(path)});
    std::string posix = PosixPath(path);
    DWORD attributes = path ? AttributesOf(posix) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SetLastError(path ? MissingError(posix) : ERROR_PATH_NOT_FOUND);
    }
    return attributes;
}

/* Only the read-only attribute has a POSIX meaning: set, it clears every
   write bit; absent, it gives the owner write permission back. The other
   attributes are accepted and ignored. Like Windows' own call, it follows
   a link and changes what the link leads to. */
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    LOG_CALL("SetFileAttributesA", {Text(path), std::to_string(attributes)});
    std::string posix = PosixPath(path);
    struct stat info;
    if (!path || stat(posix.c_str(), &info) != 0) {
        SetLastError(path ? MissingError(posix) : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    mode_t mode = info.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) ? mode & ~mode_t(0222) : mode | S_IWUSR;
    if (chmod(posix.c_str(), mode) != 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

/* Starts a listing of folder\mask. The mask's * and ? match without regard
   to case, and "*.*" matches every name, also names without a dot. "." and
   ".." are listed like any entry. A missing folder fails with
   ERROR_PATH_NOT_FOUND, a mask that matches nothing with
   ERROR_FILE_NOT_FOUND. */
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    LOG_CALL("FindFirstFileA", {Text(pattern)});
    if (FaultHit(FAULT_FIND)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string given(pattern);
    size_t cut = given.find_last_of("\\/");
    std::string folder =
        cut == std::string::npos ? "." : PosixPath(given.substr(0, cut + 1).c_str());
    std::string mask = cut == std::string::npos ? given : given.substr(cut + 1);
    if (mask == "*.*") {
        mask = "*";
    }
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<KernelObject>();
    search->kind = OBJ_SEARCH;
    std::string base = folder.back() == '/' ? folder : folder + "/";  // folder with separator
    while (struct dirent* entry = readdir(dir)) {
        if (fnmatch(mask.c_str(), entry->d_name, FNM_CASEFOLD) != 0) {
            continue;
        }
        std::string name = entry->d_name;
        struct stat info;
        uint64_t size = 0;  // regular files only; links and folders report 0
        if (lstat((base + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            size = static_cast<uint64_t>(info.st_size);
        }
        search->found.push_back(FoundEntry{name, AttributesOf(base + name), size});
    }
    closedir(dir);
    SortAsNtfs(search->found);
    if (search->found.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FillFindData(search->found[0], data);
    search->next = 1;
    SetLastError(ERROR_SUCCESS);
    return NewHandle(search);
}

/* Lists a folder through a handle open on it, as Windows' own listing by
   handle does: the restart class takes the folder's entries afresh, and
   each call fills information with as many whole records as fit, "." and
   ".." among them. The handle needs FILE_LIST_DIRECTORY. */
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                  DWORD size) {
    LOG_CALL("GetFileInformationByHandleEx", {HandleText(file), std::to_string(kind)});
    std::shared_ptr<KernelObject> object = FindHandle(file, OBJ_FILE);
    if (!object || !information ||
        (kind != FileFullDirectoryInfo && kind != FileFullDirectoryRestartInfo)) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(object->access & (FILE_LIST_DIRECTORY | GENERIC_READ | GENERIC_ALL))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (kind == FileFullDirectoryRestartInfo) {
        object->next = 0;
        if (!ListOpenFolder(*object, &object->found)) {
            SetLastError(ERROR_DIRECTORY);
            return FALSE;
        }
    }
    const size_t name_offset = offsetof(FILE_FULL_DIR_INFO, FileName);
    BYTE* out = static_cast<BYTE*>(information);
    size_t used = 0;                         // bytes filled so far
    FILE_FULL_DIR_INFO* previous = nullptr;  // the record before, to link to the next
    while (object->next < object->found.size()) {
        const FoundEntry& entry = object->found[object->next];
        std::wstring name = WideFromUtf8(entry.name);
        size_t record = (name_offset + name.size() * sizeof(wchar_t) + 7) & ~size_t(7);
        if (used + record > size) {
            break;
        }
        auto* info = reinterpret_cast<FILE_FULL_DIR_INFO*>(out + used);
        memset(info, 0, name_offset);
        info->FileAttributes = entry.attributes;
        info->FileNameLength = ULONG(name.size() * sizeof(wchar_t));
        memcpy(info->FileName, name.data(), name.size() * sizeof(wchar_t));
        if (previous) {
            previous->NextEntryOffset =
                ULONG(reinterpret_cast<BYTE*>(info) - reinterpret_cast<BYTE*>(previous));
        }
        previous = info;
        used += record;
        object->next++;
    }
    if (!previous) {
        SetLastError(object->next >= object->found.size() ? ERROR_NO_MORE_FILES : ERROR_MORE_DATA);
        return FALSE;
    }
    return TRUE;
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
    std::shared_ptr<KernelObject> object = FindHandle(search, OBJ_SEARCH);
    if (!object || !data) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->next >= object->found.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    FillFindData(object->found[object->next++], data);
    return TRUE;
}

BOOL FindClose(HANDLE search) {
    LOG_CALL("FindClose", {HandleText(search)});
    if (!TakeHandle(search, OBJ_SEARCH)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

/* With MOVEFILE_DELAY_UNTIL_REBOOT and no target, the path is recorded for
   deletion at restart and nothing else happens. Otherwise the file or folder
   is renamed; an existing target is replaced only with
   MOVEFILE_REPLACE_EXISTING. */
BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    LOG_CALL("MoveFileExA", {Text(existing), Text(replacement), std::to_string(flags)});
    if (!existing) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((flags & MOVEFILE_DELAY_UNTIL_REBOOT) && !replacement) {
        std::lock_guard<std::mutex> hold(folder_lock);
        reboot_deletions.push_back(existing);
        return TRUE;
    }
    std::string from = PosixPath(existing);
    std::string to = PosixPath(replacement);
    struct stat info;
    if (!replacement || lstat(from.c_str(), &info) != 0) {
        SetLastError(replacement ? MissingError(from) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeletionBlocked(from)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (lstat(to.c_str(), &info) == 0 && !(flags & MOVEFILE_REPLACE_EXISTING)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

std::vector<std::string> PlatformRebootDeletions() {
    std::lock_guard<std::mutex> hold(folder_lock);
    return reboot_deletions;
}

void PlatformSetTempPath(const char* path) {
    std::lock_guard<std::mutex> hold(folder_lock);
    temp_path = path ? path : "";
}

/* The temporary folder as stored (UTF-8), with its trailing separator. */
static std::string TempFolder() {
    std::string folder;
    {
        std::lock_guard<std::mutex> hold(folder_lock);
        folder = temp_path;
    }
    if (folder.empty()) {
        const char* tmpdir = getenv("TMPDIR");
        folder = tmpdir && *tmpdir ? tmpdir : "/tmp";
    }
    if (folder.back() != '/' && folder.back() != '\\') {
        folder += '/';
    }
    return folder;
}

/* The temporary folder in ANSI characters ('?' for any other), always
   ending in a separator. */
DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    LOG_CALL("GetTempPathA", {std::to_string(size)});
    return CopyPathOut(AnsiFromUtf8(TempFolder()), buffer, size);
}

/* The same folder in wide characters, every character kept. */
DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
    LOG_CALL("GetTempPathW", {std::to_string(size)});
    return CopyPathOut(WideFromUtf8(TempFolder()), buffer, size);
}

void PlatformSetTempPath2(const char* folder) {
    std::lock_guard<std::mutex> hold(folder_lock);
    temp_path_2 = folder ? folder : "";
    if (!temp_path_2.empty() && temp_path_2.back() != '/' && temp_path_2.back() != '\\') {
        temp_path_2 += '/';
    }
}

bool HasTempPath2() {
    std::lock_guard<std::mutex> hold(folder_lock);
    return !temp_path_2.empty();
}

/* The folder a test gave, in wide characters, as SYSTEM's own on Windows 11. */
DWORD GetTempPath2W(DWORD size, LPWSTR buffer) {
    LOG_CALL("GetTempPath2W", {std::to_string(size)});
    std::string folder;
    {
        std::lock_guard<std::mutex> hold(folder_lock);
        folder = temp_path_2;
    }
    return CopyPathOut(WideFromUtf8(folder), buffer, size);
}
