// Memory from the C library, for the programs that run outside Windows: the
// packer, the benchmarks and the fuzzers.
#include "platform/memory.h"

#include <stdlib.h>

void* AllocateBlock(size_t size) {
    return malloc(size ? size : 1);
}

void* AllocateZeroedBlock(size_t size) {
    return calloc(1, size ? size : 1);
}

void ReleaseBlock(void* block) {
    free(block);
}
