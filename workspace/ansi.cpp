// Conversions between the ANSI code page and wide characters, both strict:
// a character without an exact counterpart fails the conversion instead of
// becoming '?', a look-alike or U+FFFD.
#include "workspace/ansi.h"

/* Under a UTF-8 ANSI code page every character has a form, but a lone
   surrogate (which Windows allows in names) would silently become U+FFFD;
   there the conversion refuses invalid characters instead, and takes no
   report, as Windows requires. */
int WideToAnsi(const WCHAR* wide, int length, char* ansi, int size) {
    int utf8 = GetACP() == CP_UTF8;  // only invalid characters can be lost
    BOOL lost = FALSE;               // a character had no equivalent
    int written = WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS,
                                      wide, length, ansi, size, NULL, utf8 ? NULL : &lost);
    return lost ? 0 : written;
}

/* The terminator is decoded with the text, so that the count includes it;
   MB_ERR_INVALID_CHARS makes bytes without a character fail the call. */
int AnsiToWide(const char* ansi, WCHAR* wide, int capacity) {
    int count = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, wide, capacity);
    return count > 0 ? count - 1 : -1;
}
