// Holding a folder of the workspace while the launcher writes into it.
#pragma once

#include "platform/platform.h"

// Opens folder (a path without a trailing backslash) and checks through the
// open handle, not the path, that it is a real folder and not a link,
// junction or file. The handle does not share deletion, so while it is
// open the folder cannot be removed, renamed or replaced by a link. Returns
// the handle, which the caller closes, or INVALID_HANDLE_VALUE when the
// folder cannot be opened or is not a real folder.
HANDLE HoldFolder(const char* folder);
