// The rule every entry name passes: the launcher refuses a payload whose
// names break it, and the packer refuses to write one. One place, so that
// the two can never disagree.
#pragma once

#include <stdint.h>

// What is wrong with a name, the first fault found.
enum NameFault {
    NAME_OK,
    NAME_EMPTY,               // no characters at all
    NAME_DOTS,                // "." or "..": the folder itself or its parent
    NAME_FORBIDDEN_CHAR,      // one of < > : " / \ | ? *
    NAME_CONTROL_CHAR,        // a byte below 0x20
    NAME_TRAILING_DOT_SPACE,  // Windows drops a last dot or space: "setup.exe." is setup.exe
    NAME_DEVICE               // CON, NUL, COM1, LPT1, CONIN$... with or without an extension
};

// Bytes of a lead-byte table: entry b is nonzero when b starts a
// double-byte character of the name's code page.
#define NAME_LEAD_TABLE_SIZE 256

// Checks an ANSI name, NUL-terminated. lead_bytes is the code page's
// lead-byte table, or null for a single-byte code page: the second byte of
// a double-byte character (0x5C in many of them) is part of the character
// and never a separator. When offending is not null it receives the
// character that broke a character rule.
enum NameFault CheckEntryName(const char* name, const uint8_t* lead_bytes, char* offending);
