// Starting setup.exe: a thin wrapper over process creation that keeps only
// the process handle.
#include "shell/shell.h"

#include "payload/paths.h"

#include <string.h>

/* Starts application with command_line (or with its own path as command
   line when that is null). The child inherits the environment and the
   current folder, and no handles. Its thread handle is closed at once. */
HANDLE LaunchProcess(const char* application, const char* command_line) {
    char line[MAX_PATH];  // writable copy: the platform may edit the command line
    memset(line, 0, sizeof line);
    if (command_line != NULL && !CopyText(line, sizeof line, command_line)) {
        return NULL;
    }
    STARTUPINFOA startup;  // all defaults
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;  // the new process's handles
    memset(&started, 0, sizeof started);
    if (!CreateProcessA(application, command_line != NULL ? line : NULL, NULL, NULL, FALSE, 0, NULL,
                        NULL, &startup, &started)) {
        return NULL;
    }
    CloseHandle(started.hThread);
    return started.hProcess;
}
