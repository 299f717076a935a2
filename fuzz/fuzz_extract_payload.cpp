// libFuzzer target for ExtractPayloadFile: the input is a whole payload
// file. It is written to a temporary file and extracted into a fresh
// temporary folder; the run must not crash, must give back every heap block
// and handle it took, and must write nothing outside the destination folder.
// Everything is removed again before the next input, the stand-in's call
// log included, so memory stays flat however long the run. The files live
// on a memory-backed file system when there is one: the extractor's own
// work per input is small next to a disk's.
#include "payload/payload.h"
#include "platform/posix/testing.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

// The folder that holds this process's payload file and destination.
const fs::path& WorkFolder() {
    static const fs::path folder = [] {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path p = base / ("qelvor-fuzz-" + std::to_string(getpid()));
        fs::remove_all(p);
        fs::create_directories(p);
        return p;
    }();
    return folder;
}

int IgnoreProgress(uint32_t, uint32_t, uint32_t) {
    return 1;
}

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "ExtractPayloadFile: %s\n", what.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path& work = WorkFolder();
    fs::path payload = work / "payload.bin";
    fs::path dest = work / "out";
    {
        std::ofstream file(payload, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), (std::streamsize)size);
    }
    fs::remove_all(dest);
    fs::create_directory(dest);

    size_t handles = PlatformLiveHandles();
    size_t blocks = PlatformLiveHeapBlocks();
    int result = ExtractPayloadFile(payload.c_str(), dest.c_str(), IgnoreProgress);
    if (result != 0 && result != 1) {
        Fail("result " + std::to_string(result));
    }
    if (PlatformLiveHandles() != handles) {
        Fail("handles leaked");
    }
    if (PlatformLiveHeapBlocks() != blocks) {
        Fail("heap blocks leaked");
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(work)) {
        std::string name = entry.path().filename().string();
        if (name != "payload.bin" && name != "out") {
            Fail("wrote outside the destination: " + name);
        }
    }
    fs::remove_all(dest);
    fs::remove(payload);
    PlatformReset();
    return 0;
}
