// libFuzzer target for ExtractPayloadFile: the input is a whole payload
// file. It is written to a temporary file and extracted into a fresh
// temporary folder; the run must not crash, must give back every heap block
// and handle it took, and must write nothing outside the destination folder.
// Everything is removed again before the next input, the stand-in's call
// log included, so memory stays flat however long the run. The files live
// on a memory-backed file system when there is one: the extractor's own
// work per input is small next to a disk's.
//
// The process heap is this file's own: the extractor takes two 1 MiB blocks
// per input, and fresh blocks of that size (mapped, zeroed through page
// faults, unmapped) cost most of the run. Here a released block of that size
// is kept for the next request and poisoned meanwhile, so AddressSanitizer
// still stops any use of it after its release; blocks are still counted, and
// a block released twice or never handed out still fails the release.
#include "payload/payload.h"
#include "platform/posix/testing.h"

#include <sanitizer/asan_interface.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <vector>
#include <string>

namespace fs = std::filesystem;

namespace {

// Never destroyed, so that the leak check at exit still finds the blocks.
char heap_tag;  // the one heap's handle points here
std::map<void*, SIZE_T>& live_blocks = *new std::map<void*, SIZE_T>;  // handed out -> size
std::vector<void*>& spare_buffers = *new std::vector<void*>;  // released 1 MiB blocks, poisoned

}  // namespace

HANDLE GetProcessHeap() {
    return &heap_tag;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    if (heap != &heap_tag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    size = size ? size : 1;
    void* block = nullptr;
    if (size == PAYLOAD_BUFFER_SIZE && !spare_buffers.empty()) {
        block = spare_buffers.back();
        spare_buffers.pop_back();
        ASAN_UNPOISON_MEMORY_REGION(block, size);
        if (flags & HEAP_ZERO_MEMORY) {
            memset(block, 0, size);
        }
    } else {
        block = (flags & HEAP_ZERO_MEMORY) ? calloc(1, size) : malloc(size);
    }
    live_blocks[block] = size;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID block) {
    auto live = live_blocks.find(block);
    if (heap != &heap_tag || (block != nullptr && live == live_blocks.end())) {
        SetLastError(heap != &heap_tag ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (block != nullptr && live->second == PAYLOAD_BUFFER_SIZE) {
        ASAN_POISON_MEMORY_REGION(block, live->second);
        spare_buffers.push_back(block);
    } else if (block != nullptr) {
        free(block);
    }
    if (block != nullptr) {
        live_blocks.erase(live);
    }
    return TRUE;
}

size_t PlatformLiveHeapBlocks() {
    return live_blocks.size();
}

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
