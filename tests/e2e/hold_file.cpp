// A stand-in for whatever keeps a stale file of the workspace open (an
// earlier setup still running, a virus scanner) in the end-to-end tests: it
// opens a file with the given share mode, says "held" on its output and
// keeps the file open until a release file appears or a time has passed.
// It does nothing else, so the launcher meets exactly the sharing violation
// that such a holder causes.
//
//   hold_file FILE none|read|all RELEASE TIMEOUT_MS
//     none: share mode 0 (nobody may open the file meanwhile)
//     read: FILE_SHARE_READ (it can be read and started, not replaced or deleted)
//     all:  reading, writing and deletion shared (it stops nothing by itself)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int POLL_MS = 50;

}  // namespace

int main(int argc, char** argv) {
    const struct {
        const char* name;
        DWORD share;
    } modes[] = {{"none", 0},
                 {"read", FILE_SHARE_READ},
                 {"all", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}};
    const DWORD* share = nullptr;  // the mode asked for
    for (const auto& mode : modes) {
        if (argc == 5 && std::strcmp(argv[2], mode.name) == 0) {
            share = &mode.share;
        }
    }
    if (share == nullptr) {
        std::fprintf(stderr, "usage: hold_file FILE none|read|all RELEASE TIMEOUT_MS\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, *share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    const int timeout_ms = std::atoi(argv[4]);
    for (int waited = 0; waited < timeout_ms; waited += POLL_MS) {
        if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) {
            break;
        }
        Sleep(POLL_MS);
    }
    CloseHandle(file);
    return 0;
}
