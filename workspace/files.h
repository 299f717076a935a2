// The extractor's Windows side: the launcher's payload read through a file
// handle, and its files written through the Windows file services into the
// workspace.
#pragma once

#include "payload/payload.h"
#include "platform/platform.h"
#include "workspace/folders.h"

// What an extraction leaves for the worker: the setup.exe it wrote, with the
// identity its file had while it was written (only that file is ever
// started), and why a file could not be written, if one could not.
struct ExtractReport {
    int setup_written;            // 1 once setup.exe has been written in full
    FileIdentity setup_identity;  // the file it was written to
    DWORD write_error;  // a file that could not be created or written in full: the system's
                        // error (ERROR_DISK_FULL for a short write); 0 when none failed
};

// Unpacks the payload of the module's own executable file into destination
// (a folder path without a trailing backslash), reporting each entry to
// progress. Returns 1 when every entry has been written, 0 on failure;
// *report (when not null) says what was written and what failed.
int ExtractPayload(HINSTANCE instance, const char* destination, ProgressFn progress,
                   ExtractReport* report);

// The same, for the payload carried by the file at payload_path.
int ExtractPayloadFile(const char* payload_path, const char* destination, ProgressFn progress,
                       ExtractReport* report);

// Moves a file's pointer by a 64-bit distance from FILE_BEGIN, FILE_CURRENT
// or FILE_END. Returns the new position, or -1 on failure.
int64_t MoveFilePointer(HANDLE file, int64_t distance, DWORD method);
