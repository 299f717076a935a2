// The Windows services that the launcher calls, under their Windows names.
//
// On Windows this is <windows.h> itself. Elsewhere it is a small stand-in over
// POSIX (platform/posix/), written from what the launcher expects of each call:
// enough to run the extractor, the workspace cleanup and the worker on Linux,
// with the window services recorded instead of drawn. This header is the only
// place that knows which of the two is in use.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>  // SHELLEXECUTEINFOA; SHELL32 itself is loaded at run time
#include <stdlib.h>    // __argc, __argv
#ifndef ERROR_ELEVATION_REQUIRED
// CreateProcess of a program whose manifest asks for administrator rights.
#define ERROR_ELEVATION_REQUIRED 740
#endif
#else
#include "posix/winapi.h"
#endif
