// Code page conversion on Linux, through iconv. Without //TRANSLIT iconv
// stops at the first character the target cannot hold, which is what the
// packer wants: a name either converts exactly or is refused.
#include "tools/pack/names.h"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace qpack {

namespace {

constexpr const char* SOURCE_CHARSET = "UTF-8";
constexpr size_t MAX_BYTES_PER_CHAR = 4;  // no ANSI code page needs more per UTF-8 byte
constexpr int FIRST_HIGH_BYTE = 0x80;     // lead bytes are never ASCII

/* "936", "cp936" and "CP936" all name code page 936; iconv knows it as
   "CP936". */
std::string IconvName(const std::string& codepage) {
    std::string name;
    for (char c : codepage) {
        name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0]))) {
        name = "CP" + name;
    }
    return name;
}

}  // namespace

bool CodepageKnown(const std::string& codepage) {
    iconv_t cd = iconv_open(IconvName(codepage).c_str(), SOURCE_CHARSET);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    iconv_close(cd);
    return true;
}

/* A byte starts a double-byte character when iconv, given it alone, finds
   the input incomplete rather than converting or refusing it. */
void LeadBytes(const std::string& codepage, uint8_t* table) {
    std::memset(table, 0, 256);
    iconv_t cd = iconv_open(SOURCE_CHARSET, IconvName(codepage).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return;
    }
    for (int b = FIRST_HIGH_BYTE; b < 256; b++) {
        char in = static_cast<char>(b);
        char out[MAX_BYTES_PER_CHAR * 2];
        char* in_ptr = &in;
        size_t in_left = 1;
        char* out_ptr = out;
        size_t out_left = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh state for each byte
        table[b] = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1) &&
                   errno == EINVAL;
    }
    iconv_close(cd);
}

std::optional<std::string> ConvertToCodepage(const std::string& utf8, const std::string& codepage) {
    iconv_t cd = iconv_open(IconvName(codepage).c_str(), SOURCE_CHARSET);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::vector<char> in(utf8.begin(), utf8.end());
    std::vector<char> out(utf8.size() * MAX_BYTES_PER_CHAR + MAX_BYTES_PER_CHAR);
    char* in_ptr = in.data();
    size_t in_left = in.size();
    char* out_ptr = out.data();
    size_t out_left = out.size();
    size_t result = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);  // -1 on a failed char
    bool flushed = iconv(cd, nullptr, nullptr, &out_ptr, &out_left) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (result == static_cast<size_t>(-1) || in_left != 0 || !flushed) {
        return std::nullopt;
    }
    return std::string(out.data(), out_ptr);
}

}  // namespace qpack
