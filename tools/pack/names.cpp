// Entry name rules. A payload holds bare names that the launcher writes into
// one folder on Windows. The rule itself (no folder parts, nothing Windows
// refuses in a file name, no device names, not the launcher's own
// sub-folders, no 8.3 alias shapes) is the launcher's own, decided on
// characters: the name's own, which the bytes stored for the target code
// page must decode back to unchanged, and for a payload read back, the
// stored bytes decoded from the code page as the launcher decodes them. Here
// it gains words for the vendor and the length limit of the launcher's path
// buffers. Non-ASCII names pass only with an explicit code page, because the
// payload records ANSI bytes and the packer cannot know the target system's.
#include "tools/pack/names.h"

#include "payload/names.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qpack {

namespace {

constexpr unsigned char FIRST_NON_ASCII = 0x80;
constexpr const char* UTF8 = "UTF-8";

std::string Quoted(const std::string& name) {
    return "'" + name + "'";
}

/* Says which rule the name broke, in words for the vendor. */
std::string Describe(NameFault fault, const std::string& name, wchar_t offending) {
    std::string shown = Quoted(name);
    switch (fault) {
    case NAME_EMPTY:
        return "an empty name";
    case NAME_DOTS:
        return "name " + shown + " is not a file name";
    case NAME_FORBIDDEN_CHAR:
        return "name " + shown + " contains '" + std::string(1, static_cast<char>(offending)) +
               "', which Windows does not allow in file names";
    case NAME_CONTROL_CHAR:
        return "name " + shown + " contains a control character";
    case NAME_TRAILING_DOT_SPACE:
        return "name " + shown + " ends with '" + std::string(1, name.back()) +
               "', which Windows drops";
    case NAME_DEVICE:
        return "name " + shown + " is a reserved Windows device name";
    case NAME_SUBFOLDER:
        return "name " + shown +
               " is one of the launcher's sub-folders (Style, lang), which it never writes as "
               "a file";
    case NAME_SHORT_ALIAS:
        return "name " + shown +
               " has the shape of an 8.3 alias (like SETUP~1.EXE), which can open another "
               "entry's file";
    case NAME_UNDECODABLE:
        return "name " + shown + " holds bytes that are no characters";
    case NAME_OK:
        break;
    }
    return std::string();
}

/* The launcher's rule on decoded characters, in words. */
std::optional<std::string> BrokenRule(const std::wstring& chars, const std::string& shown) {
    wchar_t offending = 0;  // the character that broke a character rule
    NameFault fault = CheckNameCharacters(chars.c_str(), chars.size(), &offending);
    if (fault == NAME_OK) {
        return std::nullopt;
    }
    return Describe(fault, shown, offending);
}

/* ASCII letters folded in the characters, then the characters as bytes:
   a key that only equal names share. */
std::string FoldedKey(const std::wstring& chars) {
    std::string key;
    for (wchar_t c : chars) {
        wchar_t folded = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        key.append(reinterpret_cast<const char*>(&folded), sizeof folded);
    }
    return key;
}

}  // namespace

/* UTF-8 from characters; where wchar_t is 16 bits wide a surrogate pair
   is one character. */
std::string ShownName(const std::string& bytes, const std::string& codepage) {
    std::optional<std::wstring> chars;
    if (!PlainAscii(bytes) && !codepage.empty()) {
        chars = DecodeFromCodepage(bytes, codepage);
    }
    if (!chars) {
        return bytes;
    }
    std::string text;
    for (size_t i = 0; i < chars->size(); ++i) {
        uint32_t code = static_cast<uint32_t>((*chars)[i]);
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < chars->size()) {
            code =
                0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>((*chars)[++i]) - 0xDC00);
        }
        int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;  // trail bytes
        static constexpr uint8_t LEAD_MARKS[] = {0x00, 0xC0, 0xE0, 0xF0};
        text.push_back(static_cast<char>(LEAD_MARKS[extra] | (code >> (6 * extra))));
        for (int k = extra - 1; k >= 0; --k) {
            text.push_back(static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F)));
        }
    }
    return text;
}

bool PlainAscii(const std::string& name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < FIRST_NON_ASCII; });
}

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

unsigned CodepageNumber(const std::string& codepage) {
    std::string digits = codepage;
    if (digits.size() > 2 && std::toupper(static_cast<unsigned char>(digits[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(digits[1])) == 'P') {
        digits = digits.substr(2);
    }
    unsigned number = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size() || number > 65535) {
        return 0;
    }
    return number;
}

/* The name must be UTF-8, and its characters pass the rule. Those must be
   the characters the launcher decodes from the stored bytes, so the bytes
   are decoded again as the launcher reads them: a converter that writes a
   look-alike (iconv puts YEN SIGN at 0x5C in code page 932, which reads
   back as a backslash) is caught here, on every platform alike. Then the
   length, which counts the bytes that the payload will hold. */
std::optional<std::string> CheckName(const std::string& utf8_name, const std::string& codepage,
                                     size_t max_bytes, std::string* problem) {
    std::optional<std::wstring> chars = DecodeFromCodepage(utf8_name, UTF8);
    if (!chars) {
        *problem = "name " + Quoted(utf8_name) + " is not UTF-8";
        return std::nullopt;
    }
    if (std::optional<std::string> broken = BrokenRule(*chars, utf8_name)) {
        *problem = *broken;
        return std::nullopt;
    }
    std::string stored = utf8_name;  // the bytes the name field receives
    if (!PlainAscii(utf8_name)) {
        if (codepage.empty()) {
            *problem = "name " + Quoted(utf8_name) +
                       " is not plain ASCII (name the target code page with --codepage)";
            return std::nullopt;
        }
        std::optional<std::string> converted = ConvertToCodepage(utf8_name, codepage);
        if (!converted) {
            *problem = "name " + Quoted(utf8_name) + " cannot be written in code page " + codepage;
            return std::nullopt;
        }
        if (DecodeFromCodepage(*converted, codepage) != chars) {
            *problem = "name " + Quoted(utf8_name) + " cannot be written in code page " + codepage +
                       ": it would read back as " + Quoted(ShownName(*converted, codepage));
            return std::nullopt;
        }
        stored = *converted;
    }
    if (stored.size() > max_bytes) {
        *problem = "name " + Quoted(utf8_name) + " is " + std::to_string(stored.size()) +
                   " bytes long; the limit is " + std::to_string(max_bytes);
        return std::nullopt;
    }
    return stored;
}

/* Plain ASCII is the same characters in every code page, so it is read
   without one. */
std::optional<std::wstring> DecodeStoredName(const std::string& bytes,
                                             const std::string& codepage) {
    if (PlainAscii(bytes)) {
        return std::wstring(bytes.begin(), bytes.end());
    }
    return codepage.empty() ? std::nullopt : DecodeFromCodepage(bytes, codepage);
}

StoredName CheckStoredName(const std::string& bytes, const std::string& codepage,
                           std::string* problem, std::string* folded) {
    *folded = bytes;
    if (!PlainAscii(bytes) && codepage.empty()) {
        return StoredName::UNCHECKED;
    }
    std::optional<std::wstring> chars = DecodeStoredName(bytes, codepage);
    if (!chars) {
        *problem = Describe(NAME_UNDECODABLE, bytes, 0) + " of code page " + codepage;
        return StoredName::REFUSED;
    }
    *folded = FoldedKey(*chars);
    if (std::optional<std::string> broken = BrokenRule(*chars, ShownName(bytes, codepage))) {
        *problem = *broken;
        return StoredName::REFUSED;
    }
    return StoredName::OK;
}

}  // namespace qpack
