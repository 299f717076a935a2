// The process heap, over malloc. Every live block is remembered so that
// tests can count them and so that freeing a block twice, or a pointer that
// never came from HeapAlloc, fails instead of corrupting memory.

#include "state.h"

#include <cstdlib>
#include <cstring>
#include <set>

namespace {

// The one heap there is; any other heap handle is invalid.
char process_heap_tag;
HANDLE const PROCESS_HEAP = &process_heap_tag;

std::mutex heap_lock;    // guards blocks
std::set<void*> blocks;  // every block handed out and not yet freed

}  // namespace

HANDLE GetProcessHeap() {
    return PROCESS_HEAP;
}

/* Allocates size bytes (at least one, so that a zero-sized block is still a
   distinct block), zero-filled with HEAP_ZERO_MEMORY. Failure, real or
   injected, returns null with ERROR_NOT_ENOUGH_MEMORY. */
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    if (heap != PROCESS_HEAP) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (FaultHit(FAULT_ALLOC)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* block = (flags & HEAP_ZERO_MEMORY) ? calloc(1, size ? size : 1) : malloc(size ? size : 1);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(heap_lock);
    blocks.insert(block);
    return block;
}

/* Releases a block. A null block succeeds and does nothing; an unknown one
   fails with ERROR_INVALID_PARAMETER. */
BOOL HeapFree(HANDLE heap, DWORD, LPVOID block) {
    if (heap != PROCESS_HEAP) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!block) {
        return TRUE;
    }
    {
        std::lock_guard<std::mutex> hold(heap_lock);
        if (blocks.erase(block) == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    free(block);
    return TRUE;
}

size_t PlatformLiveHeapBlocks() {
    std::lock_guard<std::mutex> hold(heap_lock);
    return blocks.size();
}
