// Bounded string building for the launcher's paths. Every path lives in a
// fixed MAX_PATH buffer; these helpers refuse to write past it instead of
// truncating, so a path either is whole or is not built at all.
#include "payload/text.h"

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
