// A helper that the end-to-end driver runs under Wine next to the launcher,
// to look at the launcher's windows from outside: it reads the error box's
// texts and owner, presses a dialog's button, brings a dialog to the
// foreground (where no window manager does it, for screenshots), and reports
// what LoadStringA does with a string that a language's table lacks,
// reads a file's version resource as Explorer's Details tab does, and reads
// an icon group as the loader finds it. Texts and images are printed as hex
// of their bytes (UTF-8 for texts), so no console code page stands in the
// way.
//
//   e2e_probe box TITLE TIMEOUT_MS        describe the dialog box titled TITLE
//   e2e_probe click TITLE ID TIMEOUT_MS   press button ID of the visible dialog TITLE
//   e2e_probe activate TITLE TIMEOUT_MS   make the visible dialog TITLE the active window
//   e2e_probe loadstring FILE ID          LoadStringA(FILE's string ID) over "File error"
//   e2e_probe version FILE                the version resource in the user's language:
//                                         translation, fixed versions, the strings
//   e2e_probe run FILE HEX_ARGUMENTS      start FILE with the arguments (hex of their bytes,
//                                         so that no shell or runtime rewrites them), wait,
//                                         and print its exit code, all 32 bits
//   e2e_probe icon FILE GROUP LANG        the first icon group's id, then icon group
//                                         GROUP in language LANG: each image's size,
//                                         bits, whether it makes an icon, its bytes
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char DIALOG_CLASS[] = "#32770";
const int POLL_MS = 50;

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

// A window's text through WM_GETTEXT, which the system carries across
// processes, as UTF-8.
std::string WindowText(HWND window) {
    wchar_t wide[1024] = {};
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(wide));
    char utf8[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

// Waits for a visible top-level dialog with this title.
HWND FindDialog(const char* title, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += POLL_MS) {
        HWND window = nullptr;
        while ((window = FindWindowExA(nullptr, window, DIALOG_CLASS, title)) != nullptr) {
            if (IsWindowVisible(window)) {
                return window;
            }
        }
        Sleep(POLL_MS);
    }
    return nullptr;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
    char cls[64] = {};
    GetClassNameA(child, cls, sizeof cls);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    std::printf("child %s %d %08lx %s\n", cls, GetDlgCtrlID(child),
                static_cast<unsigned long>(style), Hex(WindowText(child)).c_str());
    return TRUE;
}

int Box(const char* title, int timeout_ms) {
    HWND box = FindDialog(title, timeout_ms);
    if (box == nullptr) {
        std::printf("missing\n");
        return 1;
    }
    HWND owner = GetWindow(box, GW_OWNER);
    std::printf("owner %s %d\n", Hex(owner ? WindowText(owner) : "").c_str(),
                owner != nullptr && IsWindowVisible(owner) ? 1 : 0);
    EnumChildWindows(box, PrintChild, 0);
    return 0;
}

int Click(const char* title, int id, int timeout_ms) {
    HWND dialog = FindDialog(title, timeout_ms);
    HWND button = dialog ? GetDlgItem(dialog, id) : nullptr;
    if (button == nullptr) {
        std::printf("missing\n");
        return 1;
    }
    PostMessageA(button, BM_CLICK, 0, 0);
    std::printf("clicked\n");
    return 0;
}

// Brings the dialog to the foreground and keeps it there until it has
// stayed for STEADY_MS: a dialog that is still initialising may hand the
// activation back to its owner once.
int Activate(const char* title, int timeout_ms) {
    const int STEADY_MS = 500;
    HWND dialog = FindDialog(title, timeout_ms);
    if (dialog == nullptr) {
        std::printf("missing\n");
        return 1;
    }
    int steady = 0;
    for (int waited = 0; waited <= timeout_ms && steady < STEADY_MS; waited += POLL_MS) {
        if (GetForegroundWindow() == dialog) {
            steady += POLL_MS;
        } else {
            steady = 0;
            SetForegroundWindow(dialog);
        }
        Sleep(POLL_MS);
    }
    std::printf(steady >= STEADY_MS ? "activated\n" : "refused\n");
    return steady >= STEADY_MS ? 0 : 1;
}

int LoadString(const char* file, int id) {
    HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        std::printf("cannot load\n");
        return 1;
    }
    char buffer[512] = "File error";
    int length = LoadStringA(module, static_cast<UINT>(id), buffer, sizeof buffer);
    std::printf("result %d %s\n", length, Hex(buffer).c_str());
    FreeLibrary(module);
    return 0;
}

// GetFileVersionInfoA picks the resource of the user's language; the
// translation table names its string table, read with VerQueryValueA.
int Version(const char* file) {
    static const char* const NAMES[] = {"Comments",        "CompanyName",      "FileDescription",
                                        "FileVersion",     "InternalName",     "LegalCopyright",
                                        "LegalTrademarks", "OriginalFilename", "PrivateBuild",
                                        "ProductName",     "ProductVersion",   "SpecialBuild"};
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    std::string info(size, '\0');
    if (size == 0 || !GetFileVersionInfoA(file, 0, size, info.data())) {
        std::printf("no version\n");
        return 1;
    }
    WORD* translation = nullptr;  // language, code page
    UINT length = 0;
    VS_FIXEDFILEINFO* fixed = nullptr;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
        length < 4 ||
        !VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) {
        std::printf("no translation or fixed part\n");
        return 1;
    }
    std::printf("translation %04x%04x\n", translation[0], translation[1]);
    std::printf("fixed %lu.%lu.%lu.%lu %lu.%lu.%lu.%lu %08lx\n", fixed->dwFileVersionMS >> 16,
                fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
                fixed->dwFileVersionLS & 0xFFFF, fixed->dwProductVersionMS >> 16,
                fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
                fixed->dwProductVersionLS & 0xFFFF, fixed->dwFileFlags);
    for (const char* name : NAMES) {
        char path[128];
        std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                      translation[1], name);
        char* value = nullptr;
        if (VerQueryValueA(info.data(), path, reinterpret_cast<void**>(&value), &length)) {
            std::printf("string %s %s\n", name, Hex(value).c_str());
        }
    }
    return 0;
}

// The bytes of a hex text.
std::string Unhex(const char* hex) {
    std::string bytes;  // "-" stands for none
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        char two[3] = {hex[i], hex[i + 1], '\0'};
        bytes.push_back(static_cast<char>(std::strtoul(two, nullptr, 16)));
    }
    return bytes;
}

// Starts the program as a user or a deployment tool would, with its own
// quoted path and the arguments exactly as given, and reads its exit code
// from Windows, beyond the 8 bits that a Unix exit status keeps.
int Run(const char* file, const char* hex_arguments) {
    std::string arguments = Unhex(hex_arguments);
    std::string line = std::string("\"") + file + "\"" + (arguments.empty() ? "" : " ") + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(file, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        std::printf("cannot start %lu\n", GetLastError());
        return 1;
    }
    CloseHandle(started.hThread);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hProcess);
    std::printf("exit %lu\n", static_cast<unsigned long>(code));
    return 0;
}

BOOL CALLBACK FirstName(HMODULE, LPCSTR, LPSTR name, LONG_PTR first) {
    *reinterpret_cast<ULONG_PTR*>(first) = reinterpret_cast<ULONG_PTR>(name);
    return FALSE;  // the first one is enough
}

// An icon group through FindResourceExA and its images through
// FindResourceA, as the shell and LoadIcon find them; each image is also
// handed to CreateIconFromResourceEx, which decodes DIBs and PNGs alike.
int Icon(const char* file, int group, int language) {
    HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        std::printf("cannot load\n");
        return 1;
    }
    ULONG_PTR first = 0;  // the first group's name, an id below 65536
    EnumResourceNamesA(module, RT_GROUP_ICON, FirstName, reinterpret_cast<LONG_PTR>(&first));
    std::printf("first group %lu\n", static_cast<unsigned long>(first));
    HRSRC found = FindResourceExA(module, RT_GROUP_ICON, MAKEINTRESOURCEA(group),
                                  static_cast<WORD>(language));
    const BYTE* directory =
        found ? static_cast<const BYTE*>(LockResource(LoadResource(module, found))) : nullptr;
    if (directory == nullptr || SizeofResource(module, found) < 6) {
        std::printf("no group\n");
        FreeLibrary(module);
        return 1;
    }
    const int GRPICONDIRENTRY_SIZE = 14;
    int count = directory[4] | directory[5] << 8;
    for (int i = 0; i < count; ++i) {
        const BYTE* entry = directory + 6 + GRPICONDIRENTRY_SIZE * i;
        int id = entry[12] | entry[13] << 8;
        HRSRC image = FindResourceA(module, MAKEINTRESOURCEA(id), RT_ICON);
        const BYTE* data =
            image ? static_cast<const BYTE*>(LockResource(LoadResource(module, image))) : nullptr;
        DWORD size = data ? SizeofResource(module, image) : 0;
        HICON icon = data ? CreateIconFromResourceEx(const_cast<BYTE*>(data), size, TRUE,
                                                     0x00030000, 0, 0, LR_DEFAULTCOLOR)
                          : nullptr;
        std::printf(
            "image %d %d %d %d %s\n", entry[0] ? entry[0] : 256, entry[1] ? entry[1] : 256,
            entry[6] | entry[7] << 8, icon != nullptr ? 1 : 0,
            Hex(data ? std::string(reinterpret_cast<const char*>(data), size) : "").c_str());
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
    FreeLibrary(module);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "box") == 0) {
        return Box(argv[2], std::atoi(argv[3]));
    }
    if (argc == 5 && std::strcmp(argv[1], "click") == 0) {
        return Click(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (argc == 4 && std::strcmp(argv[1], "activate") == 0) {
        return Activate(argv[2], std::atoi(argv[3]));
    }
    if (argc == 4 && std::strcmp(argv[1], "loadstring") == 0) {
        return LoadString(argv[2], std::atoi(argv[3]));
    }
    if (argc == 3 && std::strcmp(argv[1], "version") == 0) {
        return Version(argv[2]);
    }
    if (argc == 4 && std::strcmp(argv[1], "run") == 0) {
        return Run(argv[2], argv[3]);
    }
    if (argc == 5 && std::strcmp(argv[1], "icon") == 0) {
        return Icon(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    std::fprintf(stderr, "usage: e2e_probe box|click|activate|loadstring|version|run|icon ...\n");
    return 2;
}
