// Wide text, the ANSI code page and short names: what a launcher needs to
// reach a temporary folder whose name has characters outside the code page.
//
// The stand-in's ANSI code page is US-ASCII, so any non-ASCII character in
// a path plays "outside the code page". A test, or the packer's extract
// command, may set another code page, which iconv then converts (its tables
// stand in for Windows' own and may differ from them in a few unassigned
// bytes). Paths on disk are UTF-8; wide strings are wchar_t. Short (8.3)
// names are aliases that a test declares:
// PosixPath maps a declared short path back to its long one, so both name
// the same folder, as on an NTFS volume.

#include "state.h"

#include <iconv.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

namespace {

const UINT STANDIN_ANSI_CODEPAGE = 20127;  // US-ASCII
const char DEFAULT_CHAR = '?';             // what a character without ANSI form becomes
const wchar_t REPLACEMENT_CHAR = 0xFFFD;   // what bytes without a character become
const char WIDE_CHARSET[] = "WCHAR_T";     // iconv's name for wchar_t text

std::atomic<UINT> ansi_codepage{STANDIN_ANSI_CODEPAGE};  // what CP_ACP means

std::mutex alias_lock;                             // guards short_aliases
std::map<std::string, std::string> short_aliases;  // short path -> long path, '/' separated

/* Backslashes to slashes, without a trailing separator. */
std::string Normalised(const std::string& path) {
    std::string result = path;
    for (char& c : result) {
        c = c == '\\' ? '/' : c;
    }
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

/* iconv's name for a code page: "UTF-8", or "CP932" for 932. */
std::string IconvName(UINT codepage) {
    return codepage == CP_UTF8 ? "UTF-8" : "CP" + std::to_string(codepage);
}

std::mutex iconv_lock;  // guards the descriptors, which convert one text at a time
// Descriptors by (to, from), never closed nor destroyed: opening one costs
// more than converting a name.
auto& iconv_descriptors = *new std::map<std::pair<std::string, std::string>, iconv_t>;

/* A conversion descriptor, opened once per pair of charsets and kept, reset
   to its initial state; (iconv_t)-1 when iconv does not know the pair. The
   caller holds iconv_lock while it converts. */
iconv_t OpenIconv(const char* to, const char* from) {
    auto [it, fresh] =
        iconv_descriptors.emplace(std::make_pair(to, from), reinterpret_cast<iconv_t>(-1));
    if (fresh) {
        it->second = iconv_open(to, from);
    }
    if (it->second != reinterpret_cast<iconv_t>(-1)) {
        iconv(it->second, nullptr, nullptr, nullptr, nullptr);
    }
    return it->second;
}

/* Converts text between two iconv charsets, stopping at the first input
   that is no character. Returns false when the charsets are unknown or the
   input stops short; *out then holds what was converted before, from the
   first *used bytes (when used is not null). */
bool Iconv(const char* to, const char* from, const std::string& in, std::string* out,
           size_t* used = nullptr) {
    std::lock_guard<std::mutex> hold(iconv_lock);
    iconv_t cd = OpenIconv(to, from);
    out->clear();
    if (used != nullptr) {
        *used = 0;
    }
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::string input = in;
    char* in_ptr = input.data();
    size_t in_left = input.size();
    bool whole = true;
    while (in_left > 0) {
        char buffer[256];
        char* out_ptr = buffer;
        size_t out_left = sizeof buffer;
        size_t result = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);  // -1 and errno
        out->append(buffer, out_ptr);
        if (result == static_cast<size_t>(-1) && errno != E2BIG) {
            whole = false;  // EILSEQ: no character; EINVAL: a character cut short
            break;
        }
    }
    if (used != nullptr) {
        *used = input.size() - in_left;
    }
    return whole;
}

/* The code page the call names: CP_ACP is the stand-in's ANSI one. */
UINT ResolveCodepage(UINT codepage) {
    return codepage == CP_ACP ? ansi_codepage.load() : codepage;
}

}  // namespace

bool PlatformSetAnsiCodepage(UINT codepage) {
    UINT wanted = codepage == 0 ? STANDIN_ANSI_CODEPAGE : codepage;
    std::string probe;
    if (wanted != STANDIN_ANSI_CODEPAGE &&
        !Iconv(WIDE_CHARSET, IconvName(wanted).c_str(), "", &probe)) {
        return false;
    }
    ansi_codepage = wanted;
    return true;
}

std::string Utf8FromAnsi(const std::string& ansi) {
    std::string text;
    UINT codepage = ansi_codepage.load();
    if (codepage == STANDIN_ANSI_CODEPAGE ||
        !Iconv("UTF-8", IconvName(codepage).c_str(), ansi, &text)) {
        return ansi;
    }
    return text;
}

std::wstring WideFromUtf8(const std::string& text) {
    std::wstring wide;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;  // trailing bytes
        wchar_t code = extra == 0   ? lead
                       : extra == 1 ? lead & 0x1F
                       : extra == 2 ? lead & 0x0F
                                    : lead & 0x07;
        for (int k = 1; k <= extra && i + k < text.size(); k++) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        wide.push_back(code);
        i += 1 + extra;
    }
    return wide;
}

std::string Utf8FromWide(const wchar_t* wide, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; i++) {
        uint32_t code = static_cast<uint32_t>(wide[i]);
        if (code < 0x80) {
            text.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (code >> 6)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | (code >> 12)));
            text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | (code >> 18)));
            text.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return text;
}

/* Character by character, so that one without an ANSI form becomes '?'
   and the rest still convert. */
std::string AnsiFromUtf8(const std::string& text) {
    std::string ansi;
    UINT codepage = ansi_codepage.load();
    for (wchar_t code : WideFromUtf8(text)) {
        std::string one;
        if (code < 0x80) {
            ansi.push_back(static_cast<char>(code));
        } else if (codepage != STANDIN_ANSI_CODEPAGE &&
                   Iconv(IconvName(codepage).c_str(), WIDE_CHARSET,
                         std::string(reinterpret_cast<const char*>(&code), sizeof code), &one)) {
            ansi += one;
        } else {
            ansi.push_back(DEFAULT_CHAR);
        }
    }
    return ansi;
}

std::string LongPathOf(const std::string& posix_path) {
    std::lock_guard<std::mutex> hold(alias_lock);
    for (const auto& alias : short_aliases) {
        const std::string& short_path = alias.first;
        if (posix_path.compare(0, short_path.size(), short_path) == 0 &&
            (posix_path.size() == short_path.size() || posix_path[short_path.size()] == '/')) {
            return alias.second + posix_path.substr(short_path.size());
        }
    }
    return posix_path;
}

void PlatformSetShortPath(const char* long_path, const char* short_path) {
    std::lock_guard<std::mutex> hold(alias_lock);
    if (short_path == nullptr) {
        short_aliases.clear();
        return;
    }
    short_aliases[Normalised(short_path)] = Normalised(long_path);
}

UINT GetACP() {
    return ansi_codepage.load();
}

/* CP_ACP turns each non-ASCII character into '?' and reports it through
   used_default; CP_UTF8 converts everything and, as on Windows, takes no
   used_default and no flag but WC_ERR_INVALID_CHARS. Into UTF-8 (CP_UTF8,
   or CP_ACP when that is the ANSI code page) a lone surrogate, which a
   Windows name may hold, becomes U+FFFD, or with WC_ERR_INVALID_CHARS fails
   the call with ERROR_NO_UNICODE_TRANSLATION. A wide_length of -1 includes
   the terminator. The result counts the bytes written, or needed when size
   is 0; a buffer too small fails with ERROR_INSUFFICIENT_BUFFER. */
int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR wide, int wide_length, LPSTR bytes,
                        int size, LPCSTR, LPBOOL used_default) {
    if (!wide || (codepage == CP_UTF8 && ((flags & ~WC_ERR_INVALID_CHARS) != 0 || used_default))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = wide_length < 0 ? wcslen(wide) + 1 : static_cast<size_t>(wide_length);
    bool to_utf8 = ResolveCodepage(codepage) == CP_UTF8;  // surrogates cannot go there alone
    std::wstring checked(wide, length);  // the text, lone surrogates replaced for UTF-8
    for (wchar_t& code : checked) {
        // Every surrogate is alone here: this wchar_t holds whole characters.
        if (to_utf8 && code >= 0xD800 && code <= 0xDFFF) {
            if (flags & WC_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            code = 0xFFFD;
        }
    }
    std::string text = Utf8FromWide(checked.data(), length);
    if (codepage != CP_UTF8) {
        std::string ansi = AnsiFromUtf8(text);
        if (used_default) {
            *used_default = ansi != text;
        }
        text = ansi;
    }
    if (size == 0) {
        return static_cast<int>(text.size());
    }
    if (!bytes || text.size() > static_cast<size_t>(size)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(bytes, text.data(), text.size());
    return static_cast<int>(text.size());
}

/* US-ASCII is decoded here, byte by byte; every other code page through
   iconv. With MB_ERR_INVALID_CHARS, bytes that are no character (a byte
   above 0x7F in US-ASCII, a lone lead byte, a bad UTF-8 sequence) fail the
   call with ERROR_NO_UNICODE_TRANSLATION; without it each becomes U+FFFD. A
   length of -1 includes the terminator. The result counts the characters
   written, or needed when size is 0; a buffer too small fails with
   ERROR_INSUFFICIENT_BUFFER. */
int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR bytes, int length, LPWSTR wide,
                        int size) {
    if (!bytes || length == 0 || (size > 0 && !wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string input(bytes, length < 0 ? strlen(bytes) + 1 : static_cast<size_t>(length));
    UINT resolved = ResolveCodepage(codepage);
    std::wstring text;
    while (!input.empty()) {
        std::string converted;  // wchar_t characters as bytes
        bool whole = resolved == STANDIN_ANSI_CODEPAGE;
        size_t used = 0;  // input bytes decoded
        if (whole) {
            while (used < input.size() && static_cast<unsigned char>(input[used]) < 0x80) {
                text.push_back(static_cast<wchar_t>(input[used++]));
            }
            whole = used == input.size();
        } else {
            whole = Iconv(WIDE_CHARSET, IconvName(resolved).c_str(), input, &converted, &used);
            const wchar_t* chars = reinterpret_cast<const wchar_t*>(converted.data());
            text.append(chars, converted.size() / sizeof(wchar_t));
        }
        if (whole) {
            break;
        }
        if (flags & MB_ERR_INVALID_CHARS) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        text.push_back(REPLACEMENT_CHAR);
        input.erase(0, used + 1);
    }
    if (size == 0) {
        return static_cast<int>(text.size());
    }
    if (text.size() > static_cast<size_t>(size)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(text.begin(), text.end(), wide);
    return static_cast<int>(text.size());
}

/* The declared short form of an existing path; a path without one comes
   back as it is, as on a volume without 8.3 names. */
DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD size) {
    std::string given = long_path ? Utf8FromWide(long_path, wcslen(long_path)) : std::string();
    LOG_CALL("GetShortPathNameW", {given});
    struct stat info;
    if (!long_path || stat(PosixPath(given.c_str()).c_str(), &info) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::string result = given;
    {
        std::lock_guard<std::mutex> hold(alias_lock);
        std::string wanted = Normalised(given);
        for (const auto& alias : short_aliases) {
            if (alias.second == wanted) {
                result = alias.first + (given.back() == '/' || given.back() == '\\' ? "/" : "");
            }
        }
    }
    return CopyPathOut(WideFromUtf8(result), short_path, size);
}
