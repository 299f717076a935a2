// The rule every entry name passes: the launcher refuses a payload whose
// names break it, and the packer refuses to write one. One place, so that
// the two can never disagree. The rule is decided on characters, never on
// bytes: the launcher decodes a name from the ANSI code page first, the
// packer from UTF-8 or from the code page it packs for. Characters are
// wchar_t: UTF-16 units on Windows, whole code points elsewhere; the rule
// looks only at characters below U+0100, which both spell alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

// What is wrong with a name, the first fault found.
enum NameFault {
    NAME_OK,
    NAME_EMPTY,               // no characters at all
    NAME_DOTS,                // "." or "..": the folder itself or its parent
    NAME_FORBIDDEN_CHAR,      // one of < > : " / \ | ? *
    NAME_CONTROL_CHAR,        // a character below U+0020
    NAME_TRAILING_DOT_SPACE,  // Windows drops a last dot or space: "setup.exe." is setup.exe
    NAME_DEVICE,              // CON, NUL, COM1, LPT¹, CONIN$... with or without an extension
    NAME_SUBFOLDER,           // "Style" or "lang": the extractor's own sub-folders
    NAME_SHORT_ALIAS,         // SETUP~1.EXE: may be another entry's 8.3 alias
    NAME_UNDECODABLE          // bytes that are no characters of the code page
};

// Characters a decoded name can have: the name field's 260 bytes never
// give more (the terminator included).
#define NAME_MAX_CHARS 260

// Checks a decoded name of length characters (no terminator needed). When
// offending is not null it receives the character that broke a character
// rule.
enum NameFault CheckNameCharacters(const wchar_t* name, size_t length, wchar_t* offending);
