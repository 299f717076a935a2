// Files that go on in continuation records: the link rule on a table of
// record pairs, and the extractor writing such a file as one file with one
// progress step. The members are one byte each, so a full record is small.
// Runs natively and under Wine, against the real API.
#include "payload_files.h"
#include "workspace/files.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

// A record before and a record after it, each built from a few fields.
struct RecordShape {
    int64_t place;  // -1: a named first record
    int32_t chunk_count;
};

struct LinkCase {
    const char* label;
    bool after_stub;  // the record follows entry 0: no record before it
    RecordShape previous, record;
    uint8_t stray;  // written into the name byte after the place
    RecordLink expected;
};

PayloadEntry Record(const RecordShape& shape) {
    PayloadEntry entry;
    std::memset(&entry, 0, sizeof entry);
    std::strcpy(entry.name, "big.bin");
    if (shape.place >= 0) {
        MarkContinuation(&entry, static_cast<uint32_t>(shape.place));
    }
    entry.chunk_count = shape.chunk_count;
    return entry;
}

const LinkCase LINK_CASES[] = {
    {"Named", false, {-1, 96}, {-1, 5}, 0, LINK_FIRST},
    {"NamedAfterStub", true, {}, {-1, 96}, 0, LINK_FIRST},
    {"FirstContinuation", false, {-1, 96}, {1, 1}, 0, LINK_CONTINUES},
    {"SecondContinuation", false, {1, 96}, {2, 96}, 0, LINK_CONTINUES},
    {"AfterStub", true, {}, {1, 1}, 0, LINK_AFTER_STUB},
    {"AfterPartial", false, {-1, 95}, {1, 1}, 0, LINK_AFTER_PARTIAL},
    {"AfterPartialContinuation", false, {1, 3}, {2, 1}, 0, LINK_AFTER_PARTIAL},
    {"PlaceRepeated", false, {1, 96}, {1, 1}, 0, LINK_OUT_OF_PLACE},
    {"PlaceSkipped", false, {-1, 96}, {2, 1}, 0, LINK_OUT_OF_PLACE},
    {"PlaceZero", false, {-1, 96}, {0, 1}, 0, LINK_OUT_OF_PLACE},
    {"PlaceWrapsToZero", false, {0xFFFFFFFF, 96}, {0, 1}, 0, LINK_OUT_OF_PLACE},
    {"NoChunks", false, {-1, 96}, {1, 0}, 0, LINK_NO_CHUNKS},
    {"NegativeChunks", false, {-1, 96}, {1, -1}, 0, LINK_NO_CHUNKS},
    {"Over96Chunks", false, {-1, 96}, {1, 97}, 0, LINK_NO_CHUNKS},
    {"StrayByte", false, {-1, 96}, {1, 1}, 'x', LINK_STRAY_BYTES},
};

class LinkRule : public testing::TestWithParam<LinkCase> {};

TEST_P(LinkRule, ClassifiesTheRecord) {
    const LinkCase& c = GetParam();
    PayloadEntry previous = Record(c.previous);
    PayloadEntry record = Record(c.record);
    record.name[PAYLOAD_NAME_SIZE - 1] = static_cast<char>(c.stray);
    EXPECT_EQ(RecordLinkOf(c.after_stub ? nullptr : &previous, &record), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Pairs, LinkRule, testing::ValuesIn(LINK_CASES),
                         [](const testing::TestParamInfo<LinkCase>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace

// setup.exe, a file over two records, a last file: three files, three steps.
TEST(ExtractContinued, OneFileOneStepWrittenInOrder) {
    TempFolder dest, work;
    Bytes big, last = RandomBytes(10, 5), setup = RandomBytes(7, 6);
    std::vector<FileSpec> files = ContinuedFile("big.jvs", 3, 1, 4, &big);
    files.insert(files.begin(), StoredFile("a.exe", setup));
    files.push_back(StoredFile("z.txt", last));
    WriteFile(work.path / "launcher.exe", BuildPayload(RandomBytes(3000, 1), files));
    g_reports.clear();
    ASSERT_EQ(ExtractPayloadFile((work.path / "launcher.exe").string().c_str(), dest.Text().c_str(),
                                 RecordProgress, nullptr),
              1);
    EXPECT_EQ(ReadFile(dest.path / "a.exe"), setup);
    EXPECT_EQ(ReadFile(dest.path / "big.jvs"), big);
    EXPECT_EQ(ReadFile(dest.path / "Style" / "big.jvs"), big);
    EXPECT_EQ(ReadFile(dest.path / "z.txt"), last);
    EXPECT_EQ(g_reports, (std::vector<Report>{{1, 3, 0}, {2, 3, 0}, {3, 3, 0}}));
}
