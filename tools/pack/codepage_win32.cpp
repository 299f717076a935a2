// Code page conversion on Windows: UTF-8 to UTF-16 to the code page, with
// best-fit mapping switched off and the default-character flag tested, so a
// name either converts exactly or is refused.
#include "tools/pack/names.h"

#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <vector>

namespace qpack {

namespace {

/* "936", "cp936" and "CP936" all give 936; anything else gives 0. */
UINT CodepageNumber(const std::string& codepage) {
    std::string digits = codepage;
    if (digits.size() > 2 && std::toupper(static_cast<unsigned char>(digits[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(digits[1])) == 'P') {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 5) {
        return 0;
    }
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return 0;
        }
    }
    return static_cast<UINT>(std::strtoul(digits.c_str(), nullptr, 10));
}

}  // namespace

bool CodepageKnown(const std::string& codepage) {
    UINT number = CodepageNumber(codepage);
    return number != 0 && number != CP_UTF8 && IsValidCodePage(number);
}

void LeadBytes(const std::string& codepage, uint8_t* table) {
    UINT number = CodepageKnown(codepage) ? CodepageNumber(codepage) : 0;
    for (int b = 0; b < 256; b++) {
        table[b] = number != 0 && IsDBCSLeadByteEx(number, static_cast<BYTE>(b));
    }
}

std::optional<std::string> ConvertToCodepage(const std::string& utf8, const std::string& codepage) {
    if (!CodepageKnown(codepage) || utf8.empty()) {
        return std::nullopt;
    }
    UINT number = CodepageNumber(codepage);
    int wide_len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
    if (wide_len <= 0) {
        return std::nullopt;
    }
    std::vector<wchar_t> wide(static_cast<size_t>(wide_len));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), wide_len);
    BOOL used_default = FALSE;  // set when a character had no counterpart
    int out_len = WideCharToMultiByte(number, WC_NO_BEST_FIT_CHARS, wide.data(), wide_len, nullptr,
                                      0, nullptr, &used_default);
    if (out_len <= 0 || used_default) {
        return std::nullopt;
    }
    std::string out(static_cast<size_t>(out_len), '\0');
    WideCharToMultiByte(number, WC_NO_BEST_FIT_CHARS, wide.data(), wide_len, out.data(), out_len,
                        nullptr, &used_default);
    if (used_default) {
        return std::nullopt;
    }
    return out;
}

}  // namespace qpack
