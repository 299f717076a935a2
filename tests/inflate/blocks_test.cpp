// Fixed and dynamic Huffman-coded blocks on hand-made streams: invalid
// symbols, header counts, code-length repeats, incomplete and single-code
// codes, long and far copies, window splits, truncation, and the refusals
// of missing tables and of distances before the chunk's first byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "bitwriter.h"
#include "inflate/state.h"
#include "testdata.h"

using testdata::Bytes;

namespace {

struct BlockRun {
    int result;      // DecodeBlocks' result
    uint32_t error;  // the sticky flag afterwards
    Bytes output;    // bytes flushed (all of them: the sink has room)
};

// Runs DecodeBlocks over raw deflate data, set up as DecodeMember sets up a
// chunk, with an output buffer large enough for everything flushed.
BlockRun RunBlocks(const Bytes& deflate, uint32_t capacity = 1 << 20) {
    std::unique_ptr<InflateState, decltype(&std::free)> s(
        static_cast<InflateState*>(std::calloc(1, sizeof(InflateState))), &std::free);
    Bytes out(capacity);
    s->in_data = deflate.data();
    s->in_len = static_cast<uint32_t>(deflate.size());
    s->out_data = out.data();
    s->out_capacity = capacity;
    s->lit_lookup_bits = 9;
    s->dist_lookup_bits = 6;
    UpdateCrc32(s.get(), nullptr, 0);
    BlockRun r;
    r.result = DecodeBlocks(s.get());
    r.error = s->error;
    out.resize(s->out_count < capacity ? s->out_count : capacity);
    r.output = out;
    return r;
}

// A complete literal/length code over symbols 0..last_symbol (256 or
// more): 2k symbols at 9 bits and the rest at 8, k = last_symbol - 255.
std::vector<unsigned> FullLitLengths(unsigned last_symbol) {
    unsigned count = last_symbol + 1;
    unsigned k = count - 256;  // symbols beyond 256 literals
    std::vector<unsigned> l(count, 8);
    for (unsigned s = 0; s < 2 * k; s++) {
        l[s] = 9;
    }
    return l;
}

struct BlockCase {
    const char* name;
    Bytes deflate;
    int result;
    uint32_t error;
    Bytes output;  // expected output when result 0 and no error
};

Bytes Fixed(const std::vector<unsigned>& symbols, bool end = true) {
    BitWriter bw;
    bw.Header(true, 1);
    for (unsigned s : symbols) {
        bw.FixedSymbol(s);
    }
    if (end) {
        bw.FixedSymbol(256);
    }
    return bw.Finish();
}

Bytes FixedWithDistSymbol(unsigned dist_sym) {
    BitWriter bw;
    bw.Header(true, 1);
    bw.FixedSymbol('a');
    bw.FixedSymbol('b');
    bw.FixedSymbol(257);           // length 3
    bw.FixedDistSymbol(dist_sym);  // symbol 0: distance 1, no extra bits
    bw.FixedSymbol(256);
    return bw.Finish();
}

// A dynamic header with raw count fields and nothing after it.
Bytes HeaderOnly(unsigned hlit, unsigned hdist) {
    BitWriter bw;
    bw.Header(true, 2);
    bw.Bits(hlit, 5);
    bw.Bits(hdist, 5);
    bw.Bits(15, 4);
    return bw.Finish();
}

// A dynamic block with the given code-length sequence; then, when lit (the
// literal/length lengths that the sequence spells) is given, the literals
// and the end-of-block code.
Bytes DynamicWithSequence(unsigned hlit, unsigned hdist, const std::vector<LengthItem>& seq,
                          const std::vector<unsigned>& lit, const Bytes& literals) {
    BitWriter bw;
    WriteDynamicHeader(bw, true, hlit, hdist, 15, AllClLengths(), seq);
    if (!lit.empty()) {
        CanonicalCode lc(lit);
        for (uint8_t b : literals) {
            lc.Write(bw, b);
        }
        lc.Write(bw, 256);
    }
    return bw.Finish();
}

std::vector<LengthItem> Seq(std::vector<LengthItem> a, const std::vector<LengthItem>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<BlockCase> BlockCases() {
    std::vector<BlockCase> c;
    // Fixed symbols that no valid stream uses.
    c.push_back({"fixed_lit_286", Fixed({'a', 286}), 1, 0, {}});
    c.push_back({"fixed_lit_287", Fixed({'a', 287}), 1, 0, {}});
    c.push_back({"fixed_dist_30", FixedWithDistSymbol(30), 1, 0, {}});
    c.push_back({"fixed_dist_31", FixedWithDistSymbol(31), 1, 0, {}});
    c.push_back({"fixed_dist_0", FixedWithDistSymbol(0), 0, 0, {'a', 'b', 'b', 'b', 'b'}});
    // Header counts above 286 / 30, refused before any length is read (the
    // input ends right after the header, so reading on would set the flag).
    c.push_back({"hlit_30", HeaderOnly(30, 0), 1, 0, {}});
    c.push_back({"hlit_31", HeaderOnly(31, 0), 1, 0, {}});
    c.push_back({"hdist_30", HeaderOnly(0, 30), 1, 0, {}});
    c.push_back({"hdist_31", HeaderOnly(0, 31), 1, 0, {}});
    c.push_back({"hlit_29_hdist_29_reads_on", HeaderOnly(29, 29), 0, 1, {}});

    std::vector<unsigned> lit = FullLitLengths(256);
    std::vector<LengthItem> lit_seq = PlainSequence(lit);
    // Code 16 as the first length repeats 0: symbols 0..2 get no code;
    // 3, 4 at 7 bits, 5..255 at 8, 256, 257 at 9 make a complete code.
    {
        std::vector<unsigned> l(258, 8);
        l[0] = l[1] = l[2] = 0;
        l[3] = l[4] = 7;
        l[256] = l[257] = 9;
        std::vector<LengthItem> seq = {{16, 0}};
        for (size_t i = 3; i < l.size(); i++) {
            seq.push_back({l[i], 0});
        }
        seq.push_back({1, 0});  // the one distance length
        c.push_back({"repeat16_first",
                     DynamicWithSequence(1, 0, seq, l, {'d', 'e', 3}),
                     0,
                     0,
                     {'d', 'e', 3}});
    }
    // A 16 right after 17 (or 18) repeats 0, not the length before the run:
    // were it to repeat 8, three more 8-bit codes would over-subscribe the
    // code. After 17: 0 at 8 bits, 1..6 none, 7, 8, 256, 257 at 7 bits,
    // 9..255 at 8 bits.
    {
        std::vector<unsigned> l(258, 8);
        for (int i = 1; i <= 6; i++) {
            l[i] = 0;
        }
        l[7] = l[8] = l[256] = l[257] = 7;
        std::vector<LengthItem> seq = {{8, 0}, {17, 0}, {16, 0}};
        for (size_t i = 7; i < l.size(); i++) {
            seq.push_back({l[i], 0});
        }
        seq.push_back({1, 0});
        c.push_back(
            {"repeat16_after_17", DynamicWithSequence(1, 0, seq, l, {0, 7, 9}), 0, 0, {0, 7, 9}});
        // After 18: 0 at 8 bits, 1..14 none (11 from 18, 3 from 16),
        // 15..24, 256, 257 at 7 bits, 25..255 at 8 bits.
        std::vector<unsigned> l18(258, 8);
        for (int i = 1; i <= 14; i++) {
            l18[i] = 0;
        }
        for (int i = 15; i <= 24; i++) {
            l18[i] = 7;
        }
        l18[256] = l18[257] = 7;
        std::vector<LengthItem> seq18 = {{8, 0}, {18, 0}, {16, 0}};
        for (size_t i = 15; i < l18.size(); i++) {
            seq18.push_back({l18[i], 0});
        }
        seq18.push_back({1, 0});
        c.push_back({"repeat16_after_18",
                     DynamicWithSequence(1, 0, seq18, l18, {0, 15, 200}),
                     0,
                     0,
                     {0, 15, 200}});
    }
    // Repeats at the end of the lengths: 257 literal/length lengths, then
    // 30 distance lengths 1, 1 and 28 zeros from one 18. Ending exactly at
    // the last length is fine; one more fails.
    {
        std::vector<LengthItem> base = lit_seq;
        base.push_back({1, 0});
        base.push_back({1, 0});
        c.push_back({"repeat_ends_at_last",
                     DynamicWithSequence(0, 29, Seq(base, {{18, 28 - 11}}), lit, {'q'}),
                     0,
                     0,
                     {'q'}});
        c.push_back({"repeat_one_past",
                     DynamicWithSequence(0, 29, Seq(base, {{18, 29 - 11}}), {}, {}),
                     1,
                     0,
                     {}});
        // A run crossing from the literal/length into the distance lengths:
        // a 17 gives symbol 257 and distances 0, 1 length 0; distances 2, 3
        // have 1 bit.
        std::vector<unsigned> lit258 = lit;
        lit258.push_back(0);
        c.push_back(
            {"repeat_crosses_into_distances",
             DynamicWithSequence(1, 3, Seq(lit_seq, {{17, 0}, {1, 0}, {1, 0}}), lit258, {'x', 'y'}),
             0,
             0,
             {'x', 'y'}});
        // A 16 among the distance lengths: four 1-bit codes.
        c.push_back({"oversubscribed_distance",
                     DynamicWithSequence(0, 3, Seq(lit_seq, {{1, 0}, {16, 0}}), {}, {}),
                     2,
                     0,
                     {}});
    }
    // Over-subscribed and incomplete literal/length codes.
    {
        std::vector<unsigned> over(257, 8);  // 257 codes of 8 bits
        c.push_back({"oversubscribed_lit",
                     DynamicWithSequence(0, 0, Seq(PlainSequence(over), {{1, 0}}), {}, {}),
                     2,
                     0,
                     {}});
        std::vector<unsigned> incomplete(257, 9);
        c.push_back({"incomplete_lit",
                     DynamicWithSequence(0, 0, Seq(PlainSequence(incomplete), {{1, 0}}), {}, {}),
                     1,
                     0,
                     {}});
        std::vector<unsigned> zeros(257, 0);
        c.push_back({"all_zero_lit",
                     DynamicWithSequence(0, 0, Seq(PlainSequence(zeros), {{1, 0}}), {}, {}),
                     1,
                     0,
                     {}});
        c.push_back({"incomplete_distance",
                     DynamicWithSequence(
                         1, 1, Seq(PlainSequence(FullLitLengths(257)), {{2, 0}, {2, 0}}), {}, {}),
                     1,
                     0,
                     {}});
    }
    // The code-length code: all zero, incomplete, over-subscribed, and a
    // single 1-bit code (accepted: with symbol 8 every length becomes 8 and
    // the literal/length code is over-subscribed, result 2; meeting its
    // other pattern first gives 1).
    {
        auto cl_block = [](const std::vector<unsigned>& cl, const std::vector<unsigned>& bits) {
            BitWriter bw;
            bw.Header(true, 2);
            bw.Bits(0, 5);
            bw.Bits(0, 5);
            bw.Bits(15, 4);
            for (unsigned i = 0; i < 19; i++) {
                bw.Bits(cl[kCodeLengthOrder[i]], 3);
            }
            for (unsigned b : bits) {
                bw.Bits(b, 1);
            }
            return bw.Finish();
        };
        std::vector<unsigned> single(19, 0);
        single[8] = 1;
        c.push_back({"cl_single_code", cl_block(single, std::vector<unsigned>(258, 0)), 2, 0, {}});
        c.push_back({"cl_single_other_pattern", cl_block(single, {0, 0, 1}), 1, 0, {}});
        c.push_back({"cl_all_zero", cl_block(std::vector<unsigned>(19, 0), {}), 1, 0, {}});
        std::vector<unsigned> two(19, 0);
        two[8] = 2;
        c.push_back({"cl_incomplete", cl_block(two, {}), 1, 0, {}});
        std::vector<unsigned> three(19, 0);
        three[0] = three[8] = three[9] = 1;
        c.push_back({"cl_oversubscribed", cl_block(three, {}), 2, 0, {}});
    }
    // Truncation inside blocks: result 0 with the flag set.
    {
        Bytes fixed = Fixed({'a', 'b', 'c'});
        c.push_back({"fixed_truncated", Bytes(fixed.begin(), fixed.end() - 1), 0, 1, {}});
        c.push_back({"fixed_no_end", Fixed({'a', 'b', 'c'}, false), 0, 1, {}});
        Bytes dyn = DynamicWithSequence(0, 0, Seq(lit_seq, {{1, 0}}), lit, {'a', 'b'});
        c.push_back({"dynamic_ok", dyn, 0, 0, {'a', 'b'}});
        c.push_back({"dynamic_truncated_in_data", Bytes(dyn.begin(), dyn.end() - 1), 0, 1, {}});
        c.push_back(
            {"dynamic_truncated_in_lengths", Bytes(dyn.begin(), dyn.begin() + 20), 0, 1, {}});
        c.push_back({"dynamic_truncated_in_cl", Bytes(dyn.begin(), dyn.begin() + 4), 0, 1, {}});
    }
    return c;
}

class BlockCaseTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockCaseTest, ResultFlagAndOutput) {
    const BlockCase& bc = GetParam();
    BlockRun r = RunBlocks(bc.deflate);
    EXPECT_EQ(r.result, bc.result);
    EXPECT_EQ(r.error, bc.error);
    if (bc.result == 0 && bc.error == 0) {
        EXPECT_EQ(r.output, bc.output);
    }
    // Through DecodeChunk every failure is -2.
    Bytes content = bc.output;
    testdata::Decoded d = testdata::Decode(testdata::FrameMember(bc.deflate, content), 1 << 16);
    EXPECT_EQ(d.result, bc.result == 0 && bc.error == 0 ? 8 : -2);
}

INSTANTIATE_TEST_SUITE_P(Blocks, BlockCaseTest, ::testing::ValuesIn(BlockCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Copies, checked against content built alongside the stream --------

// A fixed-code stream written together with the content it decodes to.
struct FixedScript {
    BitWriter bw;
    Bytes content;
    void Begin(bool last) {
        bw.Header(last, 1);
    }
    void Literal(uint8_t b) {
        bw.FixedSymbol(b);
        content.push_back(b);
    }
    void Literals(const Bytes& bytes) {
        for (uint8_t b : bytes) {
            Literal(b);
        }
    }
    void Match(unsigned length, unsigned distance) {
        bw.FixedLength(length);
        bw.FixedDistance(distance);
        for (unsigned i = 0; i < length; i++) {
            uint8_t b = content[content.size() - distance];
            content.push_back(b);
        }
    }
    void End() {
        bw.FixedSymbol(256);
    }
    Bytes Member() {
        return testdata::FrameMember(bw.Finish(), content);
    }
};

struct CopyCase {
    const char* name;
    size_t lead;                                         // random literals before the matches
    std::vector<std::pair<unsigned, unsigned>> matches;  // length, distance
    int rounds;                                          // times the matches repeat
};

const CopyCase kCopyCases[] = {
    {"distance1_length258", 1, {{258, 1}}, 1},
    {"distance2_overlap", 2, {{258, 2}, {3, 2}}, 1},
    {"distance_equals_length", 10, {{10, 10}}, 1},
    {"distance_32768", 32768 + 100, {{258, 32768}, {3, 32768}}, 1},
    {"distance_32768_at_window_start", 32768, {{3, 32768}, {258, 32768}}, 1},
    {"split_at_window_end_destination", 32768 - 10, {{100, 200}}, 1},
    {"split_at_window_end_source", 32768 + 5, {{258, 100}}, 1},
    {"split_overlapping_run", 32768 - 3, {{258, 1}, {258, 7}}, 1},
    {"long_runs_many_windows", 30000, {{258, 300}, {258, 1}, {258, 3000}, {258, 30000}}, 300},
    // The second match reads the old bytes just past the end of the first.
    {"far_read_just_past_a_copy", 32768 + 100, {{10, 1000}, {20, 32768 - 5}}, 3000},
};

class CopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyTest, DecodesToScriptContent) {
    const CopyCase& cc = GetParam();
    FixedScript fs;
    fs.Begin(true);
    fs.Literals(testdata::RandomBytes(cc.lead, 5));
    for (int round = 0; round < cc.rounds; round++) {
        for (auto [length, distance] : cc.matches) {
            fs.Match(length, distance);
        }
    }
    fs.End();
    Bytes member = fs.Member();
    uint32_t capacity = static_cast<uint32_t>(std::max(fs.content.size(), member.size()) + 64);
    testdata::Decoded d = testdata::Decode(member, capacity);
    EXPECT_EQ(d.result, 8);
    ASSERT_EQ(d.length, fs.content.size());
    EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + d.length), fs.content);
}

INSTANTIATE_TEST_SUITE_P(Copies, CopyTest, ::testing::ValuesIn(kCopyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A distance may reach back exactly to the chunk's first byte, also from a
// later block, but not one byte further: the window holds no content of
// this chunk there.
TEST(Distance, BeyondProducedOutputFails) {
    struct Case {
        size_t first_block;   // literals in a first, not last, block
        size_t second_block;  // literals at the start of the last block
        unsigned distance;
        int result;
    } cases[] = {
        {0, 1, 1, 8},  {0, 1, 2, -2}, {0, 2, 2, 8},  {0, 5, 6, -2},       {5, 0, 5, 8},
        {5, 0, 6, -2}, {3, 2, 5, 8},  {3, 2, 6, -2}, {0, 100, 32768, -2}, {40000, 0, 32768, 8},
    };
    for (const Case& c : cases) {
        FixedScript fs;
        Bytes lit = testdata::RandomBytes(c.first_block + c.second_block, 11);
        if (c.first_block > 0) {
            fs.Begin(false);
            fs.Literals(Bytes(lit.begin(), lit.begin() + c.first_block));
            fs.End();
        }
        fs.Begin(true);
        fs.Literals(Bytes(lit.begin() + c.first_block, lit.end()));
        if (c.distance <= fs.content.size()) {
            fs.Match(3, c.distance);
        } else {
            fs.bw.FixedLength(3);
            fs.bw.FixedDistance(c.distance);
        }
        fs.End();
        Bytes deflate = fs.bw.Finish();
        testdata::Decoded d = testdata::Decode(testdata::FrameMember(deflate, fs.content), 1 << 17);
        EXPECT_EQ(d.result, c.result)
            << c.first_block << " " << c.second_block << " " << c.distance;
        if (c.result == 8) {
            EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + d.length), fs.content);
        } else {
            // The block itself refuses the distance, even over a zeroed
            // window whose bytes a trailer could match.
            EXPECT_EQ(RunBlocks(deflate).result, BLOCK_INVALID) << c.distance;
        }
    }
}

// Dynamic blocks around the distance code: none at all (every distance
// length 0) with literals only, or with a length symbol met; a single
// 1-bit distance code, used with its own pattern or with the other one.
TEST(DistanceCode, MissingAndSingleCodes) {
    struct Case {
        const char* name;
        unsigned dist_length;   // length of the one distance code (0: none)
        bool use_match;         // write length 3 (symbol 257) after "ab"
        unsigned dist_pattern;  // the distance bit written
        int result;
        const char* content;
    } cases[] = {
        {"literals_without_distance_code", 0, false, 0, 8, "ab"},
        {"length_without_distance_code", 0, true, 0, -2, ""},
        {"single_code_own_pattern", 1, true, 0, 8, "abbbb"},
        {"single_code_other_pattern", 1, true, 1, -2, ""},
    };
    for (const Case& c : cases) {
        BitWriter bw;
        std::vector<unsigned> lit = FullLitLengths(257);
        std::vector<unsigned> all = lit;
        all.push_back(c.dist_length);
        WriteDynamicHeader(bw, true, 1, 0, 15, AllClLengths(), PlainSequence(all));
        CanonicalCode lc(lit);
        lc.Write(bw, 'a');
        lc.Write(bw, 'b');
        if (c.use_match) {
            lc.Write(bw, 257);
            bw.Bits(c.dist_pattern, 1);
        }
        lc.Write(bw, 256);
        Bytes content(c.content, c.content + std::char_traits<char>::length(c.content));
        Bytes member = testdata::FrameMember(bw.Finish(), content);
        testdata::Decoded d = testdata::Decode(member, 1024);
        EXPECT_EQ(d.result, c.result) << c.name;
        if (c.result == 8) {
            EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + d.length), content) << c.name;
        }
    }
}

// Input ending inside a coded block after a full window was flushed: -2,
// with the flushed window delivered and counted.
TEST(Truncation, InsideBlockAfterFlush) {
    FixedScript fs;
    fs.Begin(true);
    fs.Literals(testdata::RandomBytes(40000, 3));
    fs.End();
    Bytes deflate = fs.bw.Finish();
    Bytes cut(deflate.begin(), deflate.begin() + deflate.size() - 1000);
    // No trailer: a capacity of 2^32 - 1 lets the size decision pass
    // whatever the last bytes are (the sink stores only decoded bytes).
    Bytes member = {0x1F, 0x8B, 0x08};
    member.insert(member.end(), cut.begin(), cut.end());
    testdata::Decoded d = testdata::Decode(member, 0xFFFFFFFFu, 1 << 17);
    EXPECT_EQ(d.result, -2);
    EXPECT_EQ(d.length, 32768u);
    EXPECT_EQ(Bytes(d.output.begin(), d.output.begin() + 32768),
              Bytes(fs.content.begin(), fs.content.begin() + 32768));
}

}  // namespace
