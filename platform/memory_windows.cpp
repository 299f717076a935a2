// The launcher's memory: the process heap, which needs no set-up and no
// runtime library of its own. The native tests build it over the stand-in's
// counted heap.
#include "platform/memory.h"

#include <windows.h>

void* AllocateBlock(size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void* AllocateZeroedBlock(size_t size) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void ReleaseBlock(void* block) {
    if (block != NULL) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}
