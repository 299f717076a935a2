// The installer shell: the user-interface thread (start-up, hidden main
// window, progress dialog) and the worker thread that resets the workspace,
// unpacks the payload and starts setup.exe.
#pragma once

#include "platform/platform.h"

#include <stdint.h>

#define TITLE_SIZE 100  // bytes of the window title and class name buffers

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
// Returns the process handle, which the caller closes, or null.
HANDLE LaunchProcess(const char* application, const char* command_line);

// The user-interface thread.
extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line,
                              int show_command);
ATOM RegisterMainClass(HINSTANCE instance);
int CreateMainWindow(HINSTANCE instance, int show_command);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
