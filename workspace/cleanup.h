// Emptying the workspace left by an earlier run.
#pragma once

#include "platform/platform.h"

// What emptying a folder came to.
enum ClearResult {
    CLEAR_EMPTIED,    // nothing is left in the folder
    CLEAR_IN_USE,     // something in it is open elsewhere: nothing was deleted
    CLEAR_LEFT_OVER,  // something in it could not be deleted and is still there
    CLEAR_NO_FOLDER   // the path is missing, a file or a link, or cannot be listed
};

// True when the path names an existing file or folder.
bool FileExists(const char* path);

// Empties the folder open as held (a real folder, opened as itself with
// FILE_LIST_DIRECTORY and without delete sharing), whose path is folder
// without a trailing backslash. Nothing is deleted while anything in the
// tree is open elsewhere.
enum ClearResult ClearHeldFolder(HANDLE held, const char* folder);

// The same for a folder given by its path, which is held while it is
// emptied. The folder itself stays.
enum ClearResult ClearDirectory(const char* folder);
