// The entry name rule. Windows opens a device instead of a file for the
// reserved names, in any case and whatever extension follows; it drops a
// trailing dot or space, so "setup.exe." and "setup.exe" are one file; it
// refuses the characters below in any file name; and on a volume that makes
// 8.3 aliases, SETUP~1.EXE may open the file that another entry has just
// written. Style and lang are the extractor's own sub-folders, held open
// while it runs, so an entry of that name could never be written. A name
// that passes stays a plain file of its own inside the destination folder.
//
// The rule is decided on characters: the superscript digits that make COM¹
// a device are one byte in one code page and two in another, and the second
// byte of a double-byte character may be 0x5C without being a backslash.
// What it trades away: a name in bytes that the code page does not define
// is refused, though Windows might have mapped them to some character.
#include "payload/names.h"

#include "payload/payload.h"

#define FIRST_PRINTABLE 0x20    // below: control characters
#define DEVICE_NAME_CHARS 7     // the longest device name, "CONOUT$"
#define ALIAS_BASE_MAX 8        // an 8.3 alias: up to 8 characters,
#define ALIAS_PREFIX_MAX 6      // of which 1 to 6 before the '~',
#define ALIAS_EXTENSION_MAX 3   // then a dot and up to 3 more
#define SUPERSCRIPT_ONE 0x00B9  // Windows counts these as COM and LPT digits
#define SUPERSCRIPT_TWO 0x00B2
#define SUPERSCRIPT_THREE 0x00B3

// Characters Windows refuses in file names (besides the control characters).
static const wchar_t FORBIDDEN_CHARS[] = {'<', '>', ':', '"', '/', '\\', '|', '?', '*'};

// Names that Windows maps to devices, in capitals; '#' stands for a digit
// 0 to 9 or one of the superscripts one, two and three.
static const char DEVICE_NAMES[][DEVICE_NAME_CHARS + 1] = {"CON",    "PRN",     "AUX",  "NUL",
                                                           "CONIN$", "CONOUT$", "COM#", "LPT#"};

/* The character with ASCII letters in capitals. */
static wchar_t UpperAscii(wchar_t c) {
    return (c >= 'a' && c <= 'z') ? (wchar_t)(c - 'a' + 'A') : c;
}

/* True when c counts as a device digit. */
static int IsDeviceDigit(wchar_t c) {
    return (c >= '0' && c <= '9') || c == SUPERSCRIPT_ONE || c == SUPERSCRIPT_TWO ||
           c == SUPERSCRIPT_THREE;
}

/* True when the length characters at name are the pattern, ASCII letters
   compared without regard to case ('#' in the pattern: a device digit). */
static int MatchesPattern(const wchar_t* name, size_t length, const char* pattern) {
    size_t i = 0;  // characters compared
    for (; i < length && pattern[i] != '\0'; i++) {
        int same = pattern[i] == '#' ? IsDeviceDigit(name[i])
                                     : UpperAscii(name[i]) == UpperAscii((wchar_t)pattern[i]);
        if (!same) {
            return 0;
        }
    }
    return i == length && pattern[i] == '\0';
}

/* Characters before the first dot, or length when there is none. */
static size_t BaseLength(const wchar_t* name, size_t length) {
    size_t base = 0;
    while (base < length && name[base] != '.') {
        base++;
    }
    return base;
}

/* True when the part before the first dot, less trailing spaces, is a
   device name. */
static int IsDeviceName(const wchar_t* name, size_t length) {
    size_t base = BaseLength(name, length);
    while (base > 0 && name[base - 1] == ' ') {
        base--;
    }
    for (size_t d = 0; d < sizeof DEVICE_NAMES / sizeof DEVICE_NAMES[0]; d++) {
        if (MatchesPattern(name, base, DEVICE_NAMES[d])) {
            return 1;
        }
    }
    return 0;
}

/* True when the name has an 8.3 alias's shape: 1 to 6 characters, '~' and
   digits (8 characters at most), then nothing or a dot and 1 to 3
   characters without another dot. */
static int IsShortAliasShape(const wchar_t* name, size_t length) {
    size_t base = BaseLength(name, length);
    size_t tilde = base;  // the last '~' of the base
    while (tilde > 0 && name[tilde - 1] != '~') {
        tilde--;
    }
    if (tilde < 2 || tilde - 1 > ALIAS_PREFIX_MAX || tilde == base || base > ALIAS_BASE_MAX) {
        return 0;
    }
    for (size_t i = tilde; i < base; i++) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
    }
    if (base == length) {
        return 1;
    }
    size_t extension = length - base - 1;  // characters after the dot
    return extension >= 1 && extension <= ALIAS_EXTENSION_MAX &&
           BaseLength(name + base + 1, extension) == extension;
}

/* True when the name is one of the extractor's sub-folders, in any case. */
static int IsSubfolderName(const wchar_t* name, size_t length) {
    for (size_t s = 0; s < SUBFOLDER_COUNT; s++) {
        if (MatchesPattern(name, length, SUBFOLDERS[s].name)) {
            return 1;
        }
    }
    return 0;
}

/* Character rules first, in the order of the name, then the last
   character, then the names that lead somewhere else. */
enum NameFault CheckNameCharacters(const wchar_t* name, size_t length, wchar_t* offending) {
    if (length == 0) {
        return NAME_EMPTY;
    }
    if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.')) {
        return NAME_DOTS;
    }
    for (size_t i = 0; i < length; i++) {
        enum NameFault fault = name[i] < FIRST_PRINTABLE ? NAME_CONTROL_CHAR : NAME_OK;
        for (size_t f = 0; f < sizeof FORBIDDEN_CHARS / sizeof FORBIDDEN_CHARS[0]; f++) {
            fault = name[i] == FORBIDDEN_CHARS[f] ? NAME_FORBIDDEN_CHAR : fault;
        }
        if (fault != NAME_OK) {
            if (offending != NULL) {
                *offending = name[i];
            }
            return fault;
        }
    }
    if (name[length - 1] == '.' || name[length - 1] == ' ') {
        return NAME_TRAILING_DOT_SPACE;
    }
    if (IsDeviceName(name, length)) {
        return NAME_DEVICE;
    }
    if (IsSubfolderName(name, length)) {
        return NAME_SUBFOLDER;
    }
    return IsShortAliasShape(name, length) ? NAME_SHORT_ALIAS : NAME_OK;
}
