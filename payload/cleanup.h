// Emptying the workspace left by an earlier run.
#pragma once

// True when the path names an existing file or folder.
bool FileExists(const char* path);

// Deletes everything inside folder (a path without a trailing backslash);
// what resists is scheduled for deletion at the next restart. The folder
// itself stays. Returns 0 when it does not exist or cannot be listed, else 1.
int ClearDirectory(const char* folder);
