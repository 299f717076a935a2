// The Windows services that the launcher calls, under their Windows names:
// <windows.h> and the two headers beside it that the launcher needs. Only
// the launcher's own rooms (workspace/, shell/) include this; what the
// packer shares with the launcher (inflate/, payload/) calls no system.
//
// On Linux the launcher's rooms are built only for the native tests, which
// put the Win32 stand-in's headers of the same names first on the include
// path; nothing shipped is built that way.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>  // SHELLEXECUTEINFOA; SHELL32 itself is loaded at run time
#include <stdlib.h>    // __argc, __argv

#ifndef ERROR_ELEVATION_REQUIRED
// CreateProcess of a program whose manifest asks for administrator rights.
#define ERROR_ELEVATION_REQUIRED 740
#endif
