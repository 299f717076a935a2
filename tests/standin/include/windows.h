// The stand-in's <windows.h>: the launcher's rooms include the Windows
// headers by their own names, and the native tests put this folder first on
// the include path.
#pragma once

#include "../winapi.h"
