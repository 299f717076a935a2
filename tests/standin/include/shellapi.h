// The stand-in's <shellapi.h>: SHELLEXECUTEINFOA is in winapi.h with the
// rest.
#pragma once

#include <windows.h>
