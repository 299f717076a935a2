// libFuzzer target for ExtractPayloadFile: the input is a whole payload
// file. It is written to a temporary file and extracted into a temporary
// folder that holds only Style and lang; the run must not crash, must give
// back every heap block and handle it took, and must write nothing outside
// the destination folder. Everything it wrote is removed again before the
// next input, and the stand-in keeps no call log, so memory stays flat
// however long the run. The files live on a memory-backed file system when
// there is one: the extractor's own work per input is small next to a disk's.
//
// The process heap is this file's own: the extractor takes two 1 MiB blocks
// per input, zeroed, and fresh blocks of that size from the allocator (or a
// memset of a kept one, or poisoning a kept one's shadow) cost most of the
// run. Here each such block is a mapping of its own, zero from the kernel
// and paid for only in the pages the input touches, and it is unmapped on
// release, so any later use of it faults. Blocks are still counted, and a
// block released twice or never handed out still fails the release.
#include "payload/payload.h"
#include "platform/posix/testing.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

// Never destroyed, so that the leak check at exit still finds the blocks.
char heap_tag;  // the one heap's handle points here
std::map<void*, SIZE_T>& live_blocks = *new std::map<void*, SIZE_T>;  // handed out -> size

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
    if (size == PAYLOAD_BUFFER_SIZE) {
        block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
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
        munmap(block, live->second);
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

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "ExtractPayloadFile: %s\n", what.c_str());
    abort();
}

// The folder that holds this process's payload file and destination. All
// are made once and kept: the payload file is rewritten in place and the
// destination emptied after each input, so that the stand-in's listings of
// them stay valid. The destination holds Style and lang from the start, as
// the launcher's workspace does when the extractor runs. What each input
// created is learnt from one read of the watches, not from listing folders.
const char* const kKept[] = {"", "/Style", "/lang"};  // the destination's folders, kept
constexpr int kKeptCount = 3;

struct Work {
    std::string payload;         // the payload file
    std::string destination;     // where it is extracted
    int watcher;                 // inotify descriptor, non-blocking
    int folder_watch;            // on the work folder: anything created there is a fault
    int kept_watch[kKeptCount];  // on each kept folder: what to remove after an input
};

const Work& WorkFolder() {
    static const Work work = [] {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path p = base / ("qelvor-fuzz-" + std::to_string(getpid()));
        fs::remove_all(p);
        Work w{(p / "payload.bin").string(),
               (p / "out").string(),
               inotify_init1(IN_NONBLOCK | IN_CLOEXEC),
               -1,
               {}};
        fs::create_directories(w.destination + "/Style");
        fs::create_directories(w.destination + "/lang");
        close(open(w.payload.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        bool watched = w.watcher >= 0 && (w.folder_watch = inotify_add_watch(
                                              w.watcher, p.c_str(), IN_CREATE | IN_MOVED_TO)) >= 0;
        for (int k = 0; k < kKeptCount; k++) {
            std::string folder = w.destination + kKept[k];
            watched = watched && (w.kept_watch[k] = inotify_add_watch(
                                      w.watcher, folder.c_str(), IN_CREATE | IN_MOVED_TO)) >= 0;
        }
        if (!watched) {
            perror("inotify");
            abort();
        }
        PlatformRecordCalls(false);      // nothing here reads the log
        static const fs::path made = p;  // removed again when the run ends
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(made, ignored);
        });
        return w;
    }();
    return work;
}

// Removes what the last input created in the kept folders and fails if it
// created anything in the work folder. A lost event (queue overflow) counts
// as such a fault, so that it is never taken for nothing.
void RemoveCreated(const Work& work) {
    alignas(struct inotify_event) static char events[16384];              // one read of the queue
    const ssize_t longest = sizeof(struct inotify_event) + NAME_MAX + 1;  // one event at most
    // A read that leaves room for the longest event has emptied the queue.
    for (ssize_t got = sizeof events; got > (ssize_t)sizeof events - longest;) {
        got = read(work.watcher, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
            at += (ssize_t)(sizeof *event + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                Fail("events lost: cannot tell what was written");
            }
            if (event->wd == work.folder_watch) {
                Fail(std::string("wrote outside the destination: ") + event->name);
            }
            for (int k = 0; k < kKeptCount; k++) {
                if (event->wd != work.kept_watch[k]) {
                    continue;
                }
                std::string path = work.destination + kKept[k] + "/" + event->name;
                if (unlink(path.c_str()) != 0) {
                    fs::remove_all(path);  // a folder
                }
            }
        }
    }
}

// Replaces the payload file's content with data[0 .. size), through a
// descriptor kept open for the whole run.
void WritePayload(const std::string& payload, const uint8_t* data, size_t size) {
    static const int fd = open(payload.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || pwrite(fd, data, size, 0) != (ssize_t)size || ftruncate(fd, (off_t)size) != 0) {
        perror("payload file");
        abort();
    }
}

int IgnoreProgress(uint32_t, uint32_t, uint32_t) {
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Work& work = WorkFolder();
    WritePayload(work.payload, data, size);

    size_t handles = PlatformLiveHandles();
    size_t blocks = PlatformLiveHeapBlocks();
    int result = ExtractPayloadFile(work.payload.c_str(), work.destination.c_str(), IgnoreProgress);
    if (result != 0 && result != 1) {
        Fail("result " + std::to_string(result));
    }
    if (PlatformLiveHandles() != handles) {
        Fail("handles leaked");
    }
    if (PlatformLiveHeapBlocks() != blocks) {
        Fail("heap blocks leaked");
    }
    RemoveCreated(work);
    return 0;
}
