// Chunk member framing, size decisions, stored blocks, the trailer checks
// and the end test of DecodeChunk, on hand-made members.
#include <gtest/gtest.h>

#include <cstring>

#include "bitwriter.h"
#include "testdata.h"

using testdata::Bytes;
using testdata::Decode;
using testdata::FrameMember;
using testdata::kFill;

namespace {

// 1F 8B 08, one last stored block holding "abc", CRC-32 0x352441C2, ISIZE 3.
const Bytes kAbcMember = {0x1F, 0x8B, 0x08, 0x01, 0x03, 0x00, 0xFC, 0xFF, 0x61, 0x62,
                          0x63, 0xC2, 0x41, 0x24, 0x35, 0x03, 0x00, 0x00, 0x00};
// A fixed block holding only its end-of-block code; CRC-32 0, ISIZE 0.
const Bytes kEmptyMember = {0x1F, 0x8B, 0x08, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};

bool Untouched(const Bytes& output) {
    for (uint8_t b : output) {
        if (b != kFill) {
            return false;
        }
    }
    return true;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A member whose deflate data is the given stored blocks (the last one last).
Bytes StoredMember(const std::vector<Bytes>& blocks, Bytes* content) {
    BitWriter bw;
    content->clear();
    for (size_t i = 0; i < blocks.size(); i++) {
        bw.Stored(i + 1 == blocks.size(), blocks[i]);
        content->insert(content->end(), blocks[i].begin(), blocks[i].end());
    }
    return FrameMember(bw.Finish(), *content);
}

// A case whose outcome is fully known: result, output length, and either
// the expected leading output bytes or "untouched".
struct FramingCase {
    const char* name;
    Bytes input;
    uint32_t capacity;
    int result;
    uint32_t length;
    Bytes output;    // expected first bytes of the buffer
    bool untouched;  // the whole buffer still holds the filler
};

Bytes WithByte(Bytes b, size_t i, uint8_t v) {
    b[i] = v;
    return b;
}

// "ab", then a copy of 3 from distance 3: one byte before the chunk's first
// byte. Its trailer fits what taking that byte from a zeroed window would
// give, "ab", 0, "ab", so that only the distance itself can refuse it.
Bytes DistanceBeforeFirstByte() {
    BitWriter bw;
    bw.Header(true, 1);
    bw.FixedSymbol('a');
    bw.FixedSymbol('b');
    bw.FixedLength(3);
    bw.FixedDistance(3);
    bw.FixedSymbol(256);
    return FrameMember(bw.Finish(), Bytes{'a', 'b', 0, 'a', 'b'});
}

std::vector<FramingCase> FramingCases() {
    Bytes abc = {0x61, 0x62, 0x63};
    std::vector<FramingCase> c;
    c.push_back({"abc_capacity_equal_input", kAbcMember, 19, 8, 3, abc, false});
    c.push_back({"abc_capacity_large", kAbcMember, 4096, 8, 3, abc, false});
    c.push_back({"abc_capacity_one_below_input", kAbcMember, 18, -1, 18, {}, true});
    c.push_back({"abc_capacity_zero", kAbcMember, 0, -1, 0, {}, true});
    c.push_back({"empty_member_13", kEmptyMember, 13, 8, 0, {}, true});
    c.push_back({"empty_member_big", kEmptyMember, 1000, 8, 0, {}, true});
    c.push_back({"empty_input", {}, 64, -2, 0, {}, true});
    c.push_back({"two_bytes", {0x1F, 0x8B}, 64, -2, 0, {}, true});
    c.push_back({"length_6", {0x1F, 0x8B, 0x08, 0x03, 0x00, 0x00}, 64, -2, 0, {}, true});
    // Seven bytes reach the size decision: the last four claim 0x80000000.
    c.push_back({"length_7_size_decision",
                 {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x80},
                 64,
                 0,
                 0x80000000u,
                 {},
                 true});
    c.push_back(
        {"swapped_id", WithByte(WithByte(kAbcMember, 0, 0x8B), 1, 0x1F), 64, -2, 0, {}, true});
    c.push_back({"method_9", WithByte(kAbcMember, 2, 9), 64, -2, 0, {}, true});
    c.push_back({"method_7", WithByte(kAbcMember, 2, 7), 64, -2, 0, {}, true});
    c.push_back({"id1_wrong", WithByte(kAbcMember, 0, 0x1E), 64, -2, 0, {}, true});
    // Stored LEN 0 / NLEN FFFF adds nothing; NLEN 0 is refused.
    c.push_back({"stored_len0_valid",
                 FrameMember({0x01, 0x00, 0x00, 0xFF, 0xFF}, 0, 0),
                 64,
                 8,
                 0,
                 {},
                 true});
    c.push_back({"stored_len0_nlen0",
                 FrameMember({0x01, 0x00, 0x00, 0x00, 0x00}, 0, 0),
                 64,
                 -2,
                 0,
                 {},
                 true});
    c.push_back({"stored_nlen_off_by_one", WithByte(kAbcMember, 6, 0xFD), 64, -2, 0, {}, true});
    // Block type 3, last and not last.
    c.push_back({"block_type_3", FrameMember({0x07, 0x00}, 0, 0), 64, -2, 0, {}, true});
    c.push_back({"block_type_3_not_last", FrameMember({0x06, 0x00}, 0, 0), 64, -2, 0, {}, true});
    // Refused at the copy: nothing reaches the output, whatever the
    // window held before the chunk.
    c.push_back({"distance_before_first_byte", DistanceBeforeFirstByte(), 64, -2, 0, {}, true});
    // A byte after the trailer in the same load.
    c.push_back({"byte_after_trailer", Concat(kAbcMember, {0x00}), 64, -2, 3, abc, false});
    // Trailer mismatches alone: the content is delivered, the result fails.
    c.push_back({"crc_mismatch", WithByte(kAbcMember, 11, 0xC3), 64, -2, 3, abc, false});
    c.push_back({"isize_mismatch_larger", WithByte(kAbcMember, 15, 0x04), 64, -2, 3, abc, false});
    c.push_back({"isize_mismatch_smaller", WithByte(kAbcMember, 15, 0x02), 64, -2, 3, abc, false});
    // ISIZE one above the capacity (input length 19 < capacity 20 < 21).
    c.push_back({"isize_above_capacity",
                 FrameMember(Bytes(kAbcMember.begin() + 3, kAbcMember.end() - 8), 0x352441C2, 21),
                 20,
                 0,
                 21,
                 {},
                 true});
    // Input ending inside the trailer: one byte short. The last four bytes
    // are then 35 03 00 00 = 821; with capacity 1000 the trailer read runs
    // out, with capacity 820 the size decision refuses.
    Bytes short_by_one(kAbcMember.begin(), kAbcMember.end() - 1);
    c.push_back({"trailer_short_runs_out", short_by_one, 1000, -2, 3, abc, false});
    c.push_back({"trailer_short_too_small", short_by_one, 820, 0, 821, {}, true});
    c.push_back({"trailer_short_by_4", Bytes(kAbcMember.begin(), kAbcMember.end() - 4), 0xFFFFFFFFu,
                 -2, 3, abc, false});
    // Input ending inside the stored bytes: nothing was flushed. (A huge
    // capacity lets the size decision pass whatever the last bytes are.)
    c.push_back({"stored_truncated",
                 Bytes(kAbcMember.begin(), kAbcMember.begin() + 9),
                 0xFFFFFFFFu,
                 -2,
                 0,
                 {},
                 true});
    return c;
}

class FramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingTest, ResultLengthAndOutput) {
    const FramingCase& fc = GetParam();
    // A buffer of at most 4 KiB even for huge claimed capacities: the
    // sink never stores beyond the content, which is short here.
    size_t buffer = fc.capacity > 4096 ? 4096 : fc.capacity;
    testdata::Decoded d = Decode(fc.input, fc.capacity, buffer);
    EXPECT_EQ(d.result, fc.result);
    EXPECT_EQ(d.length, fc.length);
    if (fc.untouched) {
        EXPECT_TRUE(Untouched(d.output));
    } else {
        ASSERT_GE(d.output.size(), fc.output.size());
        EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + fc.output.size()), fc.output);
        EXPECT_TRUE(Untouched(Bytes(d.output.begin() + fc.output.size(), d.output.end())));
    }
}

INSTANTIATE_TEST_SUITE_P(Members, FramingTest, ::testing::ValuesIn(FramingCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A stored block that follows a fixed block in the same byte starts its
// LEN at the next byte boundary.
TEST(StoredBlock, AfterFixedBlockInSameByte) {
    BitWriter bw;
    bw.Header(false, 1);
    bw.FixedSymbol('x');
    bw.FixedSymbol(256);  // 3 + 8 + 7 = 18 bits: the stored header is in byte 2
    bw.Stored(true, {'y', 'z'});
    Bytes content = {'x', 'y', 'z'};
    testdata::Decoded d = Decode(FrameMember(bw.Finish(), content), 64);
    EXPECT_EQ(d.result, 8);
    ASSERT_EQ(d.length, 3u);
    EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + 3), content);
}

// A stored block whose LEN begins in the bit buffer: a dynamic block whose
// end-of-block code has 1 bit and whose longest code has 9 bits gathers 9
// bits before its end-of-block code and may keep 15, so for some bit
// positions a whole byte is still held when the stored block is aligned.
// The number of 2-bit literals before it moves the position around.
TEST(StoredBlock, FirstBytesFromBitBuffer) {
    for (unsigned lead = 0; lead < 8; lead++) {
        BitWriter bw;
        // End of block 1 bit, 'A' 2 bits, 'B' 3 bits ... 'H' and 'I' 9 bits.
        std::vector<unsigned> lit(257, 0);
        lit[256] = 1;
        for (unsigned i = 0; i < 8; i++) {
            lit['A' + i] = 2 + i;
        }
        lit['I'] = 9;
        std::vector<unsigned> all = lit;
        all.push_back(1);  // a single 1-bit distance code, never used
        CanonicalCode code(lit);
        WriteDynamicHeader(bw, false, 0, 0, 15, AllClLengths(), PlainSequence(all));
        Bytes content;
        for (unsigned i = 0; i < lead; i++) {
            code.Write(bw, 'A');
            content.push_back('A');
        }
        code.Write(bw, 256);
        Bytes stored = testdata::RandomBytes(100 + lead, lead);
        bw.Stored(true, stored);
        content.insert(content.end(), stored.begin(), stored.end());
        testdata::Decoded d = Decode(FrameMember(bw.Finish(), content), 1024);
        EXPECT_EQ(d.result, 8) << lead;
        ASSERT_EQ(d.length, content.size()) << lead;
        EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + d.length), content) << lead;
    }
}

// Content longer than the capacity, in a member whose trailer ends exactly
// at the end of the first 32,768-byte load and whose last four input bytes
// (after the trailer) claim a small size: the sink stores the first
// capacity bytes and counts the rest.
Bytes BoundaryMember(size_t zeros, const Bytes& tail, size_t shorten, Bytes* content) {
    BitWriter bw;
    bw.Header(false, 1);
    bw.FixedSymbol(0);
    size_t left = zeros - 1;
    while (left >= 258) {
        bw.FixedLength(258);
        bw.FixedDistance(1);
        left -= 258;
    }
    for (; left > 0; left--) {
        bw.FixedSymbol(0);
    }
    bw.FixedSymbol(256);
    // The stored block's 3 header bits end the partial byte (or spill into
    // one more when fewer than 3 bits are free); its LEN starts after that.
    size_t before_len = 3 + bw.bytes.size() + (bw.count > 5 ? 2 : 1);
    size_t stored_len = 32768 - before_len - 4 - 8 - shorten;
    Bytes stored = testdata::RandomBytes(stored_len, 77);
    bw.Stored(true, stored);
    Bytes deflate = bw.Finish();
    content->assign(zeros, 0);
    content->insert(content->end(), stored.begin(), stored.end());
    Bytes member = FrameMember(deflate, *content);
    member.insert(member.end(), tail.begin(), tail.end());
    return member;
}

TEST(EndTest, TrailerAtLoadBoundaryWithMoreInput) {
    Bytes content;
    Bytes member = BoundaryMember(1, {0, 0, 0, 0}, 0, &content);
    ASSERT_EQ(member.size(), 32768u + 4);
    testdata::Decoded d = Decode(member, static_cast<uint32_t>(member.size()));
    EXPECT_EQ(d.result, 8);
    ASSERT_EQ(d.length, content.size());
    EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + d.length), content);
}

TEST(EndTest, ContentLongerThanCapacity) {
    Bytes content;
    Bytes member = BoundaryMember(100000, {1, 0, 0, 0}, 0, &content);
    ASSERT_EQ(member.size(), 32768u + 4);
    uint32_t capacity = static_cast<uint32_t>(member.size());
    testdata::Decoded d = Decode(member, capacity);
    EXPECT_EQ(d.result, -2);
    EXPECT_EQ(d.length, content.size());
    EXPECT_EQ(d.output, Bytes(content.begin(), content.begin() + capacity));
}

// The same member one byte shorter: now the trailer ends inside the load
// and the first byte after it is examined.
TEST(EndTest, TrailerOneBeforeBoundaryFails) {
    Bytes content;
    Bytes member = BoundaryMember(1, {0, 0, 0, 0}, 1, &content);
    ASSERT_EQ(member.size(), 32767u + 4);
    testdata::Decoded d = Decode(member, static_cast<uint32_t>(member.size()));
    EXPECT_EQ(d.result, -2);
    EXPECT_EQ(d.length, content.size());
}

// ISIZE equal to the capacity is accepted (content compresses well).
TEST(SizeDecision, IsizeEqualToCapacity) {
    Bytes content(200, 'a');
    Bytes member = FrameMember(testdata::ZlibDeflateRaw(content, 9, 0), content);
    ASSERT_LT(member.size(), 200u);
    testdata::Decoded d = Decode(member, 200);
    EXPECT_EQ(d.result, 8);
    EXPECT_EQ(d.length, 200u);
    EXPECT_EQ(d.output, content);
    testdata::Decoded small = Decode(member, 199);
    EXPECT_EQ(small.result, 0);
    EXPECT_EQ(small.length, 200u);
    EXPECT_TRUE(Untouched(small.output));
}

// Content of exactly one window, and one byte either side, stored or coded.
TEST(WindowFlush, ContentAroundOneWindow) {
    for (size_t n : {32767u, 32768u, 32769u, 65536u}) {
        Bytes content = testdata::RandomBytes(n, static_cast<uint32_t>(n));
        for (int level : {0, 6}) {
            Bytes member = FrameMember(testdata::ZlibDeflateRaw(content, level, 0), content);
            uint32_t capacity = static_cast<uint32_t>(member.size() + 10);
            testdata::Decoded d = Decode(member, capacity);
            EXPECT_EQ(d.result, 8) << n << " " << level;
            ASSERT_EQ(d.length, n);
            EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + n), content);
        }
    }
}

// ---- Stored blocks against a byte-at-a-time model ----------------------

// The stored-only decoder as the byte-at-a-time description gives it:
// 32,768-byte input loads, every stored byte through the bit buffer.
struct ModelOutcome {
    int result;
    uint32_t length;
    Bytes stored;  // bytes the sink stored
};

ModelOutcome ModelStoredDecode(const Bytes& in, uint32_t capacity) {
    struct M {
        const Bytes& in;
        uint32_t capacity;
        size_t src = 0;
        uint8_t buf[32768] = {};
        uint32_t fill = 0, pos = 0;
        int error = 0;
        uint32_t bb = 0, bc = 0;
        uint8_t window[32768] = {};
        uint32_t w = 0, total = 0, count = 0;
        Bytes stored = {};
        uint32_t Next() {
            if (pos < fill) {
                return buf[pos++];
            }
            fill = 0;
            while (src < in.size() && fill < 32768) {
                buf[fill++] = in[src++];
            }
            if (fill == 0) {
                error = 1;
                fill = 1;
                buf[0] = 0;
            }
            pos = 1;
            return buf[0];
        }
        void Ensure(uint32_t n) {
            while (bc < n) {
                bb |= Next() << bc;
                bc += 8;
            }
        }
        void Drop(uint32_t n) {
            bb >>= n;
            bc -= n;
        }
        void Flush() {
            if (w == 0) {
                return;
            }
            for (uint32_t i = 0; i < w; i++) {
                if (count + i < capacity) {
                    stored.push_back(window[i]);
                }
            }
            count += w;
            total += w;
            w = 0;
        }
    } m{in, capacity};
    if (capacity < in.size()) {
        return {-1, capacity, {}};
    }
    uint32_t id1 = m.Next(), id2 = m.Next(), method = m.Next();
    if (m.error || id1 != 0x1F || id2 != 0x8B || method != 8 || in.size() < 7) {
        return {-2, 0, {}};
    }
    uint32_t claimed = in[in.size() - 4] | in[in.size() - 3] << 8 | in[in.size() - 2] << 16 |
                       static_cast<uint32_t>(in[in.size() - 1]) << 24;
    if (claimed > capacity) {
        return {0, claimed, {}};
    }
    auto fail = [&] { return ModelOutcome{-2, m.count, m.stored}; };
    for (;;) {
        m.Ensure(1);
        if (m.error) {
            return fail();
        }
        uint32_t last = m.bb & 1;
        m.Drop(1);
        m.Ensure(2);
        if (m.error) {
            return fail();
        }
        uint32_t type = m.bb & 3;
        m.Drop(2);
        if (type != 0) {
            return fail();  // the model knows stored blocks only
        }
        m.Drop(m.bc & 7);
        m.Ensure(16);
        if (m.error) {
            return fail();
        }
        uint32_t len = m.bb & 0xFFFF;
        m.Drop(16);
        m.Ensure(16);
        if (m.error) {
            return fail();
        }
        if ((m.bb & 0xFFFF) != (len ^ 0xFFFF)) {
            return fail();
        }
        m.Drop(16);
        for (uint32_t i = 0; i < len; i++) {
            m.Ensure(8);
            if (m.error) {
                return fail();
            }
            m.window[m.w++] = static_cast<uint8_t>(m.bb);
            if (m.w == 32768) {
                m.Flush();
            }
            m.Drop(8);
        }
        if (last) {
            break;
        }
    }
    while (m.bc >= 8) {
        m.bc -= 8;
        m.pos--;
    }
    m.Flush();
    uint8_t t[8];
    for (auto& x : t) {
        x = static_cast<uint8_t>(m.Next());
    }
    if (m.error) {
        return fail();
    }
    Bytes content_crc_source = m.stored;  // content equals stored when it fits
    uint32_t crc = t[0] | t[1] << 8 | t[2] << 16 | static_cast<uint32_t>(t[3]) << 24;
    uint32_t isize = t[4] | t[5] << 8 | t[6] << 16 | static_cast<uint32_t>(t[7]) << 24;
    if (m.count <= capacity && crc != testdata::Crc32(content_crc_source)) {
        return fail();
    }
    if (isize != m.total || m.pos != m.fill || m.count > capacity) {
        return fail();
    }
    return {8, m.count, m.stored};
}

struct StoredShape {
    const char* name;
    std::vector<size_t> blocks;  // stored block sizes
};

const StoredShape kStoredShapes[] = {
    {"one_small", {10}},
    {"one_window", {32768}},
    {"crosses_load", {32760}},  // member data crosses the first load
    {"exactly_load_minus_header", {32752}},
    {"two_crossing_window", {20000, 20000}},
    {"many_small", {1, 0, 3, 65535, 2, 7}},
    {"max_blocks", {65535, 65535, 65535}},
    {"load_boundary_in_len", {32755, 5}},  // the second LEN straddles the load end
    {"window_then_load", {32768, 32768, 1}},
};

class StoredModelTest : public ::testing::TestWithParam<StoredShape> {};

// Whole members, members cut at many points, and a flipped NLEN: result,
// output length and stored bytes agree with the model.
TEST_P(StoredModelTest, AgreesWithByteModel) {
    const StoredShape& shape = GetParam();
    std::vector<Bytes> blocks;
    uint32_t seed = 1;
    for (size_t n : shape.blocks) {
        blocks.push_back(testdata::RandomBytes(n, seed++));
    }
    Bytes content;
    Bytes member = StoredMember(blocks, &content);
    std::vector<size_t> cuts = {member.size()};
    for (size_t back = 1; back <= 12 && back < member.size(); back++) {
        cuts.push_back(member.size() - back);  // inside the trailer and just before
    }
    for (size_t i = 0; i < 40; i++) {
        cuts.push_back(member.size() * i / 40);
    }
    for (size_t boundary : {32767u, 32768u, 32769u, 65536u, 65537u}) {
        if (boundary < member.size()) {
            cuts.push_back(boundary);
        }
    }
    for (size_t cut : cuts) {
        Bytes input(member.begin(), member.begin() + cut);
        for (uint32_t extra : {0u, 100000u}) {
            uint32_t capacity = static_cast<uint32_t>(input.size()) + extra;
            ModelOutcome expect = ModelStoredDecode(input, capacity);
            testdata::Decoded d = Decode(input, capacity);
            ASSERT_EQ(d.result, expect.result) << "cut " << cut;
            ASSERT_EQ(d.length, expect.length) << "cut " << cut;
            ASSERT_EQ(Bytes(d.output.begin(), d.output.begin() + expect.stored.size()),
                      expect.stored)
                << "cut " << cut;
            EXPECT_TRUE(Untouched(Bytes(d.output.begin() + expect.stored.size(), d.output.end())));
        }
    }
    // Full member decodes to the content.
    testdata::Decoded full = Decode(member, static_cast<uint32_t>(member.size()));
    EXPECT_EQ(full.result, 8);
    EXPECT_EQ(Bytes(full.output.begin(), full.output.begin() + full.length), content);
}

INSTANTIATE_TEST_SUITE_P(Shapes, StoredModelTest, ::testing::ValuesIn(kStoredShapes),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
