// Files: opening with Windows share modes, reading, writing, seeking,
// copying, deleting, and CloseHandle for every kind of handle.
//
// Share modes are enforced only among the handles of this process (POSIX
// has no such locks), which is what tests need to play "a file held open by
// someone else". The read-only attribute (owner write bit off) is honoured
// the Windows way even for root: such a file cannot be opened for writing,
// overwritten or deleted.

#include "state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Serialises the check of share modes with the open or delete that follows.
std::mutex open_lock;

// Images of running programs, once per start; guarded by open_lock.
std::vector<ImageIdentity> running_images;

// Rights that a running program's image refuses.
const DWORD IMAGE_REFUSED_RIGHTS = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;

/* True when the file is a running program's image. */
bool IsRunningImage(dev_t device, ino_t inode) {
    for (const ImageIdentity& image : running_images) {
        if (image.device == device && image.inode == inode) {
            return true;
        }
    }
    return false;
}

// The rights that share modes guard, each with the sharing it needs from
// every other handle to the same file: reading (and executing, which the
// loader asks for), writing, and deleting (which renaming is too).
const struct ShareClass {
    DWORD rights;  // any of these
    DWORD share;   // needs this
} SHARE_CLASSES[] = {
    {GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE, FILE_SHARE_READ},
    {GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA, FILE_SHARE_WRITE},
    {DELETE | GENERIC_ALL, FILE_SHARE_DELETE},
};

/* True when a handle with access is refused by another's share mode. */
bool Conflicts(DWORD access, DWORD share) {
    for (const ShareClass& c : SHARE_CLASSES) {
        if ((access & c.rights) && !(share & c.share)) {
            return true;
        }
    }
    return false;
}

/* True when an open handle to the file refuses the requested use, or the
   requested sharing refuses an open handle's rights. Opens that ask for
   none of the guarded rights (attributes, security) take no part, on
   either side, as on Windows: they are neither checked nor held against
   others. */
bool SharingBlocks(dev_t device, ino_t inode, DWORD access, DWORD share) {
    DWORD guarded = 0;  // every right that a share mode guards
    for (const ShareClass& c : SHARE_CLASSES) {
        guarded |= c.rights;
    }
    if ((access & guarded) == 0) {
        return false;
    }
    if ((access & IMAGE_REFUSED_RIGHTS) && IsRunningImage(device, inode)) {
        return true;
    }
    for (const auto& file : OpenFiles()) {
        if (file->device == device && file->inode == inode && (file->access & guarded) != 0 &&
            (Conflicts(access, file->share) || Conflicts(file->access, share))) {
            return true;
        }
    }
    return false;
}

// How a deletion or rename asks: for DELETE, sharing everything.
const DWORD DELETE_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/* The error for a path that is missing: the file itself, or a folder on the
   way to it. */
DWORD MissingError(const std::string& posix_path) {
    size_t slash = posix_path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat info;
    std::string parent = posix_path.substr(0, slash);
    if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_FILE_NOT_FOUND;
}

std::string Number(uint64_t value) {
    return std::to_string(value);
}

/* A file handle for an open descriptor, with the identity that share-mode
   checks compare (from info, the descriptor's fstat), the rights and
   sharing it was opened with, and the path of what it has open. */
HANDLE NewFileHandle(int fd, const struct stat& info, DWORD access, DWORD share,
                     const std::string& path) {
    auto object = std::make_shared<KernelObject>();
    object->kind = OBJ_FILE;
    object->fd = fd;
    object->device = info.st_dev;
    object->inode = info.st_ino;
    object->regular = S_ISREG(info.st_mode);
    object->access = access;
    object->share = share;
    object->path = path;
    return NewHandle(object);
}

/* NewFileHandle for a descriptor whose identity is not known yet. */
HANDLE NewFileHandle(int fd, DWORD access, DWORD share, const std::string& path) {
    struct stat info;
    fstat(fd, &info);
    return NewFileHandle(fd, info, access, share, path);
}

/* The path of the file that descriptor fd, opened from posix, reached,
   links followed. The kernel knows it (one readlink of /proc/self/fd);
   without /proc it is resolved again from posix, which costs a look-up of
   every component. */
std::string Reached(int fd, const std::string& posix) {
    char link[64];              // /proc/self/fd/N
    char target[PATH_MAX + 1];  // what it names
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, PATH_MAX);
    if (length > 0 && target[0] == '/') {
        return std::string(target, static_cast<size_t>(length));
    }
    char* real = realpath(posix.c_str(), nullptr);
    std::string reached = real ? real : posix;
    free(real);
    return reached;
}

/* Opens a symbolic link itself (FILE_FLAG_OPEN_REPARSE_POINT): the handle
   shows the link, never its target, and cannot read or write. */
HANDLE OpenLink(const std::string& posix, DWORD access, DWORD share) {
    int fd = open(posix.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        SetErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return NewFileHandle(fd, access, share, posix);
}

/* Opens a folder or file with FILE_FLAG_BACKUP_SEMANTICS, or with
   FILE_FLAG_OPEN_REPARSE_POINT a link itself, for a handle that reports its
   attributes, is checked against the share modes of the handles already
   open and holds the file against deletion and renaming as its own share
   mode says. Only OPEN_EXISTING is supported. */
HANDLE OpenFolder(const std::string& posix, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bool as_itself = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;  // a link is not followed
    std::lock_guard<std::mutex> hold(open_lock);
    int fd = open(posix.c_str(), (as_itself ? O_PATH | O_NOFOLLOW : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? MissingError(posix) : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;  // what was opened: opening has no effect of its own to undo
    fstat(fd, &info);
    if (SharingBlocks(info.st_dev, info.st_ino, access, share)) {
        close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return NewFileHandle(fd, info, access, share, as_itself ? posix : Reached(fd, posix));
}

/* Deletes what a handle with its deletion set had open, once that handle
   is closed: the link itself, the folder or the file, provided that the
   same file is still at that path. */
void DeleteOnClose(const KernelObject& object) {
    struct stat info;
    if (lstat(object.path.c_str(), &info) != 0 || info.st_dev != object.device ||
        info.st_ino != object.inode) {
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        rmdir(object.path.c_str());
    } else {
        unlink(object.path.c_str());
    }
}

/* True when the folder at path has entries besides "." and "..". */
bool HasEntries(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    bool found = false;  // an entry of its own
    while (dir && !found) {
        struct dirent* entry = readdir(dir);
        if (!entry) {
            break;
        }
        found = strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0;
    }
    if (dir) {
        closedir(dir);
    }
    return found;
}

/* FileBasicInfo: of the attributes only read-only has a POSIX meaning; a
   link has none of its own to change. Needs FILE_WRITE_ATTRIBUTES. */
BOOL SetBasicInfo(const KernelObject& object, const FILE_BASIC_INFO& basic) {
    struct stat info;
    if (!(object.access & (FILE_WRITE_ATTRIBUTES | GENERIC_WRITE | GENERIC_ALL))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (basic.FileAttributes == 0 || fstat(object.fd, &info) != 0 || S_ISLNK(info.st_mode)) {
        return TRUE;
    }
    mode_t mode = info.st_mode & 07777;
    mode = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) ? mode & ~mode_t(0222) : mode | S_IWUSR;
    return chmod(object.path.c_str(), mode) == 0;
}

/* FileDispositionInfo: marks the handle's file for deletion when it is
   closed. Needs DELETE; a folder with entries, a read-only file and a
   running program's image refuse. An injected fault of a deletion (files) or folder removal
   refuses as access denied. */
BOOL SetDisposition(KernelObject& object, const FILE_DISPOSITION_INFO& disposition) {
    struct stat info;
    if (!(object.access & (DELETE | GENERIC_ALL)) || fstat(object.fd, &info) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool folder = S_ISDIR(info.st_mode);
    bool running = false;  // the image of a running program
    {
        std::lock_guard<std::mutex> hold(open_lock);
        running = IsRunningImage(info.st_dev, info.st_ino);
    }
    if (FaultHit(folder ? FAULT_REMOVE_DIR : FAULT_DELETE) || running ||
        (!folder && !S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (disposition.DeleteFile && folder && HasEntries(object.path)) {
        SetLastError(ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    object.delete_on_close = disposition.DeleteFile != 0;
    return TRUE;
}

}  // namespace

/* Only the two records that the cleanup sets are known. */
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                DWORD size) {
    LOG_CALL("SetFileInformationByHandle", {HandleText(file), std::to_string(kind)});
    std::shared_ptr<KernelObject> object = FindHandle(file, OBJ_FILE);
    if (!object || !information) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (kind == FileBasicInfo && size >= sizeof(FILE_BASIC_INFO)) {
        return SetBasicInfo(*object, *static_cast<FILE_BASIC_INFO*>(information));
    }
    if (kind == FileDispositionInfo && size >= sizeof(FILE_DISPOSITION_INFO)) {
        return SetDisposition(*object, *static_cast<FILE_DISPOSITION_INFO*>(information));
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

bool DeletionBlocked(const std::string& posix_path) {
    struct stat info;
    if (lstat(posix_path.c_str(), &info) != 0) {
        return false;
    }
    std::lock_guard<std::mutex> hold(open_lock);
    return SharingBlocks(info.st_dev, info.st_ino, DELETE, DELETE_SHARE);
}

/* The loader opens an image for reading and execution, sharing reading and
   deletion; a handle that does not share reading, or one open for writing,
   refuses it. */
ImageIdentity ImageStarted(const std::string& posix_path) {
    struct stat info;
    ImageIdentity image = {0, 0};
    if (stat(posix_path.c_str(), &info) == 0) {
        image = {info.st_dev, info.st_ino};
    }
    std::lock_guard<std::mutex> hold(open_lock);
    running_images.push_back(image);
    return image;
}

void ImageEnded(const ImageIdentity& image) {
    std::lock_guard<std::mutex> hold(open_lock);
    for (auto it = running_images.begin(); it != running_images.end(); ++it) {
        if (it->device == image.device && it->inode == image.inode) {
            running_images.erase(it);
            return;
        }
    }
}

bool ImageOpenBlocked(const std::string& posix_path) {
    struct stat info;
    if (stat(posix_path.c_str(), &info) != 0) {
        return false;
    }
    std::lock_guard<std::mutex> hold(open_lock);
    return SharingBlocks(info.st_dev, info.st_ino, FILE_READ_DATA | FILE_EXECUTE,
                         FILE_SHARE_READ | FILE_SHARE_DELETE);
}

/* Attributes as GetFileAttributesA gives them, of what the handle has open
   (a link itself when it was opened as one: a reparse point, and a folder
   too when it leads to one), the file's size, and its identity: the
   device as the volume's serial number, the inode as the file index. */
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    LOG_CALL("GetFileInformationByHandle", {HandleText(file)});
    std::shared_ptr<KernelObject> object = FindHandle(file, OBJ_FILE);
    struct stat info;
    if (!object || !information || fstat(object->fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    memset(information, 0, sizeof *information);
    DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (S_ISLNK(info.st_mode)) {
        attributes =
            AttributesOf(object->path) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    } else if ((info.st_mode & S_IWUSR) == 0) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    information->dwFileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    information->dwVolumeSerialNumber = static_cast<DWORD>(info.st_dev);
    information->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(info.st_ino) >> 32);
    information->nFileIndexLow = static_cast<DWORD>(info.st_ino);
    information->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(info.st_size) >> 32);
    information->nFileSizeLow = static_cast<DWORD>(info.st_size);
    information->nNumberOfLinks = static_cast<DWORD>(info.st_nlink);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/* Opens or creates a file. The checks come in Windows' order: the folder
   and existence rules of the disposition, then the share modes of the
   handles already open, then the read-only attribute. On success the last
   error is ERROR_ALREADY_EXISTS when CREATE_ALWAYS or OPEN_ALWAYS met an
   existing file, and ERROR_SUCCESS otherwise. Descriptors are close-on-exec:
   handles are never inherited. */
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE) {
    LOG_CALL("CreateFileA", {Text(path), Number(access), Number(share), Number(disposition)});
    if (FaultHit(FAULT_OPEN)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!path || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(path ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string posix = PosixPath(path);
    if (flags & FILE_FLAG_BACKUP_SEMANTICS) {
        return OpenFolder(posix, access, share, disposition, flags);
    }
    struct stat info;
    if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) && lstat(posix.c_str(), &info) == 0 &&
        S_ISLNK(info.st_mode) && disposition == OPEN_EXISTING) {
        std::lock_guard<std::mutex> hold(open_lock);
        if (SharingBlocks(info.st_dev, info.st_ino, access, share)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        return OpenLink(posix, access, share);
    }
    std::lock_guard<std::mutex> hold(open_lock);
    bool exists = stat(posix.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && disposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        SetLastError(MissingError(posix));
        return INVALID_HANDLE_VALUE;
    }
    bool truncating = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (exists) {
        if (SharingBlocks(info.st_dev, info.st_ino, access, share)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        if ((info.st_mode & S_IWUSR) == 0 && ((access & GENERIC_WRITE) || truncating)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    int mode = O_RDONLY;  // descriptor access; the handle's own rights are checked separately
    if ((access & GENERIC_WRITE) || truncating) {
        mode = (access & GENERIC_READ) || truncating ? O_RDWR : O_WRONLY;
    }
    int open_flags = mode | O_CLOEXEC;
    if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
        open_flags |= O_CREAT;
    }
    if (disposition == CREATE_NEW) {
        open_flags |= O_EXCL;
    }
    if (truncating) {
        open_flags |= O_TRUNC;
    }
    // Windows has no execute permission: any file may be started, so new
    // files get the execute bits too (an unpacked setup.exe must run).
    int fd = open(posix.c_str(), open_flags, 0777);
    if (fd < 0) {
        if (errno == ENOENT) {
            SetLastError(MissingError(posix));
        } else {
            SetErrorFromErrno(errno);
        }
        return INVALID_HANDLE_VALUE;
    }
    if (!exists) {
        AssignSecurity(posix, security ? security->lpSecurityDescriptor : nullptr);
    }
    HANDLE handle = NewFileHandle(fd, access, share, Reached(fd, posix));
    bool reported_existing = exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(reported_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

/* Reads up to to_read bytes; fewer at the end of the file is success, and
   zero bytes at the end is success too (the synchronous Windows rule). */
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED) {
    LOG_CALL("ReadFile", {HandleText(file), Number(to_read)});
    if (read) {
        *read = 0;
    }
    std::shared_ptr<KernelObject> object = FindHandle(file, OBJ_FILE);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (FaultHit(FAULT_READ)) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    if ((object->access & GENERIC_READ) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD total = 0;  // bytes delivered so far
    while (total < to_read) {
        ssize_t got = pread(object->fd, static_cast<char*>(buffer) + total, to_read - total,
                            object->position);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            SetErrorFromErrno(errno);
            if (read) {
                *read = total;
            }
            return FALSE;
        }
        total += static_cast<DWORD>(got);
        object->position += got;
        if (got == 0 || (object->regular && total < to_read)) {
            break;  // the end of the file
        }
    }
    if (read) {
        *read = total;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/* Writes all bytes or fails. An injected fault writes nothing and reports
   a full disk. */
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, LPOVERLAPPED) {
    LOG_CALL("WriteFile", {HandleText(file), Number(to_write)});
    if (written) {
        *written = 0;
    }
    std::shared_ptr<KernelObject> object = FindHandle(file, OBJ_FILE);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (FaultHit(FAULT_WRITE)) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    if ((object->access & GENERIC_WRITE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (FaultHit(FAULT_SHORT_WRITE)) {
        to_write /= 2;
    }
    DWORD total = 0;  // bytes written so far
    while (total < to_write) {
        ssize_t put = pwrite(object->fd, static_cast<const char*>(buffer) + total, to_write - total,
                             object->position);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            SetErrorFromErrno(errno);
            if (written) {
                *written = total;
            }
            return FALSE;
        }
        total += static_cast<DWORD>(put);
        object->position += put;
    }
    if (written) {
        *written = total;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/* Moves the file position. Without distance_high the distance is a signed
   32-bit value; with it, the two form one signed 64-bit distance and the
   high half of the new position is written back. A position before the
   start fails with ERROR_NEGATIVE_SEEK and leaves the position alone.
   Success sets the last error to ERROR_SUCCESS, so that a caller can tell a
   position whose low half is 0xFFFFFFFF from a failure. The position is
   the handle's own, which ReadFile and WriteFile give to the system with
   each call: a move is then no system call. Only a plain file moves. */
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
    LOG_CALL("SetFilePointer", {HandleText(file), std::to_string(distance), Number(method)});
    std::shared_ptr<KernelObject> object = FindHandle(file, OBJ_FILE);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    if (method > FILE_END) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t move = distance;  // the full signed distance
    if (distance_high) {
        move = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*distance_high)) << 32) |
            static_cast<uint32_t>(distance));
    }
    if (!object->regular) {
        SetErrorFromErrno(EBADF);  // a folder or a link itself, opened only to name it
        return INVALID_SET_FILE_POINTER;
    }
    off_t base = 0;  // where the move starts
    if (method == FILE_CURRENT) {
        base = object->position;
    } else if (method == FILE_END) {
        struct stat info;
        fstat(object->fd, &info);
        base = info.st_size;
    }
    if (base + move < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    off_t position = base + move;  // the new position
    object->position = position;
    if (distance_high) {
        *distance_high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position);
}

/* Closes a file, thread, process or mutex handle. Searches are closed with
   FindClose only, as on Windows; a null, invalid or already closed handle
   fails with ERROR_INVALID_HANDLE. */
BOOL CloseHandle(HANDLE handle) {
    LOG_CALL("CloseHandle", {HandleText(handle)});
    std::shared_ptr<KernelObject> object = FindHandle(handle);
    if (!object || object->kind == OBJ_SEARCH || !TakeHandle(handle, object->kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->kind == OBJ_FILE) {
        close(object->fd);
        if (object->delete_on_close) {
            DeleteOnClose(*object);
        }
    } else if (object->kind == OBJ_MUTEX) {
        CloseMutexHandle(object);
    }
    return TRUE;
}

/* Copies a file's bytes and permission bits. The source must be readable
   under the share modes of open handles, an existing target writable and
   not read-only; with fail_if_exists an existing target fails with
   ERROR_FILE_EXISTS. The target's folder must exist. */
BOOL CopyFileA(LPCSTR existing, LPCSTR copy, BOOL fail_if_exists) {
    LOG_CALL("CopyFileA", {Text(existing), Text(copy), Number(fail_if_exists)});
    if (FaultHit(FAULT_COPY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!existing || !copy) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::string source = PosixPath(existing);
    std::string target = PosixPath(copy);
    std::lock_guard<std::mutex> hold(open_lock);
    struct stat from;
    if (stat(source.c_str(), &from) != 0) {
        SetLastError(MissingError(source));
        return FALSE;
    }
    if (S_ISDIR(from.st_mode) ||
        SharingBlocks(from.st_dev, from.st_ino, GENERIC_READ, FILE_SHARE_READ)) {
        SetLastError(S_ISDIR(from.st_mode) ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    struct stat to;
    bool replacing = stat(target.c_str(), &to) == 0;  // else the copy is a new file
    if (replacing) {
        if (fail_if_exists) {
            SetLastError(ERROR_FILE_EXISTS);
            return FALSE;
        }
        if (from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (S_ISDIR(to.st_mode) || (to.st_mode & S_IWUSR) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (SharingBlocks(to.st_dev, to.st_ino, GENERIC_WRITE, 0)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, from.st_mode & 07777);
    if (out < 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
        close(in);
        return FALSE;
    }
    char block[65536];  // one piece of the copy
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(in, block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (::write(out, block, static_cast<size_t>(got)) != got) {
            ok = false;
            break;
        }
    }
    fchmod(out, from.st_mode & 07777);
    close(in);
    close(out);
    if (!replacing) {
        AssignSecurity(target, nullptr);
    }
    if (!ok) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/* Deletes a file, or a symbolic link itself. A folder fails with
   ERROR_ACCESS_DENIED, as does a read-only file; a file with an open handle
   that does not share deletion fails with ERROR_SHARING_VIOLATION. */
BOOL DeleteFileA(LPCSTR path) {
    LOG_CALL("DeleteFileA", {Text(path)});
    if (FaultHit(FAULT_DELETE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::string posix = PosixPath(path);
    std::lock_guard<std::mutex> hold(open_lock);
    struct stat info;
    if (lstat(posix.c_str(), &info) != 0) {
        SetLastError(MissingError(posix));
        return FALSE;
    }
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!S_ISLNK(info.st_mode)) {
        if (SharingBlocks(info.st_dev, info.st_ino, DELETE, DELETE_SHARE)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if ((info.st_mode & S_IWUSR) == 0 || IsRunningImage(info.st_dev, info.st_ino)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    if (unlink(posix.c_str()) != 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
