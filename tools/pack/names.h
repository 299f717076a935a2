// The rules an entry name must pass before it goes into a payload, and the
// conversion of names into the target systems' ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>
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
// given. Returns nothing and sets *problem when the name is refused.
std::optional<std::string> CheckName(const std::string& utf8_name, const std::string& codepage,
                                     size_t max_bytes, std::string* problem);

// The name with ASCII letters in lower case; the key for the case-blind
// uniqueness test.
std::string FoldCase(const std::string& name);

// True when the code page name is one this system can convert into
// ("CP1252", "cp936", or just the number "936").
bool CodepageKnown(const std::string& codepage);

// Fills table (256 bytes) with the code page's lead bytes: nonzero where a
// byte starts a double-byte character. A single-byte or unknown code page
// gives all zeros.
void LeadBytes(const std::string& codepage, uint8_t* table);

// Converts UTF-8 text into the code page; nothing when a character has no
// exact counterpart there (no best-fit substitutes) or the text is not UTF-8.
std::optional<std::string> ConvertToCodepage(const std::string& utf8, const std::string& codepage);

}  // namespace qpack
