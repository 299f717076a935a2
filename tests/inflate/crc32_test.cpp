// The CRC-32 table and UpdateCrc32's eight-byte steps against a bitwise and
// a byte-at-a-time reference, over every length up to 300 at every
// alignment, around the lengths where the four-stream runs start, and split
// into pieces as the window flushes split content.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "inflate/state.h"
#include "testdata.h"

namespace {

uint32_t BitwiseEntry(uint32_t i) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) {
        c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return c;
}

// The byte-at-a-time form: one table lookup per byte.
uint32_t ByteAtATime(uint32_t reg, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        reg = crc32_table[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
    }
    return reg;
}

TEST(Crc32Table, MatchesPolynomial) {
    for (uint32_t i = 0; i < 256; i++) {
        ASSERT_EQ(crc32_table[i], BitwiseEntry(i)) << i;
    }
}

struct StateDeleter {
    void operator()(InflateState* s) const {
        std::free(s);
    }
};
using StatePtr = std::unique_ptr<InflateState, StateDeleter>;

StatePtr NewState() {
    return StatePtr(static_cast<InflateState*>(std::calloc(1, sizeof(InflateState))));
}

TEST(UpdateCrc32, EveryLengthAndAlignment) {
    testdata::Bytes data = testdata::RandomBytes(300 + 8, 99);
    StatePtr s = NewState();
    for (size_t align = 0; align < 8; align++) {
        for (size_t n = 0; n <= 300; n++) {
            EXPECT_EQ(UpdateCrc32(s.get(), nullptr, 0), 0u);
            EXPECT_EQ(s->crc, 0xFFFFFFFFu);
            uint32_t got = UpdateCrc32(s.get(), data.data() + align, static_cast<uint32_t>(n));
            uint32_t reg = ByteAtATime(0xFFFFFFFFu, data.data() + align, n);
            ASSERT_EQ(s->crc, reg) << align << " " << n;
            ASSERT_EQ(got, reg ^ 0xFFFFFFFFu) << align << " " << n;
        }
    }
}

// Lengths around those of the four-stream runs (4 x 1,024 and 4 x 8,192
// bytes), continuing a register that earlier bytes left.
TEST(UpdateCrc32, StreamRunsJoinExactly) {
    testdata::Bytes data = testdata::RandomBytes(80000, 5);
    StatePtr s = NewState();
    for (size_t n : {4095, 4096, 4097, 8199, 32767, 32768, 32769, 36871, 69632, 79990}) {
        UpdateCrc32(s.get(), nullptr, 0);
        UpdateCrc32(s.get(), data.data(), 3);
        uint32_t got = UpdateCrc32(s.get(), data.data() + 3, static_cast<uint32_t>(n));
        ASSERT_EQ(got, ByteAtATime(0xFFFFFFFFu, data.data(), n + 3) ^ 0xFFFFFFFFu) << n;
    }
}

// Pieces of odd sizes, continuing one register: the same as one pass, and
// as zlib's crc32. A zero-byte update only reads the register.
TEST(UpdateCrc32, PiecesContinueTheRegister) {
    testdata::Bytes data = testdata::RandomBytes(5000, 7);
    StatePtr s = NewState();
    UpdateCrc32(s.get(), nullptr, 0);
    const size_t pieces[] = {1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 255, 1000, 3000};
    size_t at = 0;
    for (size_t p : pieces) {
        if (at + p > data.size()) {
            p = data.size() - at;
        }
        UpdateCrc32(s.get(), data.data() + at, static_cast<uint32_t>(p));
        at += p;
    }
    uint32_t rest = UpdateCrc32(s.get(), data.data() + at, static_cast<uint32_t>(data.size() - at));
    EXPECT_EQ(rest, testdata::Crc32(data));
    EXPECT_EQ(UpdateCrc32(s.get(), data.data(), 0), rest);
}

TEST(UpdateCrc32, KnownValue) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    StatePtr s = NewState();
    UpdateCrc32(s.get(), nullptr, 0);
    EXPECT_EQ(UpdateCrc32(s.get(), abc, 3), 0x352441C2u);
}

}  // namespace
