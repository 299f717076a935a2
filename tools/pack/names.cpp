// Entry name rules. A payload holds bare names that the launcher writes into
// one folder on Windows. The rule itself (no folder parts, nothing Windows
// refuses in a file name, no device names) is the launcher's own, applied to
// the name as given and again to the bytes stored in the target code page;
// here it gains words for the vendor and the length limit of the launcher's
// path buffers. Non-ASCII names pass only with an explicit code page,
// because the payload records ANSI bytes and the packer cannot know the
// target system's.
#include "tools/pack/names.h"

#include "payload/names.h"

#include <algorithm>

namespace qpack {

namespace {

constexpr unsigned char FIRST_NON_ASCII = 0x80;

std::string Quoted(const std::string& name) {
    return "'" + name + "'";
}

/* Says which rule the name broke, in words for the vendor. */
std::string Describe(NameFault fault, const std::string& name, char offending) {
    switch (fault) {
    case NAME_EMPTY:
        return "an empty name";
    case NAME_DOTS:
        return "name " + Quoted(name) + " is not a file name";
    case NAME_FORBIDDEN_CHAR:
        return "name " + Quoted(name) + " contains '" + std::string(1, offending) +
               "', which Windows does not allow in file names";
    case NAME_CONTROL_CHAR:
        return "name " + Quoted(name) + " contains a control character";
    case NAME_TRAILING_DOT_SPACE:
        return "name " + Quoted(name) + " ends with '" + std::string(1, name.back()) +
               "', which Windows drops";
    case NAME_DEVICE:
        return "name " + Quoted(name) + " is a reserved Windows device name";
    case NAME_OK:
        break;
    }
    return std::string();
}

/* The launcher's name rule on the given bytes; the lead-byte table is that
   of the code page the bytes are in, or null for UTF-8, where no byte of a
   multi-byte character is below 0x80. */
std::optional<std::string> BrokenRule(const std::string& bytes, const std::string& shown,
                                      const uint8_t* lead_bytes) {
    char offending = 0;  // the character that broke a character rule
    NameFault fault = CheckEntryName(bytes.c_str(), lead_bytes, &offending);
    if (fault == NAME_OK) {
        return std::nullopt;
    }
    return Describe(fault, shown, offending);
}

bool PlainAscii(const std::string& name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < FIRST_NON_ASCII; });
}

}  // namespace

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

/* Rules first, then the encoding and the rules again on the stored bytes
   (a character may become a device name's digit there, as superscript one
   does in code page 1252), then the length, which counts the bytes that the
   payload will hold. */
std::optional<std::string> CheckName(const std::string& utf8_name, const std::string& codepage,
                                     size_t max_bytes, std::string* problem) {
    if (std::optional<std::string> broken = BrokenRule(utf8_name, utf8_name, nullptr)) {
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
        stored = *converted;
        uint8_t lead_bytes[NAME_LEAD_TABLE_SIZE];  // the code page's double-byte starts
        LeadBytes(codepage, lead_bytes);
        if (std::optional<std::string> broken = BrokenRule(stored, utf8_name, lead_bytes)) {
            *problem = *broken + " in code page " + codepage;
            return std::nullopt;
        }
    }
    if (stored.size() > max_bytes) {
        *problem = "name " + Quoted(utf8_name) + " is " + std::to_string(stored.size()) +
                   " bytes long; the limit is " + std::to_string(max_bytes);
        return std::nullopt;
    }
    return stored;
}

}  // namespace qpack
