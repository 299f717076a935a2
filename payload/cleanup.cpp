// Workspace cleanup: empties a folder tree depth first, deleting what it can
// at once and handing what resists (files in use, folders that stay
// non-empty) to the system for deletion at the next restart.
//
// The launcher may run as SYSTEM, in a temporary folder where others can
// plant junctions and links, and swap an entry between the listing and its
// deletion. So every entry is opened once, as itself (a link is never
// followed), and everything else happens through that handle: the check of
// what it is, the listing of a folder, the reset of its attributes and its
// deletion. Nothing is looked up by path a second time; an entry's own path
// leads through folders that are held open meanwhile. Deletion at restart
// works by path at boot, so it is asked for only inside a folder that the
// launcher's own token owns, where nobody else could have planted a link on
// the way. Each level keeps its listing buffer and a MAX_PATH buffer on the
// stack (deep trees are bounded by MAX_PATH); a path that does not fit, or a
// name without an ANSI form, is skipped rather than truncated or misread.
#include "payload/cleanup.h"

#include "payload/folders.h"
#include "payload/paths.h"
#include "payload/security.h"
#include "platform/platform.h"

#include <string.h>

#define LISTING_SIZE 2048  // bytes of listing records fetched at a time, each level
// An entry is opened to delete it, to read and reset its attributes, and to
// read its owner; one listed as a folder also to list it. Others may go on
// reading and writing it, but not delete or rename it.
#define ENTRY_ACCESS (DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES)
#define ENTRY_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE)
// Folders and files alike, and a link as the link itself.
#define ENTRY_FLAGS (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT)

static int ClearListing(HANDLE listed, const char* folder, int may_schedule);

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
   folder is emptied first, through that handle's own listing, while the
   handle keeps it from being swapped; its entries are scheduled at restart
   only when the token owns it too (an owner can turn its folder into a
   junction before the restart). A link, whatever it points to, is opened
   as the link: its own listing has no entries (a junction or folder link
   holds none of its own), so nothing behind it is reached, and it is
   deleted as a link. Attributes go back to normal first, so that
   read-only, hidden and system entries can be deleted. The deletion takes
   effect when the handle is closed. */
static void DeleteEntry(const char* path, DWORD listed_attributes, int may_schedule) {
    DWORD access =
        ENTRY_ACCESS | ((listed_attributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_LIST_DIRECTORY : 0);
    HANDLE entry = CreateFileA(path, access, ENTRY_SHARE, NULL, OPEN_EXISTING, ENTRY_FLAGS, NULL);
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
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ClearListing(entry, path, may_schedule && IsOwnedByToken(entry));
    }
    SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
    int deleted = known && SetFileInformationByHandle(entry, FileDispositionInfo, &disposition,
                                                      sizeof disposition);
    CloseHandle(entry);
    if (!deleted) {
        ScheduleAtRestart(path, may_schedule);
    }
}

/* Deletes every entry of folder, listed through the handle listed, in the
   order of the listing. Returns 1 when the listing has been worked
   through, 0 when it could not start.

   Format notes: the listing comes in batches of FILE_FULL_DIR_INFO records,
   chained by NextEntryOffset, whose names are wide and not terminated; "."
   and ".." are among them and skipped by exact name, while any other name,
   also one that begins with a dot, is handled. */
static int ClearListing(HANDLE listed, const char* folder, int may_schedule) {
    union {
        BYTE bytes[LISTING_SIZE];
        FILE_FULL_DIR_INFO first;  // aligns the records
    } listing;
    char entry_path[MAX_PATH];  // folder\name of the entry being handled
    size_t folder_length = strlen(folder);
    FILE_INFO_BY_HANDLE_CLASS batch = FileFullDirectoryRestartInfo;  // then the next ones
    int started = 0;                                                 // a first batch came
    while (GetFileInformationByHandleEx(listed, batch, listing.bytes, sizeof listing.bytes)) {
        batch = FileFullDirectoryInfo;
        started = 1;
        for (const BYTE* at = listing.bytes;;) {
            const FILE_FULL_DIR_INFO* entry = (const FILE_FULL_DIR_INFO*)at;
            int length = (int)(entry->FileNameLength / sizeof(WCHAR));  // characters
            memset(entry_path, 0, sizeof entry_path);
            CopyText(entry_path, MAX_PATH, folder);
            int converted = folder_length + 1 < MAX_PATH &&
                            AppendText(entry_path, MAX_PATH, "\\") &&
                            WideToAnsi(entry->FileName, length, entry_path + folder_length + 1,
                                       (int)(MAX_PATH - folder_length - 2)) > 0;
            const char* name = entry_path + folder_length + 1;  // as converted
            if (converted && strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
                DeleteEntry(entry_path, entry->FileAttributes, may_schedule);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    return started;
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
    int listed = ClearListing(held, folder, IsOwnedByToken(held));
    CloseHandle(held);
    return listed;
}
