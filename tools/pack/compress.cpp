// The chunk member framing shared by both deflate engines, and the stored
// blocks of level 0, which need no engine at all. Stored blocks are written
// here rather than by the engine so that level 0 gives the same bytes on
// every platform.
#include "tools/pack/compress.h"

#include <algorithm>

namespace qpack {

namespace {

constexpr uint8_t MEMBER_ID1 = 0x1F;        // first identification byte
constexpr uint8_t MEMBER_ID2 = 0x8B;        // second identification byte
constexpr uint8_t MEMBER_CM_DEFLATE = 8;    // compression method byte
constexpr size_t STORED_MAX_LEN = 65535;    // content bytes one stored block can hold
constexpr uint8_t STORED_FINAL_HEADER = 1;  // BFINAL 1, BTYPE 00
constexpr uint8_t STORED_HEADER = 0;        // BFINAL 0, BTYPE 00

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void AppendU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

/* Stored blocks: each is a three-bit header padded to the byte boundary (one
   whole byte here, since every block starts byte-aligned), LEN and its one's
   complement NLEN, then LEN raw bytes. Empty content still needs one final
   block, of length 0. */
std::vector<uint8_t> StoredDeflate(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size + (size / STORED_MAX_LEN + 1) * 5);
    size_t done = 0;  // content bytes already placed in blocks
    do {
        size_t len = std::min(size - done, STORED_MAX_LEN);  // this block's content
        bool final = done + len == size;
        out.push_back(final ? STORED_FINAL_HEADER : STORED_HEADER);
        AppendU16(out, static_cast<uint16_t>(len));
        AppendU16(out, static_cast<uint16_t>(~len));
        out.insert(out.end(), data + done, data + done + len);
        done += len;
    } while (done < size);
    return out;
}

/* A chunk member: the gzip identification and method bytes without the rest
   of a gzip header, the deflate data, then CRC-32 and ISIZE little-endian.
   Pieces never exceed 512 KiB, so ISIZE is the exact length. */
std::vector<uint8_t> BuildMember(const uint8_t* data, size_t size, int level) {
    std::vector<uint8_t> deflated =
        level == LEVEL_STORED ? StoredDeflate(data, size) : RawDeflate(data, size, level);
    std::vector<uint8_t> member;
    member.reserve(deflated.size() + 11);
    member.push_back(MEMBER_ID1);
    member.push_back(MEMBER_ID2);
    member.push_back(MEMBER_CM_DEFLATE);
    member.insert(member.end(), deflated.begin(), deflated.end());
    AppendU32(member, Crc32(data, size));
    AppendU32(member, static_cast<uint32_t>(size));
    return member;
}

}  // namespace qpack
