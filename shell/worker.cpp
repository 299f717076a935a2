// The setup worker: the launcher's whole job, run once on its second thread.
//
// Reset the workspace %TEMP%\qelvor, unpack the payload into it, give up the
// single-instance lock, then start setup.exe (or show the error box), and
// ask the dialog to close. Every step that may fail without harm (folder
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

/* Starts the setup.exe that the extraction wrote: with its own path as
   command line, or in silent mode as "setup.exe /silent". From the check of
   its identity until the start has returned, the file is held so that
   nobody can change or replace it. Returns the started process, or null
   when there is none: a payload without setup.exe starts nothing, and a
   setup that cannot be started is not reported. *refused is set when the
   file in place is not the one written. */
static HANDLE StartSetup(const WrittenSetup* written, int* refused) {
    if (IsSilentRequested()) {
        g_silent = 1;
    }
    *refused = 0;
    if (!written->written) {
        return NULL;
    }
    char setup_path[MAX_PATH];  // workspace\setup.exe
    memset(setup_path, 0, sizeof setup_path);
    CopyText(setup_path, MAX_PATH, g_workspace_path);
    AppendText(setup_path, MAX_PATH, "\\");
    AppendText(setup_path, MAX_PATH, SETUP_NAME);
    HANDLE held = HoldFile(setup_path, &written->identity);  // read sharing only
    if (held == INVALID_HANDLE_VALUE) {
        *refused = 1;
        return NULL;
    }
    HANDLE setup = LaunchProcess(setup_path, g_silent ? SILENT_COMMAND_LINE : NULL);
    CloseHandle(held);
    return setup;
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
   been started. A busy workspace ends the run as a held lock does, without
   a word; one that cannot be made safe shows the error box. */
DWORD WINAPI RunSetupWorker(LPVOID parameter) {
    (void)parameter;
    Sleep(START_PAUSE_MS);
    Workspace workspace;                           // %TEMP%\qelvor and its holds
    enum WorkspaceState state = WORKSPACE_UNSAFE;  // whether the workspace may be used
    WrittenSetup written;                          // the setup.exe that the extraction wrote
    int extracted = 0;                             // result of the extraction
    memset(&written, 0, sizeof written);
    if (NameWorkspace(&workspace)) {
        state = ResetWorkspace(&workspace);
        if (state == WORKSPACE_READY) {
            Sleep(RESET_PAUSE_MS);
            state = CreateWorkspace(&workspace);
        }
        CopyText(g_workspace_path, MAX_PATH, workspace.path);
        extracted = state == WORKSPACE_READY &&
                    ExtractPayload(g_instance, workspace.path, ReportProgress, &written);
    }

    ReleaseMutex(g_instance_lock);
    CloseHandle(g_instance_lock);

    int refused = 0;  // setup.exe is not the file written
    HANDLE setup = extracted ? StartSetup(&written, &refused) : NULL;  // the started setup, if any
    ReleaseWorkspace(&workspace);
    if (state != WORKSPACE_BUSY && (!extracted || refused)) {
        ShowFileError();
    } else if (setup != NULL) {
        if (g_silent) {
            WaitForSingleObject(setup, INFINITE);
        }
        CloseHandle(setup);
    }
    PostMessageA(g_dialog, WM_CLOSE, 0, 0);
    return 0;
}
