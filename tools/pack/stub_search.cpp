// Finding the stub from the packer's own location, so that an installed or
// unzipped packer needs no --stub. Only places fixed relative to the packer
// are searched (never the current folder or PATH), so which stub is taken
// does not depend on where the vendor happens to stand. A build tree is
// recognised by its source root's CMakePresets.json, so that a stray dist/
// folder higher up is never taken for one.
#include "tools/pack/stub_search.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qpack {

namespace fs = std::filesystem;

namespace {

constexpr const char* SOURCE_ROOT_MARK = "CMakePresets.json";  // what a source root holds
constexpr int BUILD_TREE_DEPTH = 5;  // build/<preset>/tools/pack below the root, and dist/

}  // namespace

fs::path OwnExecutable() {
#ifdef _WIN32
    std::wstring buffer(32768, L'\0');  // the longest path Windows hands out
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return fs::path(buffer);
#else
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self;
#endif
}

std::vector<fs::path> StubCandidates(const fs::path& packer) {
    fs::path folder = packer.parent_path();
    std::vector<fs::path> candidates = {
        folder / STUB_FILE_NAME,
        (folder / ".." / "share" / "qelvor" / STUB_FILE_NAME).lexically_normal()};
    fs::path up = folder;
    for (int depth = 0; depth < BUILD_TREE_DEPTH && up.has_relative_path(); ++depth) {
        up = up.parent_path();
        std::error_code error;
        if (fs::exists(up / SOURCE_ROOT_MARK, error)) {
            candidates.push_back(up / "dist" / STUB_FILE_NAME);
            break;
        }
    }
    return candidates;
}

}  // namespace qpack
