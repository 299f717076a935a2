// The entry name rule. Windows opens a device instead of a file for the
// reserved names, in any case and whatever extension follows; it drops a
// trailing dot or space, so "setup.exe." and "setup.exe" are one file; and
// it refuses the characters below in any file name. A name that passes
// stays a plain file inside the destination folder.
//
// The check walks characters, not bytes, so that double-byte names of the
// East Asian code pages pass whatever their second bytes are.
#include "payload/names.h"

#include <string.h>

#define FORBIDDEN_CHARS "<>:\"/\\|?*"  // refused by Windows in file names
#define FIRST_PRINTABLE 0x20           // below: control characters
#define DEVICE_NAME_SIZE 8             // longest device name, "CONOUT$", with its NUL

// Names that Windows maps to devices. The superscript digits 1 to 3 of the
// Latin-1 code pages count as digits for COM and LPT.
static const char DEVICE_NAMES[][DEVICE_NAME_SIZE] = {
    "CON",     "PRN",     "AUX",  "NUL",     "CONIN$",  "CONOUT$", "COM1", "COM2",
    "COM3",    "COM4",    "COM5", "COM6",    "COM7",    "COM8",    "COM9", "COM\xB9",
    "COM\xB2", "COM\xB3", "LPT1", "LPT2",    "LPT3",    "LPT4",    "LPT5", "LPT6",
    "LPT7",    "LPT8",    "LPT9", "LPT\xB9", "LPT\xB2", "LPT\xB3"};

/* True when the part of name before its first dot, less trailing spaces,
   is a device name in any ASCII case. */
static int IsDeviceName(const char* name) {
    size_t length = strcspn(name, ".");  // the base name
    while (length > 0 && name[length - 1] == ' ') {
        length--;
    }
    if (length >= DEVICE_NAME_SIZE) {
        return 0;
    }
    for (size_t d = 0; d < sizeof DEVICE_NAMES / sizeof DEVICE_NAMES[0]; d++) {
        const char* device = DEVICE_NAMES[d];
        size_t i = 0;  // characters compared
        while (i < length) {
            char c = name[i];
            c = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
            if (c != device[i]) {
                break;
            }
            i++;
        }
        if (i == length && device[length] == '\0') {
            return 1;
        }
    }
    return 0;
}

/* Character rules first, in the order of the name, then the last
   character, then the device names. */
enum NameFault CheckEntryName(const char* name, const uint8_t* lead_bytes, char* offending) {
    if (name[0] == '\0') {
        return NAME_EMPTY;
    }
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return NAME_DOTS;
    }
    char last = '\0';  // the last single-byte character, or 0 after a double-byte one
    for (const uint8_t* p = (const uint8_t*)name; *p != '\0'; p++) {
        if (lead_bytes != NULL && lead_bytes[*p] && p[1] != '\0') {
            p++;  // the trail byte belongs to the character
            last = '\0';
            continue;
        }
        last = (char)*p;
        if (*p < FIRST_PRINTABLE || strchr(FORBIDDEN_CHARS, *p) != NULL) {
            if (offending != NULL) {
                *offending = last;
            }
            return *p < FIRST_PRINTABLE ? NAME_CONTROL_CHAR : NAME_FORBIDDEN_CHAR;
        }
    }
    if (last == '.' || last == ' ') {
        return NAME_TRAILING_DOT_SPACE;
    }
    return IsDeviceName(name) ? NAME_DEVICE : NAME_OK;
}
