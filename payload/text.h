// Bounded text building, for the fixed 260-byte paths that the launcher
// works with, and the two comparisons that the payload's rules make.
#pragma once

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
