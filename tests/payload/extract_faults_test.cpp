// The extractor under injected faults: every allocation, open, read and
// write failing in turn. Whatever fails, every handle and heap block that
// the extraction took is released, and only the failures that matter end
// it. Needs the stand-in's fault injection, so it runs natively only.
#include "payload_files.h"

#include "platform/posix/testing.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

// A set with two chunks in one entry, a copy into each sub-folder and an
// empty file, so that every kind of call happens more than once.
std::vector<FileSpec> Files() {
    return {StoredFile("setup.exe", RandomBytes(4000, 1)),
            StoredFile("two.jvs", RandomBytes(PAYLOAD_PIECE_SIZE + 3, 2)),
            FileSpec{"empty.lng", {}, 0, {}}, StoredFile("last.bin", RandomBytes(10, 3))};
}

struct FaultRun {
    int result;
    unsigned calls;  // calls of the watched kind
    std::vector<Report> reports;
};

FaultRun ExtractWithFault(const fs::path& file, PlatformFault kind, unsigned n) {
    TempFolder dest;
    PlatformReset();
    PlatformFailNth(kind, n);
    g_reports.clear();
    int result = ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), RecordProgress);
    FaultRun run{result, PlatformCallCount(kind), g_reports};
    PlatformReset();
    return run;
}

}  // namespace

class ExtractFaults : public ::testing::TestWithParam<PlatformFault> {};

TEST_P(ExtractFaults, EveryCallOfTheKindFailingInTurnReleasesEverything) {
    TempFolder work;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), Files()));
    size_t handles = PlatformLiveHandles();
    size_t blocks = PlatformLiveHeapBlocks();

    unsigned total = ExtractWithFault(file, GetParam(), 0).calls;
    ASSERT_GE(total, 2u);
    for (unsigned n = 1; n <= total; n++) {
        FaultRun run = ExtractWithFault(file, GetParam(), n);
        EXPECT_EQ(PlatformLiveHandles(), handles) << "fault at call " << n;
        EXPECT_EQ(PlatformLiveHeapBlocks(), blocks) << "fault at call " << n;
        switch (GetParam()) {
        case FAULT_OPEN:
            // The first open is the payload; the others create entry
            // files, whose failure only skips that entry.
            EXPECT_EQ(run.result, n == 1 ? 0 : 1) << n;
            EXPECT_EQ(run.reports.size(), n == 1 ? 0u : 4u) << n;
            break;
        case FAULT_WRITE:
            EXPECT_EQ(run.result, 1) << "a failed write is not a failure";
            break;
        default:
            EXPECT_EQ(run.result, 0) << "fault at call " << n;
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExtractFaults,
                         ::testing::Values(FAULT_ALLOC, FAULT_OPEN, FAULT_READ, FAULT_WRITE));

TEST(ExtractFaults, EntryThatCannotBeCreatedIsSkippedAndTheNextOneIsWhole) {
    TempFolder work, dest;
    fs::path file = work.path / "launcher.exe";
    std::vector<FileSpec> files = Files();
    WriteFile(file, BuildPayload(RandomBytes(500, 9), files));
    PlatformReset();
    PlatformFailNth(FAULT_OPEN, 3);  // payload, setup.exe, then two.jvs
    g_reports.clear();
    uint32_t before = g_entries_done;
    EXPECT_EQ(ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), RecordProgress), 1);
    PlatformReset();
    EXPECT_FALSE(fs::exists(dest.path / "two.jvs"));
    EXPECT_FALSE(fs::exists(dest.path / "Style" / "two.jvs"));
    EXPECT_EQ(ReadFile(dest.path / "last.bin"), RandomBytes(10, 3));
    EXPECT_EQ(g_reports.size(), 4u);
    EXPECT_EQ(g_reports[1], (Report{before + 2, 4, 0}));
}

TEST(ExtractFaults, OversizedMemberIsNeverRead) {
    TempFolder work, dest;
    fs::path file = work.path / "launcher.exe";
    Bytes payload = BuildPayload(RandomBytes(500, 9), {StoredFile("a", {1})});
    uint32_t huge = PAYLOAD_BUFFER_SIZE + 1;
    std::memcpy(&payload[RecordOffset(payload, 1) + offsetof(PayloadEntry, chunks)], &huge, 4);
    WriteFile(file, payload);
    PlatformReset();
    EXPECT_EQ(ExtractPayloadFile(file.string().c_str(), dest.Text().c_str(), RecordProgress), 0);
    // The DOS header (not an executable: no certificate table), the count
    // and two records only.
    EXPECT_EQ(PlatformCallCount(FAULT_READ), 1u + 1u + 2u);
    PlatformReset();
}

TEST(ExtractFaults, ModuleInstanceNamesThePayloadFile) {
    TempFolder work, dest;
    fs::path file = work.path / "launcher.exe";
    WriteFile(file, BuildPayload(RandomBytes(500, 9), {StoredFile("setup.exe", {7, 7, 7})}));
    HMODULE module = PlatformModuleForFile(file.string().c_str());
    EXPECT_EQ(ExtractPayload(module, dest.Text().c_str(), RecordProgress), 1);
    EXPECT_EQ(ReadFile(dest.path / "setup.exe"), (Bytes{7, 7, 7}));
}
