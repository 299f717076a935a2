// Workspace cleanup: empties a folder tree depth first, deleting what it can
// at once and handing what resists (files in use, folders that stay
// non-empty) to the system for deletion at the next restart.
//
// The launcher may run elevated, so a junction or symbolic link planted in
// the workspace must not lead the cleanup into folders elsewhere: a listed
// entry that is a reparse point is never entered; only the link itself is
// removed. A sub-folder is entered only while it is held open as itself,
// so it cannot be swapped for a link between the listing and its own
// clearing. Each level keeps its two MAX_PATH buffers on the stack; a path
// that does not fit them is skipped rather than truncated.
#include "payload/cleanup.h"

#include "payload/folders.h"
#include "payload/paths.h"
#include "platform/platform.h"

#include <string.h>

#define SEARCH_PATTERN "\\*.*"  // listing pattern appended to a folder

/* True for a path that names anything at all, file or folder. */
bool FileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* Resets an entry's attributes to normal, except on a link, where the reset
   could reach the link's target instead of the link. */
static void ResetAttributes(const char* path, DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    }
}

/* Deletes one file or link to a file; schedules it at restart if it
   resists. */
static void DeleteEntryFile(const char* path, DWORD attributes) {
    ResetAttributes(path, attributes);
    if (!DeleteFileA(path)) {
        MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
}

/* Removes one folder, emptying it first unless it is a link, whose target
   is left alone; schedules it at restart if it resists. The folder is
   emptied while held, and only when the held handle shows a real folder:
   one that became a link since the listing is removed as a link. */
static void DeleteEntryFolder(const char* path, DWORD attributes) {
    ResetAttributes(path, attributes);
    HANDLE held =
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? INVALID_HANDLE_VALUE : HoldFolder(path);
    if (held != INVALID_HANDLE_VALUE) {
        ClearDirectory(path);
        CloseHandle(held);
    }
    if (!RemoveDirectoryA(path)) {
        MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
}

/* Empties folder, depth first, in the order of the listing.

   Format notes: the pattern "\*.*" lists every entry, "." and ".." among
   them; those two are skipped by exact name, while any other name, also one
   that begins with a dot, is handled. Attributes are reset to normal first
   so that read-only, hidden and system entries can go. */
int ClearDirectory(const char* folder) {
    char pattern[MAX_PATH];     // folder\*.*
    char entry_path[MAX_PATH];  // folder\name of the entry being handled
    memset(pattern, 0, sizeof pattern);
    if (!CopyText(pattern, MAX_PATH, folder) || !AppendText(pattern, MAX_PATH, SEARCH_PATTERN)) {
        return 0;
    }
    if (!FileExists(folder)) {
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
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            DeleteEntryFolder(entry_path, found.dwFileAttributes);
        } else {
            DeleteEntryFile(entry_path, found.dwFileAttributes);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return 1;
}
