// Workspace cleanup: empties a folder tree depth first, but only when nothing
// in it is in use. A setup started from the workspace by an earlier launcher
// may still be running, with its own files open; a stranger may hold a file
// that he planted there. Either way the folder is left exactly as it is and
// the caller does not use it: the cleanup never pulls files from under a
// running program, and a stranger can at most stop a run, never join it.
//
// The launcher may run as SYSTEM, in a temporary folder where others can
// plant junctions and links, and swap an entry between the listing and its
// deletion. So every entry is opened as itself (a link is never followed),
// and everything else happens through that handle: the check of what it
// is, the listing of a folder, the reset of its attributes and its
// deletion. Nothing is looked up by path a second time; an entry's own path
// leads through folders that are held open meanwhile. What resists deletion
// stays where it is, and the caller learns it: nothing is handed to the
// system for deletion at restart, which would delete by path, at boot, as
// SYSTEM, through whatever folder someone has swapped in by then.
//
// What it trades away: the tree is listed three times (in use, delete,
// anything left) and every entry opened twice. Each level keeps its listing
// buffer and a MAX_PATH buffer on the stack (deep trees are bounded by
// MAX_PATH); an entry whose path does not fit, or whose name has no ANSI
// form, cannot be opened, so it stays and the folder is not empty.
#include "workspace/cleanup.h"

#include "workspace/folders.h"
#include "workspace/ansi.h"
#include "payload/text.h"

#include <string.h>

#define LISTING_SIZE 2048  // bytes of listing records fetched at a time, each level
// Whether an entry is in use: opened sharing nothing, so that any handle
// open on it elsewhere refuses the open. A file is also opened for writing,
// which the image of a running program refuses even after the loader has
// closed the handle it mapped the image through.
#define PROBE_SHARE 0
#define PROBE_FILE_ACCESS (DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA)
#define PROBE_FOLDER_ACCESS (DELETE | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY)
// An entry is opened to delete it and to read and reset its attributes; one
// listed as a folder also to list it. Others may go on reading and writing
// it, but not delete or rename it.
#define ENTRY_ACCESS (DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES)
#define ENTRY_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE)
// Folders and files alike, and a link as the link itself.
#define ENTRY_FLAGS (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT)

// Called for each entry of a listing with the entry's path (null when it
// cannot be written in ANSI within MAX_PATH) and its listed attributes.
// Returns 1 to go on, 0 to stop the listing.
typedef int (*EntryVisitor)(const char* path, DWORD attributes);

/* True for a path that names anything at all, file or folder. */
bool FileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* Calls visit for every entry of folder, listed through the handle listed,
   in the order of the listing. Returns 1 when the listing has been worked
   through, 0 when a visitor stopped it, -1 when it could not start.

   Format notes: the listing comes in batches of FILE_FULL_DIR_INFO records,
   chained by NextEntryOffset, whose names are wide and not terminated; "."
   and ".." are among them and skipped by exact name, while any other name,
   also one that begins with a dot, is visited. */
static int VisitEntries(HANDLE listed, const char* folder, EntryVisitor visit) {
    union {
        BYTE bytes[LISTING_SIZE];
        FILE_FULL_DIR_INFO first;  // aligns the records
    } listing;
    char entry_path[MAX_PATH];  // folder\name of the entry being visited
    size_t folder_length = strlen(folder);
    FILE_INFO_BY_HANDLE_CLASS batch = FileFullDirectoryRestartInfo;  // then the next ones
    int result = -1;                                                 // until a first batch came
    while (GetFileInformationByHandleEx(listed, batch, listing.bytes, sizeof listing.bytes)) {
        batch = FileFullDirectoryInfo;
        result = 1;
        for (const BYTE* at = listing.bytes;;) {
            const FILE_FULL_DIR_INFO* entry = (const FILE_FULL_DIR_INFO*)at;
            int length = (int)(entry->FileNameLength / sizeof(WCHAR));  // characters
            int dots = (length == 1 && entry->FileName[0] == '.') ||
                       (length == 2 && entry->FileName[0] == '.' && entry->FileName[1] == '.');
            memset(entry_path, 0, sizeof entry_path);
            CopyText(entry_path, MAX_PATH, folder);
            int converted = folder_length + 1 < MAX_PATH &&
                            AppendText(entry_path, MAX_PATH, "\\") &&
                            WideToAnsi(entry->FileName, length, entry_path + folder_length + 1,
                                       (int)(MAX_PATH - folder_length - 2)) > 0;
            if (!dots && !visit(converted ? entry_path : NULL, entry->FileAttributes)) {
                return 0;
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    return result;
}

/* True when the handle shows a folder, a real one or a link's own. */
static int IsOpenFolder(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION info;  // what the handle has open
    return GetFileInformationByHandle(entry, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

/* Visitor that stops at an entry open elsewhere: one that refuses an open
   sharing nothing, or a folder with such an entry inside. An entry that
   cannot be opened for another reason (access denied, no ANSI name) is not
   in use; it is left to the deletion, and stays if it resists that too. */
static int StopAtEntryInUse(const char* path, DWORD listed_attributes) {
    if (path == NULL) {
        return 1;
    }
    int folder = (listed_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    HANDLE entry = CreateFileA(path, folder ? PROBE_FOLDER_ACCESS : PROBE_FILE_ACCESS, PROBE_SHARE,
                               NULL, OPEN_EXISTING, ENTRY_FLAGS, NULL);
    if (entry == INVALID_HANDLE_VALUE) {
        return GetLastError() != ERROR_SHARING_VIOLATION;
    }
    int free_to_delete = !IsOpenFolder(entry) || VisitEntries(entry, path, StopAtEntryInUse) != 0;
    CloseHandle(entry);
    return free_to_delete;
}

/* Visitor that deletes one listed entry through a single handle on the
   entry itself. A folder is emptied first, through that handle's own
   listing, while the handle keeps it from being swapped. A link, whatever
   it points to, is opened as the link: its own listing has no entries (a
   junction or folder link holds none of its own), so nothing behind it is
   reached, and it is deleted as a link. Attributes go back to normal first,
   so that read-only, hidden and system entries can be deleted. The deletion
   takes effect when the handle is closed; an entry that resists stays. */
static int DeleteEntry(const char* path, DWORD listed_attributes) {
    if (path == NULL) {
        return 1;
    }
    DWORD access =
        ENTRY_ACCESS | ((listed_attributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_LIST_DIRECTORY : 0);
    HANDLE entry = CreateFileA(path, access, ENTRY_SHARE, NULL, OPEN_EXISTING, ENTRY_FLAGS, NULL);
    if (entry == INVALID_HANDLE_VALUE) {
        return 1;
    }
    FILE_BASIC_INFO basic;  // times 0: unchanged
    FILE_DISPOSITION_INFO disposition;
    memset(&basic, 0, sizeof basic);
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    disposition.DeleteFile = TRUE;
    if (IsOpenFolder(entry)) {
        VisitEntries(entry, path, DeleteEntry);
    }
    SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
    SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(entry);
    return 1;
}

/* Visitor that stops at the first entry: any entry at all, also one whose
   name cannot be written in ANSI. */
static int StopAtAnyEntry(const char* path, DWORD listed_attributes) {
    (void)path;
    (void)listed_attributes;
    return 0;
}

/* In use first, over the whole tree, before anything is deleted; then the
   deletion; then whether anything is left. */
enum ClearResult ClearHeldFolder(HANDLE held, const char* folder) {
    int free_to_delete = VisitEntries(held, folder, StopAtEntryInUse);  // 1, 0 in use, -1
    if (free_to_delete < 0) {
        return CLEAR_NO_FOLDER;
    }
    if (free_to_delete == 0) {
        return CLEAR_IN_USE;
    }
    VisitEntries(held, folder, DeleteEntry);
    return VisitEntries(held, folder, StopAtAnyEntry) == 1 ? CLEAR_EMPTIED : CLEAR_LEFT_OVER;
}

/* Holds the folder as itself, so that a folder that is a link, or a file,
   is never cleared through, and nobody can swap it meanwhile. */
enum ClearResult ClearDirectory(const char* folder) {
    if (!FileExists(folder)) {
        return CLEAR_NO_FOLDER;
    }
    HANDLE held = HoldFolder(folder);  // the folder itself, kept in place
    if (held == INVALID_HANDLE_VALUE) {
        return CLEAR_NO_FOLDER;
    }
    enum ClearResult result = ClearHeldFolder(held, folder);
    CloseHandle(held);
    return result;
}
