// Declarations of the POSIX stand-in for the Windows services that the
// launcher uses. Types, constants and signatures follow <windows.h> (ANSI
// variants, 64-bit sizes), so that the launcher's code compiles unchanged on
// either system. Only what the launcher calls is here.
//
// Behaviour that the launcher relies on and the stand-in provides:
// - paths use backslashes (forward slashes work too); where an exact name is
//   missing, each path component resolves without regard to ASCII case;
// - every handle and heap block is counted, and tests can make the Nth call
//   of a kind fail (see testing.h);
// - window services are headless: windows and messages are recorded.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- basic types -----------------------------------------------------------
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef unsigned int UINT;
typedef int INT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef void* HANDLE;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HWND;
typedef HANDLE HICON;
typedef HANDLE HCURSOR;
typedef HANDLE HBRUSH;
typedef HANDLE HMENU;
typedef HANDLE HGLOBAL;
typedef HANDLE HKEY;
typedef uint32_t ULONG;
typedef INT_PTR (*FARPROC)();
typedef unsigned char BOOLEAN;
typedef int64_t LONGLONG;
typedef union _LARGE_INTEGER {
    LONGLONG QuadPart;
} LARGE_INTEGER;
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;

#define WINAPI
#define CALLBACK
#define APIENTRY
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define LOWORD(l) ((WORD)(((UINT_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((UINT_PTR)(l)) >> 16) & 0xffff))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)((WORD)(l) | ((DWORD)(WORD)(h)) << 16))
#define MAKEINTRESOURCEA(i) ((LPSTR)(UINT_PTR)((WORD)(i)))
#define IS_INTRESOURCE(r) ((((UINT_PTR)(r)) >> 16) == 0)

// ---- errors ----------------------------------------------------------------
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NO_MORE_FILES 18
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_FILE_EXISTS 80
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_ALREADY_EXISTS 183
#define ERROR_READ_FAULT 30
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_MORE_DATA 234
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_DIRECTORY 267
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_NOT_OWNER 288
#define ERROR_ELEVATION_REQUIRED 740
#define ERROR_CANCELLED 1223
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_WRITE_FAULT 29
#define ERROR_INSTALL_USEREXIT 1602
#define ERROR_INSTALL_ALREADY_RUNNING 1618
#define ERROR_INSTALL_PACKAGE_OPEN_FAILED 1619
#define ERROR_INSTALL_PACKAGE_INVALID 1620
#define ERROR_INSTALL_TEMP_UNWRITABLE 1632
#define ERROR_OUTOFMEMORY 14
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814
DWORD GetLastError();
void SetLastError(DWORD code);

// ---- files and folders -----------------------------------------------------
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020  // a folder's FILE_EXECUTE
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define WRITE_DAC 0x00040000
#define SYNCHRONIZE 0x00100000
#define FILE_ALL_ACCESS 0x001F01FF
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define FILE_SHARE_DELETE 0x4
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000    // open a folder
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000  // open a link itself, not its target
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_HIDDEN 0x2
#define FILE_ATTRIBUTE_SYSTEM 0x4
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define MOVEFILE_REPLACE_EXISTING 0x1
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x4

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

// SetFileInformationByHandle's records; times of 0 leave a time unchanged.
typedef enum _FILE_INFO_BY_HANDLE_CLASS {
    FileBasicInfo = 0,
    FileDispositionInfo = 4,
    FileFullDirectoryInfo = 14,        // the next entries of a folder's listing
    FileFullDirectoryRestartInfo = 15  // the first entries, the listing started afresh
} FILE_INFO_BY_HANDLE_CLASS;
typedef struct _FILE_BASIC_INFO {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    DWORD FileAttributes;
} FILE_BASIC_INFO;
typedef struct _FILE_DISPOSITION_INFO {
    BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFO;
// One entry of a listing by handle; entries follow each other at
// NextEntryOffset (0 for the last), each name FileNameLength bytes long.
typedef struct _FILE_FULL_DIR_INFO {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    wchar_t FileName[1];
} FILE_FULL_DIR_INFO;

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
BOOL CloseHandle(HANDLE handle);
BOOL CopyFileA(LPCSTR existing, LPCSTR copy, BOOL fail_if_exists);
BOOL DeleteFileA(LPCSTR path);
BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags);
DWORD GetFileAttributesA(LPCSTR path);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE search);
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryA(LPCSTR path);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                DWORD size);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                  DWORD size);
DWORD GetTempPathA(DWORD size, LPSTR buffer);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

// ---- wide text and the ANSI code page ---------------------------------------
// Wide strings are wchar_t here (UTF-32), UTF-16 on Windows; the launcher
// only passes them between these calls. The stand-in's ANSI code page is
// US-ASCII (every other character has no ANSI form) unless a test or the
// packer sets another (PlatformSetAnsiCodepage).
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BOOL* LPBOOL;
#define CP_ACP 0
#define CP_UTF8 65001
#define WC_NO_BEST_FIT_CHARS 0x400
#define WC_ERR_INVALID_CHARS 0x80
#define MB_ERR_INVALID_CHARS 0x8
UINT GetACP();
int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR wide, int wide_length, LPSTR bytes,
                        int size, LPCSTR default_char, LPBOOL used_default);
int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR bytes, int length, LPWSTR wide,
                        int size);
DWORD GetTempPathW(DWORD size, LPWSTR buffer);
DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size);

// ---- the process heap ------------------------------------------------------
#define HEAP_ZERO_MEMORY 0x8
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);

// ---- threads, processes, the mutex -----------------------------------------
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x0u
#define WAIT_ABANDONED 0x80u
#define WAIT_TIMEOUT 0x102u
#define WAIT_FAILED 0xFFFFFFFFu

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

void Sleep(DWORD milliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD thread_id);
BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES process_security,
                    LPSECURITY_ATTRIBUTES thread_security, BOOL inherit_handles, DWORD flags,
                    LPVOID environment, LPCSTR current_directory, LPSTARTUPINFOA startup,
                    LPPROCESS_INFORMATION information);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
#define STILL_ACTIVE 259
BOOL GetExitCodeProcess(HANDLE process, LPDWORD code);
LPSTR GetCommandLineA();
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initial_owner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
[[noreturn]] void ExitProcess(UINT exit_code);

// The runtime's split of the command line (msvcrt's __argc and __argv).
extern int __argc;
extern char** __argv;

// The shell's start of a program (SHELL32, loaded at run time).
#define SEE_MASK_NOCLOSEPROCESS 0x00000040
#define SEE_MASK_NOASYNC 0x00000100
#define SEE_MASK_FLAG_NO_UI 0x00000400
typedef struct _SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
} SHELLEXECUTEINFOA, *LPSHELLEXECUTEINFOA;

// ---- security (ADVAPI32, loaded at run time) -------------------------------
typedef void* PSID;
typedef void* PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION;
typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenOwner = 4 } TOKEN_INFORMATION_CLASS;
typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES;
typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER;
typedef struct _TOKEN_OWNER {
    PSID Owner;
} TOKEN_OWNER;
#define TOKEN_QUERY 0x0008
#define OWNER_SECURITY_INFORMATION 0x1
#define DACL_SECURITY_INFORMATION 0x4
#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_DESCRIPTOR_REVISION 1
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define INHERITED_ACE 0x10
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_PROTECTED 0x1000
#define SE_SELF_RELATIVE 0x8000
HANDLE GetCurrentProcess();

// ---- libraries -------------------------------------------------------------
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
HMODULE GetModuleHandleA(LPCSTR name);
BOOL SetDefaultDllDirectories(DWORD flags);
HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// ---- windows, dialogs, messages, resources ---------------------------------
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_SETICON 0x0080
#define WM_KEYDOWN 0x0100
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_USER 0x0400
#define WM_APP 0x8000
#define STM_GETICON 0x0171
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define VK_ESCAPE 0x1B
#define ICON_SMALL 0
#define ICON_BIG 1
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define MB_OK 0x0
#define MB_ICONERROR 0x10
#define IDOK 1
#define IDCANCEL 2
#define IDCLOSE 8
#define CS_VREDRAW 0x1
#define CS_HREDRAW 0x2
#define WS_OVERLAPPEDWINDOW 0x00CF0000
#define WS_CHILD 0x40000000
#define WS_VISIBLE 0x10000000
#define CW_USEDEFAULT ((int)0x80000000)
#define COLOR_WINDOW 5
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define PROGRESS_CLASSA "msctls_progress32"

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef struct tagWNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA;

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
ATOM RegisterClassExA(const WNDCLASSEXA* window_class);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter);
BOOL ShowWindow(HWND window, int command);
BOOL UpdateWindow(HWND window);
BOOL GetMessageA(LPMSG msg, HWND window, UINT first, UINT last);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM parameter);
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int id);
BOOL GetClientRect(HWND window, LPRECT rect);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
void InitCommonControls();
