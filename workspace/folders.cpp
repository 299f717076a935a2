// Holding the workspace, its sub-folders and setup.exe. The launcher may run
// as SYSTEM for a deployment tool, in a temporary folder that other users
// can write to: between the moment a folder is created and the moment a file
// is written into it, or between the moment setup.exe is written and the
// moment it is started, someone could swap it for a link or another file.
// Opening it as itself, without following a link, and keeping the handle
// without delete (or, for setup.exe, write) sharing closes that window for
// as long as the handle is held. What it does not cover is a path checked
// before the handle exists; the callers hold each folder right after
// creating it, and setup.exe is checked against the file that was written.
#include "workspace/folders.h"

// Rights that take part in share-mode checks (a handle with attribute rights
// only would not stop anyone renaming the folder), and those that the owner
// check and the access list need.
#define HOLD_ACCESS (GENERIC_READ | WRITE_DAC)
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

int ReadFileIdentity(HANDLE file, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info;  // the handle's file
    if (!GetFileInformationByHandle(file, &info)) {
        return 0;
    }
    identity->volume = info.dwVolumeSerialNumber;
    identity->index_high = info.nFileIndexHigh;
    identity->index_low = info.nFileIndexLow;
    return 1;
}

/* Opens the file sharing reading only and compares what the handle shows
   with the file that was written: the same volume and index. A link or a
   folder in its place is another file, with another index. */
HANDLE HoldFile(const char* path, const FileIdentity* expected) {
    HANDLE held = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (held == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info;  // what the handle really has open
    if (!GetFileInformationByHandle(held, &info) || info.dwVolumeSerialNumber != expected->volume ||
        info.nFileIndexHigh != expected->index_high || info.nFileIndexLow != expected->index_low) {
        CloseHandle(held);
        return INVALID_HANDLE_VALUE;
    }
    return held;
}
