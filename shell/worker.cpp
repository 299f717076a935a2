// The setup worker: the launcher's whole job, run once on its second thread.
//
// Reset the workspace %TEMP%\qelvor, unpack the payload into it, give up the
// single-instance lock, then start setup.exe with the launcher's own
// arguments behind its own (or show the error box), and ask the dialog to
// close, handing it the outcome that becomes the exit code: setup.exe's own
// in silent mode, else the launcher's (shell.h). Every step that may fail without harm (folder
// removal, the lock's release, a setup.exe that will not start) is left
// untested; what decides between setup and the error box is whether the
// workspace could be made the launcher's own (workspace/workspace.h), the
// extraction's result, and whether setup.exe is still the file written. A
// workspace with anything in use in it is neither emptied nor used: the run
// ends without a word, as when another launcher holds the lock.
#include "shell/shell.h"

#include "payload/text.h"
#include "res/resource.h"
#include "workspace/files.h"
#include "workspace/workspace.h"

#include <string.h>

#define START_PAUSE_MS 100  // before the workspace is touched
#define RESET_PAUSE_MS 300  // between removing and re-creating it
#define SILENT_COMMAND_LINE "setup.exe /silent"
#define ERROR_TEXT "File error"  // where the string table has no string 107
#define ERROR_CAPTION "Setup"
#define MESSAGE_SIZE 512  // bytes of the error box's text

int32_t g_silent = 0;
char g_workspace_path[MAX_PATH];

/* Silent mode is on exactly when argument 1 is "/silent" or "-silent". */
static int IsSilentRequested(void) {
    return __argc > 1 && __argv[1] != NULL &&
           (EqualsIgnoringAsciiCase(__argv[1], "/silent") ||
            EqualsIgnoringAsciiCase(__argv[1], "-silent"));
}

/* What the progress bar shows, as far as ReportProgress has set it. */
typedef struct ProgressShown {
    HWND bar;        // the bar measured; the values below belong to it
    LONG width;      // its client width in pixels, read once; 0 when unknown
    int range_sent;  // 1 once a PBM_SETRANGE has reached it
    LPARAM range;    // that message's lParam
    int32_t filled;  // pixels filled after the last PBM_SETPOS; -1 when not known
} ProgressShown;

static ProgressShown g_progress_shown;  // touched by the worker thread alone

/* Pixels of a bar `width` pixels wide that position done fills within the
   range 0 to maximum, or -1 when that cannot be worked out (width or range
   unknown or empty): the bar clamps the position into its range and fills
   in proportion, so only the whole pixels of done * width / maximum show. */
static int32_t FilledWidth(uint32_t done, uint32_t maximum, LONG width) {
    if (width <= 0 || maximum == 0) {
        return -1;
    }
    uint32_t position = done < maximum ? done : maximum;  // as the bar clamps it
    return (int32_t)((uint64_t)position * (uint64_t)width / maximum);
}

/* Moves the bar to done of total and hides the dialog after the last entry.

   Each message is a cross-thread SendMessageA and a repaint, so only those
   that change the screen are sent: the range when it differs from the one
   the bar has, the position when it fills a different number of pixels.
   The report with done equal to total always sends its position. A new
   range forgets the filled width, since the bar is redrawn for it.

   Format notes: the range message carries the maximum in the high word of
   lParam, so only the low 16 bits of total count. */
int ReportProgress(uint32_t done, uint32_t total, uint32_t reserved) {
    (void)reserved;
    ProgressShown* shown = &g_progress_shown;
    if (shown->bar != g_progress_bar) {
        RECT client;  // the bar's client area, in pixels
        memset(&client, 0, sizeof client);
        memset(shown, 0, sizeof *shown);
        shown->bar = g_progress_bar;
        shown->width = GetClientRect(g_progress_bar, &client) ? client.right - client.left : 0;
        shown->filled = -1;
    }
    LPARAM range = (LPARAM)(DWORD)(total << 16);  // minimum 0 low, maximum high
    if (!shown->range_sent || shown->range != range) {
        SendMessageA(g_progress_bar, PBM_SETRANGE, 0, range);
        shown->range_sent = 1;
        shown->range = range;
        shown->filled = -1;
    }
    int32_t filled = FilledWidth(done, total & 0xFFFF, shown->width);  // pixels after this report
    if (done == total || filled < 0 || filled != shown->filled) {
        SendMessageA(g_progress_bar, PBM_SETPOS, (WPARAM)done, 0);
        shown->filled = filled;
    }
    if (done == total) {
        ShowWindow(g_dialog, SW_HIDE);
    }
    return 1;
}

/* The command line setup.exe gets, into line (size bytes): the launcher's
   own arguments as typed follow setup's. Silent: "setup.exe /silent", then
   everything after the launcher's first argument; normal: setup's own path,
   quoted, then all of the launcher's arguments. Returns the line, or null
   when the launcher has no arguments to pass in normal mode (setup's path
   is then its command line, as the platform makes it); *fits is 0 when the
   line would not fit. */
static const char* BuildSetupCommandLine(char* line, size_t size, const char* setup_path,
                                         int* fits) {
    const char* typed = GetCommandLineA();                       // the launcher's, as typed
    const char* tail = ArgumentsAfter(typed, g_silent ? 1 : 0);  // what setup.exe gets too
    memset(line, 0, size);
    if (g_silent) {
        *fits = CopyText(line, size, SILENT_COMMAND_LINE) &&
                (*tail == '\0' || (AppendText(line, size, " ") && AppendText(line, size, tail)));
        return line;
    }
    if (*tail == '\0') {
        *fits = 1;
        return NULL;
    }
    *fits = CopyText(line, size, "\"") && AppendText(line, size, setup_path) &&
            AppendText(line, size, "\" ") && AppendText(line, size, tail);
    return line;
}

/* Starts the setup.exe that the extraction wrote. From the check of its
   identity until the start has returned, the file is held so that nobody
   can change or replace it. Returns the started process, or null with the
   outcome in *outcome: EXIT_SETUP_STARTED for a payload without setup.exe
   (nothing to start, nothing failed), ERROR_INSTALL_TEMP_UNWRITABLE when the
   file in place is not the one written, ERROR_CANCELLED when the elevation
   prompt was declined, ERROR_INSTALL_PACKAGE_OPEN_FAILED when it cannot be
   started otherwise. */
static HANDLE StartSetup(const ExtractReport* report, DWORD* outcome) {
    static char line[COMMAND_LINE_SIZE];  // setup's command line; the worker runs once
    char setup_path[MAX_PATH];            // workspace\setup.exe
    int fits = 0;                         // the command line fits its buffer
    *outcome = EXIT_SETUP_STARTED;
    if (!report->setup_written) {
        return NULL;
    }
    memset(setup_path, 0, sizeof setup_path);
    CopyText(setup_path, MAX_PATH, g_workspace_path);
    AppendText(setup_path, MAX_PATH, "\\");
    AppendText(setup_path, MAX_PATH, SETUP_NAME);
    const char* command_line = BuildSetupCommandLine(line, sizeof line, setup_path, &fits);
    HANDLE held = HoldFile(setup_path, &report->setup_identity);  // read sharing only
    if (held == INVALID_HANDLE_VALUE) {
        *outcome = ERROR_INSTALL_TEMP_UNWRITABLE;
        return NULL;
    }
    HANDLE setup = fits ? LaunchProcess(setup_path, command_line) : NULL;
    DWORD error = GetLastError();  // why the start failed, if it did
    CloseHandle(held);
    if (setup == NULL) {
        *outcome =
            fits && error == ERROR_CANCELLED ? ERROR_CANCELLED : ERROR_INSTALL_PACKAGE_OPEN_FAILED;
    }
    return setup;
}

/* The outcome of an extraction that failed: a file that could not be
   written says why (a full disk, or a workspace that cannot be written);
   otherwise the payload is damaged or could not be read. */
static DWORD ExtractionFailure(const ExtractReport* report) {
    switch (report->write_error) {
    case 0:
        return ERROR_INSTALL_PACKAGE_INVALID;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ERROR_DISK_FULL;
    default:
        return ERROR_INSTALL_TEMP_UNWRITABLE;
    }
}

/* In silent mode the outcome is setup.exe's own exit code, all 32 bits of
   it, once it has ended. */
static DWORD FollowSetup(HANDLE setup) {
    DWORD outcome = EXIT_SETUP_STARTED;  // normal mode: started is success
    if (g_silent) {
        WaitForSingleObject(setup, INFINITE);
        if (!GetExitCodeProcess(setup, &outcome)) {
            outcome = ERROR_INSTALL_PACKAGE_OPEN_FAILED;
        }
    }
    CloseHandle(setup);
    return outcome;
}

/* The outcomes that the error box tells in normal mode: the payload could
   not be unpacked, or the workspace could not be used. A busy workspace, a
   declined prompt and a setup.exe that will not start are not shown. */
static int IsShownAsFileError(DWORD outcome) {
    static const DWORD SHOWN[] = {ERROR_INSTALL_PACKAGE_INVALID, ERROR_INSTALL_TEMP_UNWRITABLE,
                                  ERROR_DISK_FULL};
    for (size_t i = 0; i < sizeof SHOWN / sizeof SHOWN[0]; i++) {
        if (outcome == SHOWN[i]) {
            return 1;
        }
    }
    return 0;
}

/* Shows the error box over the dialog: string 107 where the string table
   in use has it, else "File error". The string is loaded into a buffer of
   its own, so that a lookup that finds nothing (and may still write an
   empty string) cannot blank the text. */
static void ShowFileError(void) {
    char message[MESSAGE_SIZE];  // the box's text
    char loaded[MESSAGE_SIZE];   // string 107, when there is one
    memset(message, 0, sizeof message);
    memset(loaded, 0, sizeof loaded);
    CopyText(message, sizeof message, ERROR_TEXT);
    if (LoadStringA(NULL, IDS_FILE_ERROR, loaded, MESSAGE_SIZE) > 0) {
        memcpy(message, loaded, sizeof message);
    }
    MessageBoxA(g_dialog, message, ERROR_CAPTION, MB_ICONERROR);
}

/* The worker thread's procedure; its parameter is unused and its result
   is always 0. The workspace is held from its creation until setup.exe has
   been started. The outcome goes to the dialog with the last message, and
   from there into the exit code. Silent mode shows nothing that waits for
   a person; in normal mode a payload that cannot be unpacked, and a
   workspace that cannot be used, show the error box. */
DWORD WINAPI RunSetupWorker(LPVOID parameter) {
    (void)parameter;
    Sleep(START_PAUSE_MS);
    g_silent = IsSilentRequested();
    Workspace workspace;                           // %TEMP%\qelvor and its holds
    enum WorkspaceState state = WORKSPACE_UNSAFE;  // whether the workspace may be used
    ExtractReport report;                          // what the extraction wrote
    int extracted = 0;                             // result of the extraction
    memset(&report, 0, sizeof report);
    if (NameWorkspace(&workspace)) {
        state = ResetWorkspace(&workspace);
        if (state == WORKSPACE_READY) {
            Sleep(RESET_PAUSE_MS);
            state = CreateWorkspace(&workspace);
        }
        CopyText(g_workspace_path, MAX_PATH, workspace.path);
        extracted = state == WORKSPACE_READY &&
                    ExtractPayload(g_instance, workspace.path, ReportProgress, &report);
    }

    ReleaseMutex(g_instance_lock);
    CloseHandle(g_instance_lock);

    DWORD outcome = state == WORKSPACE_BUSY     ? ERROR_INSTALL_ALREADY_RUNNING
                    : state == WORKSPACE_UNSAFE ? ERROR_INSTALL_TEMP_UNWRITABLE
                    : !extracted                ? ExtractionFailure(&report)
                                                : EXIT_SETUP_STARTED;                // the launcher's exit code
    HANDLE setup = extracted ? StartSetup(&report, &outcome) : NULL;  // the started setup, if any
    ReleaseWorkspace(&workspace);
    if (setup != NULL) {
        outcome = FollowSetup(setup);
    } else if (!g_silent && IsShownAsFileError(outcome)) {
        ShowFileError();
    }
    PostMessageA(g_dialog, WM_SETUP_DONE, (WPARAM)outcome, 0);
    return 0;
}
