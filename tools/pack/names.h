// The rules an entry name must pass before it goes into a payload, and the
// conversion of names into the target systems' ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qpack {

// Longest entry name, in bytes of the target code page. The launcher builds
// %TEMP%\qelvor\Style\NAME in a 260-byte buffer. Allowing 100 characters for
// the temporary folder (C:\Users\<20-character user>\AppData\Local\Temp\ is
// 44) leaves 260 - 100 - len("qelvor\Style\") - 1 = 146; 120 keeps a margin
// for longer profile paths.
inline constexpr size_t MAX_NAME_BYTES = 120;

// Longest stub name: it is only recorded, never used as a path, so it just
// has to fit the 260-byte name field with its NUL.
inline constexpr size_t MAX_STUB_NAME_BYTES = 259;

// Checks a name given in UTF-8 and returns it in the bytes that the payload
// stores: unchanged when plain ASCII; converted into `codepage` when one is
// given, and only when those bytes decode back to the same characters. The
// launcher's rule is applied to the name's characters, which are thus the
// ones the launcher reads. Returns nothing and sets *problem when the name
// is refused.
std::optional<std::string> CheckName(const std::string& utf8_name, const std::string& codepage,
                                     size_t max_bytes, std::string* problem);

// What the launcher makes of a name as a payload stores it.
enum class StoredName {
    OK,         // it passes the launcher's rule
    UNCHECKED,  // not plain ASCII, and no code page to read it in
    REFUSED,    // the launcher refuses it; *problem says why
};

// Reads a stored name in the code page (none: only plain ASCII names can be
// judged) and applies the launcher's rule to its characters. *folded
// receives the key for the case-blind uniqueness test: ASCII letters folded
// on characters, so that a double-byte character's second byte stays as it
// is; the bytes themselves when the name could not be read.
StoredName CheckStoredName(const std::string& bytes, const std::string& codepage,
                           std::string* problem, std::string* folded);

// The characters of a stored name: plain ASCII as it is, anything else
// decoded from the code page; nothing without a code page, or when a byte
// sequence is no character there.
std::optional<std::wstring> DecodeStoredName(const std::string& bytes, const std::string& codepage);

// The name with ASCII letters in lower case; the key for the case-blind
// uniqueness test of names given in UTF-8.
std::string FoldCase(const std::string& name);

// A stored name for messages and listings: in UTF-8 when the code page
// decodes it, else the bytes as stored.
std::string ShownName(const std::string& bytes, const std::string& codepage);

// True when the name is plain ASCII.
bool PlainAscii(const std::string& name);

// True when the code page name is one this system can convert into
// ("CP1252", "cp936", or just the number "936").
bool CodepageKnown(const std::string& codepage);

// Converts UTF-8 text into the code page; nothing when a character has no
// exact counterpart there (no best-fit substitutes) or the text is not UTF-8.
std::optional<std::string> ConvertToCodepage(const std::string& utf8, const std::string& codepage);

// Decodes text in the code page ("UTF-8" for UTF-8) into characters;
// nothing when a byte sequence is no character there. Characters beyond
// U+FFFF are two wchar_t where wchar_t is 16 bits wide, as on Windows.
std::optional<std::wstring> DecodeFromCodepage(const std::string& bytes,
                                               const std::string& codepage);

// The code page's number for the platform's ANSI code page setting (932
// for "CP932" or "932"), or 0 when it has none.
unsigned CodepageNumber(const std::string& codepage);

}  // namespace qpack
