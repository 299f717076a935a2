// libFuzzer target for the extractor: the input is a whole payload file,
// read from memory and extracted through a sink that writes nothing but
// checks every call. The run must not crash, must give back every block it
// took, and may only ask for what the seam promises: a name that passed the
// entry name rule (no folder part, so nothing outside the destination), one
// file at a time, bytes only into the file being written, copies only into
// Style or lang of a closed file, and progress that counts up to its total.
// Names are decoded as plain ASCII, as the launcher does under a US-ASCII
// code page.
//
// The memory is this file's own: the extractor takes two 1 MiB blocks per
// input, zeroed, and fresh blocks of that size from the allocator (or a
// memset of a kept one) cost most of the run. Here each such block is a
// mapping of its own, zero from the kernel and paid for only in the pages
// the input touches, and it is unmapped on release, so any later use of it
// faults. Blocks are counted, and a block released twice or never handed
// out fails the release.
#include "payload/extract.h"
#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

// Never destroyed, so that the leak check at exit still finds the blocks.
std::map<void*, size_t>& live_blocks = *new std::map<void*, size_t>;  // handed out -> size

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "ExtractThrough: %s\n", what.c_str());
    abort();
}

void* Allocate(size_t size, bool zeroed) {
    size = size ? size : 1;
    void* block = nullptr;
    if (size == PAYLOAD_BUFFER_SIZE) {
        block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        block = block == MAP_FAILED ? nullptr : block;
    } else {
        block = zeroed ? calloc(1, size) : malloc(size);
    }
    if (block != nullptr) {
        live_blocks[block] = size;
    }
    return block;
}

}  // namespace

void* AllocateBlock(size_t size) {
    return Allocate(size, false);
}

void* AllocateZeroedBlock(size_t size) {
    return Allocate(size, true);
}

void ReleaseBlock(void* block) {
    if (block == nullptr) {
        return;
    }
    auto live = live_blocks.find(block);
    if (live == live_blocks.end()) {
        Fail("a block released that was never handed out, or twice");
    }
    if (live->second == PAYLOAD_BUFFER_SIZE) {
        munmap(block, live->second);
    } else {
        free(block);
    }
    live_blocks.erase(live);
}

namespace {

// The input as the payload file.
struct Memory {
    const uint8_t* data;
    size_t size;
};

int ReadMemoryAt(void* source, uint64_t offset, void* buffer, uint32_t size, uint32_t* got) {
    const Memory* memory = static_cast<const Memory*>(source);
    uint64_t start = offset < memory->size ? offset : memory->size;
    *got = uint32_t(std::min<uint64_t>(size, memory->size - start));
    memcpy(buffer, memory->data + start, *got);
    return 1;
}

// What the sink has seen of one extraction.
struct Seen {
    std::string open;                       // the name of the file being written; empty when none
    std::map<std::string, uint64_t> files;  // closed files -> their length
    uint32_t last_done = 0;                 // the last progress report
};

int DecodeAscii(void*, const char* name, wchar_t* characters, int capacity) {
    int length = 0;
    for (; name[length] != '\0'; length++) {
        if ((unsigned char)name[length] >= 0x80 || length == capacity) {
            return -1;
        }
        characters[length] = (wchar_t)name[length];
    }
    return length;
}

void CreateFolder(void*, const char* folder) {
    if (strcmp(folder, "Style") != 0 && strcmp(folder, "lang") != 0) {
        Fail(std::string("a folder that is not the extractor's: ") + folder);
    }
}

int CreateFile(void* context, const char* name) {
    Seen* seen = static_cast<Seen*>(context);
    if (!seen->open.empty()) {
        Fail("a file created while another is open");
    }
    if (strpbrk(name, "\\/:") != nullptr || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
        name[0] == '\0') {
        Fail(std::string("a name that leads outside the destination: ") + name);
    }
    seen->open = name;
    seen->files[name] = 0;
    return 1;
}

int Append(void* context, const uint8_t*, uint32_t size) {
    Seen* seen = static_cast<Seen*>(context);
    if (seen->open.empty()) {
        Fail("bytes appended with no file open");
    }
    seen->files[seen->open] += size;
    return 1;
}

void CloseFile(void* context, int) {
    Seen* seen = static_cast<Seen*>(context);
    if (seen->open.empty()) {
        Fail("a close with no file open");
    }
    seen->open.clear();
}

void CopyToFolder(void* context, const char* name, const char* folder) {
    Seen* seen = static_cast<Seen*>(context);
    CreateFolder(context, folder);
    if (!seen->open.empty() || seen->files.count(name) == 0) {
        Fail(std::string("a copy of a file that is open or was never written: ") + name);
    }
}

void Report(void* context, uint32_t done, uint32_t total) {
    Seen* seen = static_cast<Seen*>(context);
    if (done != seen->last_done + 1 || done > total) {
        Fail("progress " + std::to_string(done) + " of " + std::to_string(total));
    }
    seen->last_done = done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Memory memory = {data, size};
    Seen seen;
    PayloadSource source = {ReadMemoryAt, &memory, size};
    ExtractSink sink = {&seen,     DecodeAscii,  CreateFolder, CreateFile, Append,
                        CloseFile, CopyToFolder, Report,       230};
    size_t blocks = live_blocks.size();
    int result = ExtractThrough(&source, &sink);
    if (result != 0 && result != 1) {
        Fail("result " + std::to_string(result));
    }
    if (!seen.open.empty()) {
        Fail("a file left open");
    }
    if (live_blocks.size() != blocks) {
        Fail("blocks leaked");
    }
    return 0;
}
