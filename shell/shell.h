// The installer shell: the user-interface thread (start-up, hidden main
// window, progress dialog) and the worker thread that resets the workspace,
// unpacks the payload and starts setup.exe.
#pragma once

#include "platform/platform.h"

#include <stdint.h>

#define TITLE_SIZE 100           // bytes of the window title and class name buffers
#define COMMAND_LINE_SIZE 32768  // CreateProcess's longest command line, terminator included

// The worker's last message to the dialog: its wParam is the outcome, the
// launcher's exit code. The dialog asks the message loop to quit with it
// and ends with DIALOG_DONE, which no button gives; a dialog result carries
// no more than 32 bits everywhere, and an outcome may be any 32-bit value,
// IDOK and IDCANCEL included.
#define WM_SETUP_DONE (WM_APP + 1)
#define DIALOG_DONE IDCLOSE

// The launcher's own outcomes, as Windows Installer's codes, which
// deployment tools read (in silent mode a started setup.exe's own exit
// code takes their place): the user ended the dialog before setup.exe
// started (ERROR_INSTALL_USEREXIT); another launcher runs, or a setup from
// the workspace still does (ERROR_INSTALL_ALREADY_RUNNING); the payload is
// damaged or unreadable (ERROR_INSTALL_PACKAGE_INVALID); the workspace
// cannot be made safe or written (ERROR_INSTALL_TEMP_UNWRITABLE); the disk
// is full (ERROR_DISK_FULL); setup.exe cannot be started
// (ERROR_INSTALL_PACKAGE_OPEN_FAILED) or its elevation was declined
// (ERROR_CANCELLED); the launcher's windows cannot be made
// (ERROR_OUTOFMEMORY).
#define EXIT_SETUP_STARTED 0  // normal mode: setup.exe runs

// Written on the user-interface thread before the worker starts.
extern HINSTANCE g_instance;             // the module that carries the payload
extern char g_window_title[TITLE_SIZE];  // string 103
extern char g_window_class[TITLE_SIZE];  // string 104
extern HWND g_dialog;                    // the progress dialog
extern HWND g_progress_bar;              // its progress bar
extern HANDLE g_instance_lock;           // the single-instance mutex

// Written by the worker.
extern int32_t g_silent;                 // 1: start setup.exe silently and wait
extern char g_workspace_path[MAX_PATH];  // the workspace, once created

// The worker thread: reset, unpack, release the lock, launch, close.
DWORD WINAPI RunSetupWorker(LPVOID parameter);

// Progress callback of the extraction: moves the bar, hides the dialog at
// the end. Always returns 1.
int ReportProgress(uint32_t done, uint32_t total, uint32_t reserved);

// Starts a program; a null command line makes its path the command line.
// Returns the process handle, which the caller closes, or null with the
// reason in GetLastError (ERROR_CANCELLED: the elevation prompt declined).
HANDLE LaunchProcess(const char* application, const char* command_line);

// The arguments of a command line after its program's name and the first
// `skipped` arguments (0, or 1 for the argument that selects silent mode),
// without the blanks before them, as typed.
const char* ArgumentsAfter(const char* command_line, int skipped);

// The user-interface thread.
extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line,
                              int show_command);
ATOM RegisterMainClass(HINSTANCE instance);
int CreateMainWindow(HINSTANCE instance, int show_command);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
