// Code page conversion on Linux, through iconv. Without //TRANSLIT iconv
// stops at the first character the target cannot hold, which is what the
// packer wants: a name either converts exactly or is refused.
#include "tools/pack/names.h"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace qpack {

namespace {

constexpr const char* SOURCE_CHARSET = "UTF-8";
constexpr size_t MAX_BYTES_PER_CHAR = 4;         // no ANSI code page needs more per UTF-8 byte
constexpr const char* WIDE_CHARSET = "WCHAR_T";  // iconv's name for wchar_t text

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

/* Strict decoding: iconv stops at a byte sequence that is no character
   (EILSEQ) or a character cut short at the end (EINVAL), and either
   refuses the text. */
std::optional<std::wstring> DecodeFromCodepage(const std::string& bytes,
                                               const std::string& codepage) {
    // One descriptor per code page, kept and never destroyed: opening costs
    // more than decoding a name, and verify decodes every name of a launcher.
    static std::mutex lock;  // one conversion at a time per descriptor
    static auto& decoders = *new std::map<std::string, iconv_t>;
    std::lock_guard<std::mutex> hold(lock);
    auto [it, fresh] = decoders.emplace(codepage, reinterpret_cast<iconv_t>(-1));
    if (fresh) {
        it->second = iconv_open(WIDE_CHARSET, IconvName(codepage).c_str());
    }
    iconv_t cd = it->second;
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    std::vector<char> in(bytes.begin(), bytes.end());
    std::vector<wchar_t> out(bytes.size() + 1);  // never more characters than bytes
    char* in_ptr = in.data();
    size_t in_left = in.size();
    char* out_ptr = reinterpret_cast<char*>(out.data());
    size_t out_left = out.size() * sizeof(wchar_t);
    size_t result = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);  // -1 on a failed char
    if (result == static_cast<size_t>(-1) || in_left != 0) {
        return std::nullopt;
    }
    return std::wstring(out.data(), reinterpret_cast<wchar_t*>(out_ptr));
}

}  // namespace qpack
