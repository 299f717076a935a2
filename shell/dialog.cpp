// The progress dialog (dialog 131): takes the single-instance lock, shows
// the icon and a progress bar, and starts the worker. It ends on its button,
// Escape, its close box, or the worker's close request.
#include "shell/shell.h"

#include "res/resource.h"

#include <string.h>

HWND g_dialog = NULL;
HWND g_progress_bar = NULL;
HANDLE g_instance_lock = NULL;

#define INSTANCE_LOCK_NAME "QELVORLOCK"  // local to the logon session
#define COMMON_CONTROLS_DLL "comctl32.dll"
#define INIT_COMMON_CONTROLS_ORDINAL 17
#define BAR_LEFT_MARGIN 15       // pixels from the client area's left edge
#define BAR_BOTTOM_OFFSET 35     // pixels from its bottom edge to the bar's top
#define BAR_WIDTH_SHORTFALL 100  // the bar is this much narrower than the client area
#define BAR_HEIGHT 20

typedef void(WINAPI* InitCommonControlsFn)(void);

/* Makes the progress bar class available. COMCTL32 is loaded from the
   system folder by name, and its initialisation taken by ordinal, so that
   the launcher's import table names no DLL that could be planted. */
static void LoadCommonControls(void) {
    HMODULE controls = LoadLibraryExA(COMMON_CONTROLS_DLL, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (controls == NULL) {
        return;
    }
    FARPROC init = GetProcAddress(controls, MAKEINTRESOURCEA(INIT_COMMON_CONTROLS_ORDINAL));
    if (init != NULL) {
        ((InitCommonControlsFn)(void*)init)();
    }
}

/* Takes the single-instance lock. The creator of a new mutex owns it, so
   its wait succeeds at once; a launcher that only opened an existing one
   times out. Returns 1, or 0 when another launcher holds the lock (or the
   mutex cannot be had at all, which a deployment tool may retry alike). */
static int TakeInstanceLock(void) {
    char name[MAX_PATH];  // the mutex name, zero-filled behind it
    memset(name, 0, sizeof name);
    strcpy(name, INSTANCE_LOCK_NAME);
    g_instance_lock = CreateMutexA(NULL, TRUE, name);
    if (g_instance_lock == NULL) {
        return 0;
    }
    if (WaitForSingleObject(g_instance_lock, 0) != WAIT_OBJECT_0) {
        CloseHandle(g_instance_lock);
        return 0;
    }
    return 1;
}

/* The dialog's initialisation, in order: lock, caption icon, progress bar
   placed from the client rectangle, worker thread. The worker's thread
   handle is closed at once; the thread runs on without it. A launcher that
   finds the lock held ends its dialog before it is ever shown, with the
   exit code ERROR_INSTALL_ALREADY_RUNNING, and starts nothing. */
static void InitProgressDialog(HWND dialog) {
    if (!TakeInstanceLock()) {
        PostQuitMessage(ERROR_INSTALL_ALREADY_RUNNING);
        EndDialog(dialog, DIALOG_DONE);
        return;
    }
    LRESULT icon = SendMessageA(GetDlgItem(dialog, IDC_DIALOG_ICON), STM_GETICON, 0, 0);
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, icon);
    RECT client;  // the dialog's client area, in pixels
    memset(&client, 0, sizeof client);
    GetClientRect(dialog, &client);
    LoadCommonControls();
    g_progress_bar = CreateWindowExA(
        0, PROGRESS_CLASSA, NULL, WS_CHILD | WS_VISIBLE, client.left + BAR_LEFT_MARGIN,
        client.bottom - BAR_BOTTOM_OFFSET, client.right - BAR_WIDTH_SHORTFALL, BAR_HEIGHT, dialog,
        (HMENU)0, g_instance, NULL);
    DWORD thread_id = 0;  // not used further
    HANDLE worker = CreateThread(NULL, 0, RunSetupWorker, NULL, 0, &thread_id);
    if (worker != NULL) {
        CloseHandle(worker);
    }
}

/* The dialog's procedure.

   | message                   | action                     | result |
   |---------------------------|----------------------------|--------|
   | WM_CLOSE                  | nothing                    | FALSE: the default posts IDCANCEL |
   | WM_INITDIALOG             | initialise (see above)     | TRUE   |
   | WM_COMMAND, IDOK/IDCANCEL | end with that id           | TRUE   |
   | WM_SETUP_DONE             | quit with the outcome; end | TRUE   |
   | anything else             | nothing                    | FALSE  |

   The handle is stored first on every message, for the worker's use. The
   worker's outcome becomes the quit request's exit code here, and the
   dialog ends with DIALOG_DONE; for the user's end of it (the button,
   Escape, the close box, which the default handling turns into IDCANCEL)
   MainWndProc asks the loop to quit. */
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    (void)lparam;
    g_dialog = dialog;
    switch (message) {
    case WM_CLOSE:
        return FALSE;
    case WM_INITDIALOG:
        InitProgressDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
        case IDCANCEL:
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        default:
            return FALSE;
        }
    case WM_SETUP_DONE:
        PostQuitMessage((int)(DWORD)wparam);
        EndDialog(dialog, DIALOG_DONE);
        return TRUE;
    default:
        return FALSE;
    }
}
