// Starting setup.exe: a thin wrapper over process creation that keeps only
// the process handle.
//
// Most vendors' setup programs ask for administrator rights in their
// manifest, and CreateProcessA refuses those with ERROR_ELEVATION_REQUIRED.
// Only then is the program started again through the shell, whose "runas"
// verb shows the elevation prompt; SHELL32 is loaded from the system folder
// at that moment, so the import table names no DLL that could be planted.
#include "shell/shell.h"

#include "payload/text.h"

#include <string.h>

#define SHELL_DLL "shell32.dll"
#define SHELL_EXECUTE_EX "ShellExecuteExA"
#define ELEVATE_VERB "runas"

typedef BOOL(WINAPI* ShellExecuteExFn)(SHELLEXECUTEINFOA* info);

/* Starts application through the shell's elevation prompt, with the
   arguments of command_line. Returns the process handle, or null when
   SHELL32 cannot be had, the user declines the prompt, or the shell started
   something without handing out a process (nothing to wait on or close).
   The prompt is owned by the progress dialog, so that it comes to the front
   instead of flashing in the taskbar; the shell shows no error box of its
   own, since a setup that cannot be started is not reported. */
static HANDLE LaunchElevated(const char* application, const char* command_line) {
    HMODULE shell = LoadLibraryExA(SHELL_DLL, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell == NULL) {
        return NULL;
    }
    FARPROC found = GetProcAddress(shell, SHELL_EXECUTE_EX);
    if (found == NULL) {
        return NULL;
    }
    SHELLEXECUTEINFOA info;  // the start request; hProcess comes back in it
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    // The process handle back, the start complete before the call returns
    // (the launcher may end right after), and no error box of the shell's.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = g_dialog;
    info.lpVerb = ELEVATE_VERB;
    info.lpFile = application;
    info.lpParameters = command_line != NULL ? ArgumentsAfter(command_line, 0) : NULL;
    info.nShow = SW_SHOWNORMAL;
    if (!((ShellExecuteExFn)(void*)found)(&info)) {
        return NULL;
    }
    return info.hProcess;
}

/* Starts application with command_line (or with its own path as command
   line when that is null). The child inherits the environment and the
   current folder, and no handles. Its thread handle is closed at once. A
   program that needs elevation is started through the prompt instead. */
HANDLE LaunchProcess(const char* application, const char* command_line) {
    char line[COMMAND_LINE_SIZE];  // writable copy: the platform may edit the command line
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
        return GetLastError() == ERROR_ELEVATION_REQUIRED
                   ? LaunchElevated(application, command_line)
                   : NULL;
    }
    CloseHandle(started.hThread);
    return started.hProcess;
}
