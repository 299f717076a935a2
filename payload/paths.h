// Bounded building of the fixed 260-byte paths that the launcher works with.
#pragma once

#include "platform/platform.h"

#include <stddef.h>

// Appends text to the NUL-terminated string in buffer (size bytes in all).
// Returns 1, or 0 with buffer unchanged when the result would not fit.
int AppendText(char* buffer, size_t size, const char* text);

// Replaces the string in buffer with text; 0 with buffer emptied when it
// would not fit.
int CopyText(char* buffer, size_t size, const char* text);

// True when name contains pattern anywhere, compared byte for byte.
int ContainsText(const char* name, const char* pattern);

// True when the two strings are equal in full, folding only the ASCII
// letters: the outcome does not depend on the user's locale.
int EqualsIgnoringAsciiCase(const char* argument, const char* text);

// Writes the ANSI form of length wide characters (-1: up to and with the
// NUL) into ansi (size bytes). Returns the bytes written, or 0 where a
// character has no equivalent in the code page: Windows would put '?' or a
// look-alike there, which names another file or none.
int WideToAnsi(const WCHAR* wide, int length, char* ansi, int size);
