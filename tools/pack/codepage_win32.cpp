// Code page conversion on Windows: UTF-8 to UTF-16 to the code page, with
// best-fit mapping switched off and the default-character flag tested, so a
// name either converts exactly or is refused.
#include "tools/pack/names.h"

#include <windows.h>

#include <vector>

namespace qpack {

bool CodepageKnown(const std::string& codepage) {
    UINT number = CodepageNumber(codepage);
    return number != 0 && number != CP_UTF8 && IsValidCodePage(number);
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

/* MB_ERR_INVALID_CHARS: a byte sequence that is no character fails the
   call instead of becoming U+FFFD. */
std::optional<std::wstring> DecodeFromCodepage(const std::string& bytes,
                                               const std::string& codepage) {
    UINT number = codepage == "UTF-8" ? CP_UTF8 : CodepageNumber(codepage);
    if (bytes.empty()) {
        return std::wstring();
    }
    if (number == 0 || (number != CP_UTF8 && !IsValidCodePage(number))) {
        return std::nullopt;
    }
    int length = MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                        wide.data(), length);
    return wide;
}

}  // namespace qpack
