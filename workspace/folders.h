// Holding the workspace, its sub-folders and setup.exe while the launcher
// writes into them or starts from them.
#pragma once

#include "platform/platform.h"

// Which file a handle has open: its volume and its index on that volume, as
// GetFileInformationByHandle reports them. Two handles with the same
// identity have the same file open, whatever paths led to it.
struct FileIdentity {
    DWORD volume;      // dwVolumeSerialNumber
    DWORD index_high;  // nFileIndexHigh
    DWORD index_low;   // nFileIndexLow
};

// Opens folder (a path without a trailing backslash) and checks through the
// open handle, not the path, that it is a real folder and not a link,
// junction or file. The handle does not share deletion, so while it is
// open the folder cannot be removed, renamed or replaced by a link; it
// carries READ_CONTROL and WRITE_DAC for the owner check and the access
// list. Returns the handle, which the caller closes, or
// INVALID_HANDLE_VALUE when the folder cannot be opened or is not a real
// folder.
HANDLE HoldFolder(const char* folder);

// Reads the identity of the file open as file. Returns 1, or 0 when the
// handle cannot be queried.
int ReadFileIdentity(HANDLE file, FileIdentity* identity);

// Opens the file at path as itself, for reading and sharing reading only:
// while the handle is open nobody can write, delete, rename or replace the
// file, while the loader, which opens an image for reading and execution
// sharing reading and deletion, can still start it. Returns the handle only
// when it shows the expected identity (a link is opened as itself, so it
// never does); otherwise INVALID_HANDLE_VALUE.
HANDLE HoldFile(const char* path, const FileIdentity* expected);
