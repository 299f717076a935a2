// Module instances and libraries: GetModuleFileNameA, the fake instances
// that tests make for payload files, and a stand-in comctl32.dll whose only
// export is InitCommonControls at ordinal 17.
//
// A module here is just a name in a table; nothing is ever loaded.

#include "state.h"

#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <map>

namespace {

const uintptr_t MODULE_BASE = 0x400000;  // first module handle value
const uintptr_t MODULE_STEP = 0x10000;   // distance between module handles
const WORD COMCTL32_INIT_ORDINAL = 17;   // InitCommonControls' ordinal in comctl32.dll
const char COMCTL32_NAME[] = "comctl32.dll";
const char SHELL32_NAME[] = "shell32.dll";
const char ADVAPI32_NAME[] = "advapi32.dll";
const char KERNEL32_NAME[] = "kernel32.dll";

// The calls that each loadable stand-in library exports by name.
const struct Export {
    const char* library;
    const char* name;
    FARPROC call;
} EXPORTS[] = {
    {SHELL32_NAME, "ShellExecuteExA",
     reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ShellExecuteExA))},
    {ADVAPI32_NAME, "OpenProcessToken",
     reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&OpenProcessToken))},
    {ADVAPI32_NAME, "GetTokenInformation",
     reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&GetTokenInformation))},
    {ADVAPI32_NAME, "GetKernelObjectSecurity",
     reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&GetKernelObjectSecurity))},
    {ADVAPI32_NAME, "SetKernelObjectSecurity",
     reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SetKernelObjectSecurity))},
};

std::mutex module_lock;                    // guards modules
std::map<uintptr_t, std::string> modules;  // module handle -> its file name

/* The handle of the module with this file name, made on first use. */
HMODULE ModuleNamed(const std::string& path) {
    std::lock_guard<std::mutex> hold(module_lock);
    for (const auto& entry : modules) {
        if (entry.second == path) {
            return reinterpret_cast<HMODULE>(entry.first);
        }
    }
    uintptr_t value = MODULE_BASE + MODULE_STEP * modules.size();
    modules[value] = path;
    return reinterpret_cast<HMODULE>(value);
}

}  // namespace

HMODULE PlatformModuleForFile(const char* path) {
    return ModuleNamed(path ? path : "");
}

/* Copies the module's file name. A null module is the running executable.
   A name that does not fit is cut to size - 1 bytes and terminated; the
   result is then size with ERROR_INSUFFICIENT_BUFFER, as on current
   Windows. Otherwise the result is the length without the terminator. */
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    LOG_CALL("GetModuleFileNameA", {HandleText(module), std::to_string(size)});
    std::string name;
    if (!module) {
        char own[4096];  // the link's target
        ssize_t length = readlink("/proc/self/exe", own, sizeof own - 1);
        if (length < 0) {
            SetErrorFromErrno(errno);
            return 0;
        }
        name.assign(own, static_cast<size_t>(length));
    } else {
        std::lock_guard<std::mutex> hold(module_lock);
        auto found = modules.find(reinterpret_cast<uintptr_t>(module));
        if (found == modules.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        name = found->second;
    }
    if (size == 0 || !buffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() >= size) {
        memcpy(buffer, name.data(), size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, name.c_str(), name.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(name.size());
}

BOOL SetDefaultDllDirectories(DWORD flags) {
    LOG_CALL("SetDefaultDllDirectories", {std::to_string(flags)});
    return TRUE;
}

/* The module of a library that is always loaded: only kernel32.dll. */
HMODULE GetModuleHandleA(LPCSTR name) {
    LOG_CALL("GetModuleHandleA", {Text(name)});
    if (name && strcasecmp(name, KERNEL32_NAME) == 0) {
        return ModuleNamed(KERNEL32_NAME);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

/* Only comctl32.dll, shell32.dll and advapi32.dll (any case, with or
   without the extension) can be loaded; anything else fails with
   ERROR_MOD_NOT_FOUND. */
HMODULE LoadLibraryExA(LPCSTR name, HANDLE, DWORD flags) {
    LOG_CALL("LoadLibraryExA", {Text(name), std::to_string(flags)});
    for (const char* known : {COMCTL32_NAME, SHELL32_NAME, ADVAPI32_NAME}) {
        std::string bare(known, strlen(known) - strlen(".dll"));  // the name without extension
        if (name && (strcasecmp(name, known) == 0 || strcasecmp(name, bare.c_str()) == 0)) {
            return ModuleNamed(known);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

/* comctl32.dll exports InitCommonControls, by ordinal 17 or by name; the
   other libraries their calls in EXPORTS by name, and kernel32.dll
   GetTempPath2W while a test has given it a folder. */
FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    bool by_ordinal = IS_INTRESOURCE(name);  // name is really an ordinal
    std::string what = "#";                  // "#17" for an ordinal, else the name
    if (by_ordinal) {
        what.append(std::to_string(reinterpret_cast<UINT_PTR>(name)));
    } else {
        what = Text(name);
    }
    LOG_CALL("GetProcAddress", {HandleText(module), what});
    bool comctl32 = module && module == ModuleNamed(COMCTL32_NAME);
    bool wanted = by_ordinal ? reinterpret_cast<UINT_PTR>(name) == COMCTL32_INIT_ORDINAL
                             : strcmp(name, "InitCommonControls") == 0;
    if (comctl32 && wanted) {
        return reinterpret_cast<FARPROC>(&InitCommonControls);
    }
    for (const Export& e : EXPORTS) {
        if (module && module == ModuleNamed(e.library) && !by_ordinal &&
            strcmp(name, e.name) == 0) {
            return e.call;
        }
    }
    if (module && module == ModuleNamed(KERNEL32_NAME) && !by_ordinal &&
        strcmp(name, "GetTempPath2W") == 0 && HasTempPath2()) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&GetTempPath2W));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
