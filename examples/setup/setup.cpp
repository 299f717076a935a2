// A sample installer for the demonstration set: it shows what the launcher
// hands over to a vendor's setup.exe. It writes its command line, its
// current folder and the files it finds beside itself into
// %TEMP%\qelvor-demo.txt and ends; a real installer would install here.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string record = std::string(temp) + "qelvor-demo.txt";
    FILE* f = std::fopen(record.c_str(), "wb");
    if (f == nullptr) {
        return 1;
    }
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::fprintf(f, "command line: %s\r\n", GetCommandLineA());
    std::fprintf(f, "current folder: %s\r\n", folder);
    std::fprintf(f, "started from: %s\r\n", self);

    // The installation set lies in the folder of this program.
    std::string pattern = self;
    pattern = pattern.substr(0, pattern.find_last_of('\\') + 1) + "*";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::fprintf(f, "beside it: %s\r\n", found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::fclose(f);
    return 0;
}
