// Workspace cleanup: empties a folder tree depth first, deleting what it can
// at once and handing what resists (files in use, folders that stay
// non-empty) to the system for deletion at the next restart.
//
// The launcher may run as SYSTEM, in a temporary folder where others can
// plant junctions and links, and swap an entry between the listing and its
// deletion. So every entry is opened once, as itself (a link is never
// followed), and everything else happens through that handle: the check of
// what it is, the reset of its attributes and its deletion. Nothing is
// looked up by path a second time, except the listing of a sub-folder, which
// happens while the handle holds that folder in place. Deletion at restart
// works by path at boot, so it is asked for only inside a folder that the
// launcher's own token owns, where nobody else could have planted a link on
// the way. Each level keeps its two MAX_PATH buffers on the stack; a path
// that does not fit them is skipped rather than truncated.
#include "payload/cleanup.h"

#include "payload/folders.h"
#include "payload/paths.h"
#include "payload/security.h"
#include "platform/platform.h"

#include <string.h>

#define SEARCH_PATTERN "\\*.*"  // listing pattern appended to a folder
// An entry is opened to delete it, to read and reset its attributes, and to
// read its owner; others may go on reading and writing it, but not delete
// or rename it.
#define ENTRY_ACCESS (DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES)
#define ENTRY_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE)
// Folders and files alike, and a link as the link itself.
#define ENTRY_FLAGS (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT)

static int ClearListing(const char* folder, int may_schedule);

/* True for a path that names anything at all, file or folder. */
bool FileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* Hands an entry that resists deletion to the system for deletion at the
   next restart, where that is safe. */
static void ScheduleAtRestart(const char* path, int may_schedule) {
    if (may_schedule) {
        MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
}

/* Deletes one listed entry through a single handle on the entry itself. A
   real folder is emptied first, while the handle keeps it from being
   swapped, and its own entries are scheduled at restart only when the
   token owns it too (an owner can turn its folder into a junction before
   the restart); a link, whatever it points to, is deleted as a link. Attributes
   go back to normal first, so that read-only, hidden and system entries can
   be deleted. The deletion takes effect when the handle is closed. */
static void DeleteEntry(const char* path, int may_schedule) {
    HANDLE entry =
        CreateFileA(path, ENTRY_ACCESS, ENTRY_SHARE, NULL, OPEN_EXISTING, ENTRY_FLAGS, NULL);
    if (entry == INVALID_HANDLE_VALUE) {
        ScheduleAtRestart(path, may_schedule);
        return;
    }
    BY_HANDLE_FILE_INFORMATION info;  // what the handle has open
    FILE_BASIC_INFO basic;            // times 0: unchanged
    FILE_DISPOSITION_INFO disposition;
    memset(&basic, 0, sizeof basic);
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    disposition.DeleteFile = TRUE;
    int known = GetFileInformationByHandle(entry, &info);
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ClearListing(path, may_schedule && IsOwnedByToken(entry));
    }
    SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
    int deleted = known && SetFileInformationByHandle(entry, FileDispositionInfo, &disposition,
                                                      sizeof disposition);
    CloseHandle(entry);
    if (!deleted) {
        ScheduleAtRestart(path, may_schedule);
    }
}

/* Deletes every entry of folder, in the order of the listing. Returns 1
   when the listing has been worked through, 0 when it could not start.

   Format notes: the pattern "\*.*" lists every entry, "." and ".." among
   them; those two are skipped by exact name, while any other name, also one
   that begins with a dot, is handled. */
static int ClearListing(const char* folder, int may_schedule) {
    char pattern[MAX_PATH];     // folder\*.*
    char entry_path[MAX_PATH];  // folder\name of the entry being handled
    memset(pattern, 0, sizeof pattern);
    if (!CopyText(pattern, MAX_PATH, folder) || !AppendText(pattern, MAX_PATH, SEARCH_PATTERN)) {
        return 0;
    }
    WIN32_FIND_DATAA found;  // the current listing record
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) {
            continue;
        }
        memset(entry_path, 0, sizeof entry_path);
        if (!CopyText(entry_path, MAX_PATH, folder) || !AppendText(entry_path, MAX_PATH, "\\") ||
            !AppendText(entry_path, MAX_PATH, found.cFileName)) {
            continue;  // too long for the buffer: skipped, the listing goes on
        }
        DeleteEntry(entry_path, may_schedule);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return 1;
}

/* Empties folder, depth first, while holding it as itself: a folder that is
   a link, or a file, is never cleared through. Entries that resist are
   scheduled for deletion at restart only when the launcher's token owns the
   folder. */
int ClearDirectory(const char* folder) {
    if (!FileExists(folder)) {
        return 0;
    }
    HANDLE held = HoldFolder(folder);  // the folder itself, kept in place
    if (held == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int listed = ClearListing(folder, IsOwnedByToken(held));
    CloseHandle(held);
    return listed;
}
