// The stand-in's <commctrl.h>: the progress bar's class and messages are in
// winapi.h with the rest.
#pragma once

#include <windows.h>
