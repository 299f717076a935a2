// Entry point: hands the arguments to the command line, in UTF-8. On Windows
// they are taken from the wide command line, since the ANSI one loses every
// character outside the system's code page.
#include "tools/pack/cli.h"

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

namespace {

std::vector<std::string> Utf8Arguments() {
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide != nullptr && i < count; ++i) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(static_cast<size_t>(bytes > 0 ? bytes - 1 : 0), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), bytes, nullptr, nullptr);
        args.push_back(arg);
    }
    LocalFree(wide);
    return args;
}

}  // namespace

int main() {
    return qpack::RunCli(Utf8Arguments(), std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
    return qpack::RunCli(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
