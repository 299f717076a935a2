// libFuzzer target for DecodeChunk: the first four bytes (little-endian)
// choose the output capacity, the rest is the chunk member. Every outcome is
// checked against zlib's raw inflate through the chunk oracle, and the
// sanitizers catch reads and writes outside the buffers. Capacities are
// folded to at most 256 KiB + 64 bytes: the extractor gives 1 MiB, but
// every capacity decision (the claimed ISIZE, output past the capacity,
// the 32 KiB window flushed several times over) happens below that too,
// and the buffer is filled and compared for every input. The zlib oracle
// stays: it checks the decoded bytes, which no sanitizer can.
//
// The output buffer is allocated once: a fresh one per input cost most of
// the run in page faults. Its bytes past the capacity are poisoned for the
// call, so that AddressSanitizer still stops a write past the capacity as
// it would at the end of an exact-size block.
#include "chunk_oracle.h"
#include "inflate/inflate.h"

#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kMaxCapacity = (1u << 18) + 64;  // largest output buffer a run allocates
constexpr uint8_t kFill = 0xA5;                     // filler that shows untouched output

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    uint32_t capacity = chunk_oracle::Le32(data) % (kMaxCapacity + 1);
    const uint8_t* member = data + 4;
    size_t len = size - 4;
    static std::vector<uint8_t> out(kMaxCapacity, kFill);  // the capacity first, then poison
    memset(out.data(), kFill, capacity);
    ASAN_POISON_MEMORY_REGION(out.data() + capacity, kMaxCapacity - capacity);
    uint32_t out_len = capacity;
    int result = DecodeChunk(member, (uint32_t)len, out.data(), &out_len);
    std::string problem =
        chunk_oracle::CheckDecodeChunk(member, len, capacity, result, out_len, out.data(), kFill);
    ASAN_UNPOISON_MEMORY_REGION(out.data() + capacity, kMaxCapacity - capacity);
    if (!problem.empty()) {
        fprintf(stderr, "DecodeChunk disagrees: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
