// Start-up and the hidden main window.
//
// The main window is never shown: it owns the progress dialog and holds the
// message loop. Creating it runs the whole dialog, so by the time the window
// exists the worker has finished or the user has ended the dialog. The
// dialog's result becomes the quit request's exit code, which WinMain
// returns and the runtime makes the process's exit code: the outcome that
// the worker (or the lock) ended the dialog with, or, for the user's own
// end of it, ERROR_INSTALL_USEREXIT.
#include "shell/shell.h"

#include "res/resource.h"

HINSTANCE g_instance = NULL;
char g_window_title[TITLE_SIZE];
char g_window_class[TITLE_SIZE];

#define MAIN_CLASS_ICON 130  // no such icon group: the class has no icon of its own

/* Registers the main window's class. */
ATOM RegisterMainClass(HINSTANCE instance) {
    WNDCLASSEXA window_class;  // every field set below
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = MainWndProc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(MAIN_CLASS_ICON));
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(UINT_PTR)(COLOR_WINDOW + 1);
    window_class.lpszMenuName = NULL;
    window_class.lpszClassName = g_window_class;
    window_class.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(MAIN_CLASS_ICON));
    return RegisterClassExA(&window_class);
}

/* Creates the main window, which runs the dialog while it is created, and
   hides it. The show command is ignored: the window is never shown. */
int CreateMainWindow(HINSTANCE instance, int show_command) {
    (void)show_command;
    g_instance = instance;  // the dialog, created inside the next call, needs it
    HWND window = CreateWindowExA(0, g_window_class, g_window_title, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL, instance, NULL);
    if (window == NULL) {
        return 0;
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return 1;
}

/* Asks the loop to quit after the dialog's end.

   | result         | quit request                                         |
   |----------------|------------------------------------------------------|
   | DIALOG_DONE, 0 | none: the dialog asked for it, with the outcome (0:  |
   |                | a modal loop met that request, ended and passed it on) |
   | IDOK, IDCANCEL | ERROR_INSTALL_USEREXIT: ended by the user            |
   | -1             | ERROR_OUTOFMEMORY: the dialog was not made           | */
static void QuitAfterDialog(INT_PTR result) {
    switch (result) {
    case DIALOG_DONE:
    case 0:
        break;
    case -1:
        PostQuitMessage(ERROR_OUTOFMEMORY);
        break;
    default:
        PostQuitMessage(ERROR_INSTALL_USEREXIT);
        break;
    }
}

/* The main window's procedure.

   | message    | action                                          | result  |
   |------------|-------------------------------------------------|---------|
   | WM_CREATE  | run dialog 131 modally, then see that the loop  | 0       |
   |            | is asked to quit (QuitAfterDialog)              |         |
   | WM_DESTROY | ask the loop to quit                            | 0       |
   | other      | default handling                                | default |

   A quit request follows every dialog result, 1 (IDOK, Enter in the
   variant whose button is hidden) included, so no result leaves the
   process running without a window. */
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        QuitAfterDialog(DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_PROGRESS), window,
                                        ProgressDialogProc, 0));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

/* The process entry. DLL loading is first restricted to the system
   folder, so that a DLL planted beside the launcher (in a Downloads
   folder, say) is never loaded. */
extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line,
                              int show_command) {
    (void)previous;
    (void)command_line;
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    LoadStringA(instance, IDS_TITLE, g_window_title, TITLE_SIZE);
    LoadStringA(instance, IDS_CLASS, g_window_class, TITLE_SIZE);
    RegisterMainClass(instance);
    if (!CreateMainWindow(instance, show_command)) {
        return ERROR_OUTOFMEMORY;
    }
    MSG msg;  // the message being dispatched
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
