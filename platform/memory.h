// Memory for the decoder and the extractor: the process heap on Windows, the
// C heap elsewhere. The libraries that call these name no implementation;
// each program links one (qelvor_memory, or the tests' stand-in, which
// counts blocks and fails the ones a test asks it to).
#pragma once

#include <stddef.h>

// A block of size bytes, its content undefined; null when memory is short.
void* AllocateBlock(size_t size);

// The same, filled with zeros.
void* AllocateZeroedBlock(size_t size);

// Gives a block back; a null block gives back nothing.
void ReleaseBlock(void* block);
