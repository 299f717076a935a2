// Bounded string building for the launcher's paths. Every path lives in a
// fixed MAX_PATH buffer; these helpers refuse to write past it instead of
// truncating, so a path either is whole or is not built at all.
#include "payload/paths.h"

#include <string.h>

/* Appends text behind the string already in buffer. */
int AppendText(char* buffer, size_t size, const char* text) {
    size_t used = strlen(buffer);  // bytes before the terminator
    size_t added = strlen(text);   // bytes to add
    if (used + added + 1 > size) {
        return 0;
    }
    memcpy(buffer + used, text, added + 1);
    return 1;
}

/* Starts buffer afresh with text. */
int CopyText(char* buffer, size_t size, const char* text) {
    buffer[0] = '\0';
    return AppendText(buffer, size, text);
}

/* Case-sensitive substring test: ".JVS" does not match ".jvs". */
int ContainsText(const char* name, const char* pattern) {
    return strstr(name, pattern) != NULL;
}

/* Compares character by character until the first difference or the end
   of both. */
int EqualsIgnoringAsciiCase(const char* argument, const char* text) {
    for (;; argument++, text++) {
        char a = *argument;  // folded to lower case below
        char b = *text;
        a = (a >= 'A' && a <= 'Z') ? (char)(a - 'A' + 'a') : a;
        b = (b >= 'A' && b <= 'Z') ? (char)(b - 'A' + 'a') : b;
        if (a != b) {
            return 0;
        }
        if (a == '\0') {
            return 1;
        }
    }
}

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
