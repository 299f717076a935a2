// Holding the workspace and its sub-folders. The launcher may run as SYSTEM
// for a deployment tool, in a temporary folder that other users can write
// to: between the moment a folder is created and the moment a file is
// written into it, someone could swap the folder for a junction that leads
// elsewhere. Opening the folder itself, without following a link, and
// keeping the handle without delete sharing closes that window for as long
// as the handle is held. What it does not cover is a path checked before
// the handle exists; the callers hold each folder right after creating it.
#include "payload/folders.h"

// Rights that take part in share-mode checks: a handle with attribute
// rights only would not stop anyone renaming the folder.
#define HOLD_ACCESS GENERIC_READ
// Others may still read and write inside it, but not delete or rename it.
#define HOLD_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE)
// A folder needs backup semantics to be opened at all; a link is opened as
// itself, so that its attributes show it for what it is.
#define HOLD_FLAGS (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT)

/* Opens folder as itself and keeps it only when the handle shows a folder
   without a reparse point (symbolic links and junctions carry one). */
HANDLE HoldFolder(const char* folder) {
    HANDLE held =
        CreateFileA(folder, HOLD_ACCESS, HOLD_SHARE, NULL, OPEN_EXISTING, HOLD_FLAGS, NULL);
    if (held == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info;  // what the handle really has open
    if (!GetFileInformationByHandle(held, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(held);
        return INVALID_HANDLE_VALUE;
    }
    return held;
}
