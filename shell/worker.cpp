// The setup worker: the launcher's whole job, run once on its second thread.
//
// Reset the workspace %TEMP%\qelvor, unpack the payload into it, give up the
// single-instance lock, then start setup.exe (or show the error box), and
// ask the dialog to close. Every step that may fail without harm (folder
// removal, the lock's release, a setup.exe that will not start) is left
// untested; what decides between setup and the error box is whether the
// workspace could be named, created as the launcher's own, held and
// emptied, the extraction's result, and whether setup.exe is still the file
// written. A workspace with anything in use in it (the setup an earlier
// launcher started, still running) is neither emptied nor used: the run
// ends without a word, as when another launcher holds the lock.
//
// A deployment tool may run the launcher as SYSTEM in C:\Windows\Temp, where
// every user may create files: the workspace gets an access list of its own
// (only the token's user, SYSTEM and Administrators), a folder someone else
// owns is never used, nor one that cannot be emptied (a file planted and
// held open, or one the launcher may not delete), and the workspace and
// setup.exe stay held from their creation until setup has been started, so
// nothing can be planted or swapped on the way. This trades the plain path calls for handles and
// one library (ADVAPI32) loaded at run time.
#include "shell/shell.h"

#include "payload/cleanup.h"
#include "payload/folders.h"
#include "payload/paths.h"
#include "payload/payload.h"
#include "payload/security.h"
#include "res/resource.h"

#include <string.h>

#define START_PAUSE_MS 100  // before the workspace is touched
#define RESET_PAUSE_MS 300  // between removing and re-creating it
#define WORKSPACE_NAME "qelvor"
#define STYLE_FOLDER "\\Style"  // created with the workspace's own access list
#define LANG_FOLDER "\\lang"
#define KERNEL_DLL "kernel32.dll"
#define GET_TEMP_PATH_2 "GetTempPath2W"  // Windows 11, Server 2022 and later
#define SILENT_COMMAND_LINE "setup.exe /silent"
#define ERROR_TEXT "File error"  // where the string table has no string 107
#define ERROR_CAPTION "Setup"
#define MESSAGE_SIZE 512  // bytes of the error box's text

typedef DWORD(WINAPI* GetTempPathWFn)(DWORD size, LPWSTR buffer);

// Whether the workspace may be used, as the reset and the creation leave it.
enum WorkspaceState {
    WORKSPACE_READY,  // created or emptied, the launcher's own, held: nothing else in it
    WORKSPACE_BUSY,   // something in it is in use: it was left as it was
    WORKSPACE_UNSAFE  // it cannot be named, held, owned or emptied
};

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

/* Empties the old workspace and removes it with its two sub-folders; a
   workspace with anything in use is left as it is, and the run ends there.
   The workspace is emptied only while it is held open as itself
   (ClearDirectory holds it), so it cannot be swapped for a link during the
   cleanup; one that is a link (or a file) is removed as such and never
   cleared through, so the cleanup cannot reach the link's target. What
   resists deletion keeps the folder in place, where CreateWorkspace finds
   it and refuses it. */
static enum WorkspaceState ResetWorkspace(const char* workspace) {
    switch (ClearDirectory(workspace)) {
    case CLEAR_IN_USE:
        return WORKSPACE_BUSY;
    case CLEAR_NO_FOLDER:
        if (!RemoveDirectoryA(workspace)) {
            DeleteFileA(workspace);
        }
        return WORKSPACE_READY;
    case CLEAR_EMPTIED:
    case CLEAR_LEFT_OVER:
        break;
    }
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
    return WORKSPACE_READY;
}

/* The call that names the temporary folder: GetTempPath2W where KERNEL32
   has it (Windows 11 and Server 2022 give SYSTEM its own
   C:\Windows\SystemTemp, which only SYSTEM and Administrators may use, where
   GetTempPathW gives C:\Windows\Temp, open to every user); else
   GetTempPathW. */
static GetTempPathWFn FindGetTempPath(void) {
    HMODULE kernel = GetModuleHandleA(KERNEL_DLL);
    FARPROC newer = kernel != NULL ? GetProcAddress(kernel, GET_TEMP_PATH_2) : NULL;
    return newer != NULL ? (GetTempPathWFn)(void*)newer : GetTempPathW;
}

/* The temporary folder in ANSI characters that name it, ending in a
   backslash: its own form where every character has an ANSI equivalent,
   else its short (8.3) form, which is plain ASCII. Returns the length, or
   0 with buffer emptied when neither exists (a user name outside the code
   page on a volume without short names). */
static size_t GetTempFolder(char* buffer) {
    WCHAR wide[MAX_PATH];                              // the folder as the system knows it
    WCHAR short_form[MAX_PATH];                        // its 8.3 form
    DWORD length = FindGetTempPath()(MAX_PATH, wide);  // characters, without the NUL
    if (length == 0 || length >= MAX_PATH) {
        buffer[0] = '\0';
        return 0;
    }
    if (WideToAnsi(wide, -1, buffer, MAX_PATH) > 0) {
        return strlen(buffer);
    }
    length = GetShortPathNameW(wide, short_form, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || WideToAnsi(short_form, -1, buffer, MAX_PATH) == 0) {
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

/* Creates the workspace's sub-folder name with the workspace's access list,
   so that it is protected where the file system does not apply
   inheritance; the extractor then finds it in place and holds it. */
static void CreateSubfolder(const char* workspace, const char* name,
                            SECURITY_ATTRIBUTES* attributes) {
    char folder[MAX_PATH];  // workspace\name
    memset(folder, 0, sizeof folder);
    if (CopyText(folder, MAX_PATH, workspace) && AppendText(folder, MAX_PATH, name)) {
        CreateDirectoryA(folder, attributes);
    }
}

/* Creates the workspace with an access list of its own, holds it, and
   makes sure that it is empty. A folder that is still there (the reset
   could not remove it, or someone created it during the pause) is used only
   when the launcher's token owns it; its access list is then replaced and
   it is emptied again. The owner is checked through the handle for a
   folder just created too, since another could stand in its place by the
   time it is held. Whatever else stands there, a folder of someone else's
   or a link, gives no handle, and nothing is written; nor does a folder
   with anything in use in it, or anything that cannot be deleted: the
   workspace is used only when it holds nothing but what the launcher is
   about to write. *held receives the handle when the workspace is ready. */
static enum WorkspaceState CreateWorkspace(const char* workspace, HANDLE* held) {
    *held = INVALID_HANDLE_VALUE;
    WorkspaceSecurity security;  // the protected access list
    if (!BuildWorkspaceSecurity(&security)) {
        return WORKSPACE_UNSAFE;
    }
    SECURITY_ATTRIBUTES attributes;  // the descriptor, not inheritable by child processes
    memset(&attributes, 0, sizeof attributes);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = security.descriptor;
    int created = CreateDirectoryA(workspace, &attributes);
    HANDLE folder = HoldFolder(workspace);  // open without delete sharing from here on
    if (folder == INVALID_HANDLE_VALUE) {
        return WORKSPACE_UNSAFE;
    }
    enum ClearResult cleared = CLEAR_NO_FOLDER;  // what emptying it again came to
    if (IsOwnedByToken(folder) && (created || ProtectObject(folder, &security))) {
        cleared = ClearHeldFolder(folder, workspace);
    }
    if (cleared != CLEAR_EMPTIED) {
        CloseHandle(folder);
        return cleared == CLEAR_IN_USE ? WORKSPACE_BUSY : WORKSPACE_UNSAFE;
    }
    CreateSubfolder(workspace, STYLE_FOLDER, &attributes);
    CreateSubfolder(workspace, LANG_FOLDER, &attributes);
    *held = folder;
    return WORKSPACE_READY;
}

/* Starts the setup.exe that the extraction wrote: with its own path as
   command line, or in silent mode as "setup.exe /silent". From the check of
   its identity until the start has returned, the file is held so that
   nobody can change or replace it. Returns the started process, or null
   when there is none: a payload without setup.exe starts nothing, and a
   setup that cannot be started is not reported. *refused is set when the
   file in place is not the one written. */
static HANDLE StartSetup(int* refused) {
    if (IsSilentRequested()) {
        g_silent = 1;
    }
    *refused = 0;
    if (!g_setup_written) {
        return NULL;
    }
    char setup_path[MAX_PATH];  // workspace\setup.exe
    memset(setup_path, 0, sizeof setup_path);
    CopyText(setup_path, MAX_PATH, g_workspace_path);
    AppendText(setup_path, MAX_PATH, "\\");
    AppendText(setup_path, MAX_PATH, SETUP_NAME);
    HANDLE held = HoldFile(setup_path, &g_setup_identity);  // read sharing only
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
   is always 0. A busy workspace ends the run as a held lock does, without
   a word; one that cannot be made safe shows the error box. */
DWORD WINAPI RunSetupWorker(LPVOID parameter) {
    (void)parameter;
    Sleep(START_PAUSE_MS);
    char workspace[MAX_PATH];  // %TEMP%\qelvor, without a trailing backslash
    memset(workspace, 0, sizeof workspace);

    HANDLE held = INVALID_HANDLE_VALUE;  // the workspace, from its creation until setup starts
    enum WorkspaceState state = WORKSPACE_UNSAFE;  // whether the workspace may be used
    int extracted = 0;                             // result of the extraction
    if (BuildWorkspacePath(workspace)) {
        state = ResetWorkspace(workspace);
        if (state == WORKSPACE_READY) {
            Sleep(RESET_PAUSE_MS);
            state = CreateWorkspace(workspace, &held);
        }
        CopyText(g_workspace_path, MAX_PATH, workspace);
        extracted =
            state == WORKSPACE_READY && ExtractPayload(g_instance, workspace, ReportProgress);
    }

    ReleaseMutex(g_instance_lock);
    CloseHandle(g_instance_lock);

    int refused = 0;                                         // setup.exe is not the file written
    HANDLE setup = extracted ? StartSetup(&refused) : NULL;  // the started setup, if any
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
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
