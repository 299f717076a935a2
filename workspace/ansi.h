// ANSI forms of the wide names that Windows reports: the launcher works in
// the ANSI code page throughout, and a name without an exact ANSI form
// names another file, or none.
#pragma once

#include "platform/platform.h"

// Writes the ANSI form of length wide characters (-1: up to and with the
// NUL) into ansi (size bytes). Returns the bytes written, or 0 where a
// character has no equivalent in the code page: Windows would put '?' or a
// look-alike there, which names another file or none.
int WideToAnsi(const WCHAR* wide, int length, char* ansi, int size);

// Decodes the NUL-terminated ANSI text into at most capacity wide
// characters, without its terminator. Returns their number, or -1 when a
// byte sequence is no character of the code page (a lone lead byte, an
// unassigned byte) or the characters do not fit.
int AnsiToWide(const char* ansi, WCHAR* wide, int capacity);
