// What DecodeChunk must answer for a given chunk member and output capacity,
// judged with zlib's raw inflate as the oracle for the deflate data. Used by
// the fuzz target and usable from any test: it needs zlib and nothing of the
// test framework. The framing checks (capacity, header, length, size
// decision, trailer, end of input load) are decided here from the member's
// bytes; the deflate data is decided by zlib, except where the decoder
// deliberately accepts what zlib refuses (a repeat code 16 with no earlier
// length, a code-length code of one length-1 code), where only consistency is
// required.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace chunk_oracle {

constexpr uint32_t kLoadSize = 32768;      // the decoder's input loads
constexpr uint32_t kWindowSize = 32768;    // the decoder flushes in pieces of this size
constexpr uint32_t kCompareBlock = 65536;  // untouched output is compared in blocks of this size

inline uint32_t Le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// zlib's view of raw deflate data: whether it ends, where, and what it gives.
struct ZlibRun {
    bool ended = false;        // the last block ended before the input did
    bool may_diverge = false;  // refused for a reason the decoder may accept
    std::string message;       // zlib's message on refusal
    size_t consumed = 0;       // bytes of deflate data, the last partial byte included
    uint64_t total_out = 0;    // bytes produced (before the refusal, if any)
    uint32_t crc = 0;          // CRC-32 of all of them
    uint64_t same = 0;         // how many of them, from the start, equal the compared bytes
};

// Inflates data[0 .. n) as raw deflate, counting and checksumming all of
// its output and comparing the first `length` bytes with `compared` as they
// come, so that no copy of the output is kept.
inline ZlibRun RunZlib(const uint8_t* data, size_t n, const uint8_t* compared, size_t length) {
    ZlibRun run;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        run.message = "inflateInit2 failed";
        return run;
    }
    static thread_local std::vector<uint8_t> scratch(1 << 16);  // one per thread, kept
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = (uInt)n;
    run.crc = (uint32_t)crc32(0, nullptr, 0);
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = scratch.data();
        z.avail_out = (uInt)scratch.size();
        rc = inflate(&z, Z_NO_FLUSH);
        size_t got = scratch.size() - z.avail_out;
        run.crc = (uint32_t)crc32(run.crc, scratch.data(), (uInt)got);
        if (run.same == run.total_out && run.total_out < length) {
            size_t take = (size_t)std::min<uint64_t>(got, length - run.total_out);
            size_t equal = memcmp(scratch.data(), compared + run.total_out, take) == 0 ? take : 0;
            while (equal < take && scratch[equal] == compared[run.total_out + equal]) {
                equal++;
            }
            run.same += equal;
        }
        run.total_out += got;
        if (rc == Z_OK && got == 0 && z.avail_in == 0) {
            break;  // input used up before the end of the stream
        }
    }
    run.ended = rc == Z_STREAM_END;
    run.consumed = n - z.avail_in;
    if (!run.ended) {
        run.message = z.msg ? z.msg : "input ends inside the deflate data";
        run.may_diverge =
            run.message == "invalid bit length repeat" || run.message == "invalid code lengths set";
    }
    inflateEnd(&z);
    return run;
}

// Whether the bytes after position `end` of an input of `len` bytes lie in
// the same input load as the byte before it, so that the decoder sees them.
inline bool UnreadInLoad(size_t end, size_t len) {
    size_t load_end = ((end - 1) / kLoadSize + 1) * kLoadSize;
    return end < std::min(len, load_end);
}

// Checks DecodeChunk's outcome for member[0 .. len) and the given capacity:
// its result, the output length it left, and the output buffer (capacity
// bytes, filled with `fill` before the call). Returns "" when they agree
// with what the member calls for, else what is wrong.
inline std::string CheckDecodeChunk(const uint8_t* member, size_t len, uint32_t capacity,
                                    int result, uint32_t out_len, const uint8_t* out,
                                    uint8_t fill) {
    auto untouched = [&]() {
        static const std::vector<uint8_t> filled(kCompareBlock, fill);  // what untouched looks like
        for (uint32_t at = 0; at < capacity; at += kCompareBlock) {
            if (memcmp(out + at, filled.data(), std::min<uint32_t>(kCompareBlock, capacity - at))) {
                return false;
            }
        }
        return true;
    };
    auto expect = [&](int want_result, uint64_t want_len, const char* why) -> std::string {
        if (result != want_result || out_len != want_len) {
            return std::string(why) + ": expected result " + std::to_string(want_result) +
                   " length " + std::to_string(want_len) + ", got " + std::to_string(result) +
                   " length " + std::to_string(out_len);
        }
        return "";
    };

    if (capacity < len) {
        std::string e = expect(-1, capacity, "capacity below input length");
        return !e.empty() ? e : untouched() ? "" : "output touched on -1";
    }
    if (len < 3 || member[0] != 0x1F || member[1] != 0x8B || member[2] != 8 || len <= 6) {
        std::string e = expect(-2, 0, "bad header or too short");
        return !e.empty() ? e : untouched() ? "" : "output touched on a bad header";
    }
    uint32_t claimed = Le32(member + len - 4);
    if (claimed > capacity) {
        std::string e = expect(0, claimed, "ISIZE at the end above capacity");
        return !e.empty() ? e : untouched() ? "" : "output touched on result 0";
    }

    ZlibRun z = RunZlib(member + 3, len - 3, out, std::min<uint64_t>(capacity, out_len));
    auto same_prefix = [&](uint64_t n) {
        return z.same >= std::min<uint64_t>({n, capacity, out_len, z.total_out});
    };

    if (!z.ended) {
        if (z.may_diverge && result == 8) {
            // Accepted where zlib refuses: the decoder's own trailer check
            // must have passed against a trailer it could have read.
            if (out_len > capacity) {
                return "result 8 with output length above capacity";
            }
            uint32_t crc = (uint32_t)crc32(crc32(0, nullptr, 0), out, out_len);
            for (size_t end = len; end >= 11; end = (end - 1) / kLoadSize * kLoadSize) {
                if (Le32(member + end - 8) == crc && Le32(member + end - 4) == out_len) {
                    return "";
                }
                if (end <= kLoadSize) {
                    break;
                }
            }
            return "result 8 without a matching trailer (zlib: " + z.message + ")";
        }
        if (result != -2) {
            return "zlib refuses the deflate data (" + z.message + ") but result is " +
                   std::to_string(result);
        }
        if (!z.may_diverge && out_len % kWindowSize != 0) {
            return "failure inside the deflate data left a length of " + std::to_string(out_len);
        }
        return same_prefix(out_len) ? "" : "bytes before the failure differ from zlib's";
    }

    size_t trailer = 3 + z.consumed;  // first trailer byte
    if (trailer + 8 > len) {
        std::string e = expect(-2, z.total_out, "input ends inside the trailer");
        return !e.empty() ? e : same_prefix(z.total_out) ? "" : "content differs from zlib's";
    }
    bool crc_ok = Le32(member + trailer) == z.crc;
    bool size_ok = Le32(member + trailer + 4) == z.total_out;
    bool rest_unread = UnreadInLoad(trailer + 8, len);
    bool fits = z.total_out <= capacity;
    if (crc_ok && size_ok && !rest_unread && fits) {
        std::string e = expect(8, z.total_out, "valid member");
        return !e.empty() ? e : same_prefix(z.total_out) ? "" : "content differs from zlib's";
    }
    const char* why = !crc_ok       ? "CRC-32 mismatch"
                      : !size_ok    ? "ISIZE mismatch"
                      : rest_unread ? "bytes after the trailer"
                                    : "content above capacity";
    std::string e = expect(-2, z.total_out, why);
    return !e.empty() ? e : same_prefix(z.total_out) ? "" : "content differs from zlib's";
}

}  // namespace chunk_oracle
