// The setup worker: the launcher's whole job, run once on its second thread.
//
// Reset the workspace %TEMP%\qelvor, unpack the payload into it, give up the
// single-instance lock, then start setup.exe (or show the error box), and
// ask the dialog to close. Every step that may fail without harm (folder
// creation and removal, the lock's release, a setup.exe that will not start)
// is left untested; what decides between setup and the error box is whether
// the workspace could be named and held, and the extraction's result.
#include "shell/shell.h"

#include "payload/cleanup.h"
#include "payload/folders.h"
#include "payload/paths.h"
#include "payload/payload.h"
#include "res/resource.h"

#include <string.h>

#define START_PAUSE_MS 100  // before the workspace is touched
#define RESET_PAUSE_MS 300  // between removing and re-creating it
#define WORKSPACE_NAME "qelvor"
#define SETUP_NAME "setup.exe"
#define SILENT_COMMAND_LINE "setup.exe /silent"
#define ERROR_TEXT "File error"  // where the string table has no string 107
#define ERROR_CAPTION "Setup"
#define MESSAGE_SIZE 512  // bytes of the error box's text

int32_t g_silent = 0;
char g_workspace_path[MAX_PATH];

/* Compares two strings in full, folding only the ASCII letters: the
   outcome does not depend on the user's locale. */
int EqualsIgnoringAsciiCase(const char* argument, const char* text) {
    for (;; argument++, text++) {
        char a = *argument;  // folded to lower case below
        char b = *text;
        a = (a >= 'A' && a <= 'Z') ? (char)(a - 'A' + 'a') : a;
        b = (b >= 'A' && b <= 'Z') ? (char)(b - 'A' + 'a') : b;
        if (a != b) {
            return 0;
        }
        if (a == '\0') {
            return 1;
        }
    }
}

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

/* Empties the old workspace and removes it with its two sub-folders. The
   workspace is emptied only while it is held open as itself, so it cannot
   be swapped for a link during the cleanup; one that is a link (or a file)
   is removed as such and never cleared through, so the cleanup cannot
   reach the link's target. */
static void ResetWorkspace(const char* workspace) {
    HANDLE held = HoldFolder(workspace);  // the old workspace, when it is a real folder
    if (held == INVALID_HANDLE_VALUE) {
        if (!RemoveDirectoryA(workspace)) {
            DeleteFileA(workspace);
        }
        return;
    }
    ClearDirectory(workspace);
    CloseHandle(held);

    char removal[3][MAX_PATH];  // Style, Lang, then the workspace itself
    memset(removal, 0, sizeof removal);
    CopyText(removal[0], MAX_PATH, workspace);
    AppendText(removal[0], MAX_PATH, "\\Style");
    CopyText(removal[1], MAX_PATH, workspace);
    AppendText(removal[1], MAX_PATH, "\\Lang");
    CopyText(removal[2], MAX_PATH, workspace);
    for (int i = 0; i < 3; i++) {
        RemoveDirectoryA(removal[i]);
    }
}

/* Writes the ANSI form of a wide path into ansi (MAX_PATH bytes). Fails
   where a character has no equivalent in the code page: Windows would put
   '?' or a look-alike there, which names another folder or none. Under a
   UTF-8 ANSI code page every character has one, and the conversion then
   takes neither the flag nor the report. */
static int ToAnsiPath(const WCHAR* wide, char* ansi) {
    int utf8 = GetACP() == CP_UTF8;  // no character can be lost
    BOOL lost = FALSE;               // a character had no equivalent
    int written = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1, ansi,
                                      MAX_PATH, NULL, utf8 ? NULL : &lost);
    return written > 0 && !lost;
}

/* The temporary folder in ANSI characters that name it, ending in a
   backslash: its own form where every character has an ANSI equivalent,
   else its short (8.3) form, which is plain ASCII. Returns the length, or
   0 with buffer emptied when neither exists (a user name outside the code
   page on a volume without short names). */
static size_t GetTempFolder(char* buffer) {
    WCHAR wide[MAX_PATH];                         // the folder as the system knows it
    WCHAR short_form[MAX_PATH];                   // its 8.3 form
    DWORD length = GetTempPathW(MAX_PATH, wide);  // characters, without the NUL
    if (length == 0 || length >= MAX_PATH) {
        buffer[0] = '\0';
        return 0;
    }
    if (ToAnsiPath(wide, buffer)) {
        return strlen(buffer);
    }
    length = GetShortPathNameW(wide, short_form, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !ToAnsiPath(short_form, buffer)) {
        buffer[0] = '\0';
        return 0;
    }
    return strlen(buffer);
}

/* Builds the workspace path from the temporary folder, which ends in a
   backslash. Fails when the temporary folder has no ANSI name, or is so
   long that the longest path built from it, workspace\setup.exe, would not
   fit MAX_PATH. */
static int BuildWorkspacePath(char* workspace) {
    size_t length = GetTempFolder(workspace);  // bytes, without the NUL
    if (length == 0) {
        return 0;
    }
    size_t longest = length + strlen(WORKSPACE_NAME) + 1 + strlen(SETUP_NAME) + 1;
    return longest <= MAX_PATH && AppendText(workspace, MAX_PATH, WORKSPACE_NAME);
}

/* Unpacks the payload into the freshly created workspace while holding it:
   the handle shows that the workspace is a real folder and not a link, and
   keeps it from being renamed or swapped until the extraction ends. */
static int ExtractIntoHeldWorkspace(const char* workspace) {
    HANDLE held = HoldFolder(workspace);  // the workspace, open without delete sharing
    if (held == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int extracted = ExtractPayload(g_instance, workspace, ReportProgress);
    CloseHandle(held);
    return extracted;
}

/* Starts the unpacked setup.exe: without waiting, with its own path as
   command line; or, in silent mode, as "setup.exe /silent", waiting until
   it ends. A setup that cannot be started is not reported. */
static void StartSetup(void) {
    if (IsSilentRequested()) {
        g_silent = 1;
    }
    char setup_path[MAX_PATH];  // workspace\setup.exe
    memset(setup_path, 0, sizeof setup_path);
    CopyText(setup_path, MAX_PATH, g_workspace_path);
    AppendText(setup_path, MAX_PATH, "\\");
    AppendText(setup_path, MAX_PATH, SETUP_NAME);
    if (g_silent) {
        HANDLE setup = LaunchProcess(setup_path, SILENT_COMMAND_LINE);
        WaitForSingleObject(setup, INFINITE);
        CloseHandle(setup);
    } else {
        CloseHandle(LaunchProcess(setup_path, NULL));
    }
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
   is always 0. */
DWORD WINAPI RunSetupWorker(LPVOID parameter) {
    (void)parameter;
    Sleep(START_PAUSE_MS);
    char workspace[MAX_PATH];  // %TEMP%\qelvor, without a trailing backslash
    memset(workspace, 0, sizeof workspace);

    int extracted = 0;  // result of the extraction; 0 also for a workspace it could not use
    if (BuildWorkspacePath(workspace)) {
        ResetWorkspace(workspace);
        Sleep(RESET_PAUSE_MS);
        CreateDirectoryA(workspace, NULL);
        CopyText(g_workspace_path, MAX_PATH, workspace);
        CreateDirectoryA(workspace, NULL);
        extracted = ExtractIntoHeldWorkspace(workspace);
    }

    ReleaseMutex(g_instance_lock);
    CloseHandle(g_instance_lock);

    if (extracted) {
        StartSetup();
    } else {
        ShowFileError();
    }
    PostMessageA(g_dialog, WM_CLOSE, 0, 0);
    return 0;
}
