// Entry name rules. A payload holds bare names that the launcher writes into
// one folder on Windows: no folder parts, nothing Windows refuses in a file
// name, no device names, and short enough for the launcher's path buffers.
// Non-ASCII names pass only with an explicit code page, because the payload
// records ANSI bytes and the packer cannot know the target system's.
#include "tools/pack/names.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace qpack {

namespace {

constexpr std::string_view FORBIDDEN_CHARS = "\\/:*?\"<>|";  // refused by Windows in names
constexpr unsigned char FIRST_PRINTABLE = 0x20;              // below: control characters
constexpr unsigned char FIRST_NON_ASCII = 0x80;

// Device names that Windows opens instead of a file, with or without an
// extension ("CON", "nul.txt").
constexpr std::array<std::string_view, 22> RESERVED_DEVICES = {
    "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
    "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};

std::string Quoted(const std::string& name) {
    return "'" + name + "'";
}

/* The first rule the name breaks, checked on its UTF-8 form (where a
   backslash is a backslash: in double-byte code pages 0x5C also occurs as
   the second byte of a character and means nothing there). */
std::optional<std::string> BrokenRule(const std::string& name) {
    if (name.empty()) {
        return "an empty name";
    }
    if (name == "." || name == "..") {
        return "name " + Quoted(name) + " is not a file name";
    }
    for (char c : name) {
        if (FORBIDDEN_CHARS.find(c) != std::string_view::npos) {
            return "name " + Quoted(name) + " contains '" + std::string(1, c) +
                   "', which Windows does not allow in file names";
        }
        if (static_cast<unsigned char>(c) < FIRST_PRINTABLE) {
            return "name " + Quoted(name) + " contains a control character";
        }
    }
    if (name.back() == '.' || name.back() == ' ') {
        return "name " + Quoted(name) + " ends with '" + std::string(1, name.back()) +
               "', which Windows drops";
    }
    std::string device = FoldCase(name.substr(0, name.find('.')));
    if (std::find(RESERVED_DEVICES.begin(), RESERVED_DEVICES.end(), device) !=
        RESERVED_DEVICES.end()) {
        return "name " + Quoted(name) + " is a reserved Windows device name";
    }
    return std::nullopt;
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

/* Rules first, then the encoding, then the length, which counts the bytes
   that the payload will hold. */
std::optional<std::string> CheckName(const std::string& utf8_name, const std::string& codepage,
                                     size_t max_bytes, std::string* problem) {
    if (std::optional<std::string> broken = BrokenRule(utf8_name)) {
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
    }
    if (stored.size() > max_bytes) {
        *problem = "name " + Quoted(utf8_name) + " is " + std::to_string(stored.size()) +
                   " bytes long; the limit is " + std::to_string(max_bytes);
        return std::nullopt;
    }
    return stored;
}

}  // namespace qpack
