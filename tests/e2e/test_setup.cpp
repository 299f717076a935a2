// Stand-in for a vendor's setup.exe in the end-to-end tests. It appends to a
// record file what the launcher gave it (its command line and current
// folder), waits if asked to, and records its exit code just before it ends,
// so a test can tell whether the launcher waited for it.
//
// Controlled by the environment, which the launcher passes on:
//   QELVOR_TEST_RECORD     path of the record file (nothing is written without it)
//   QELVOR_TEST_SLEEP_MS   milliseconds to wait before ending (default 0)
//   QELVOR_TEST_EXIT_CODE  exit code, all 32 bits (decimal or 0x hex; default 0)
// One line per fact, appended, so several runs can share a record.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Appends one line to the record; opening and closing each time keeps the
// lines of concurrent setups whole and flushed.
void Record(const std::string& line) {
    const char* path = std::getenv("QELVOR_TEST_RECORD");
    if (path == nullptr || *path == '\0') {
        return;
    }
    FILE* f = std::fopen(path, "ab");
    if (f == nullptr) {
        return;
    }
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
}

int EnvNumber(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : 0;
}

}  // namespace

int main() {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    Record(std::string("cmdline ") + GetCommandLineA());
    Record(std::string("cwd ") + folder);
    const int sleep_ms = EnvNumber("QELVOR_TEST_SLEEP_MS");
    if (sleep_ms > 0) {
        Sleep(static_cast<DWORD>(sleep_ms));
    }
    const char* exit_text = std::getenv("QELVOR_TEST_EXIT_CODE");
    const unsigned long exit_code = exit_text != nullptr ? std::strtoul(exit_text, nullptr, 0) : 0;
    Record("exit " + std::to_string(exit_code));
    ExitProcess(static_cast<UINT>(exit_code));
}
