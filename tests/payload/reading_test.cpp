// The reading rule on hand-built files: a small PE header whose security
// directory names a certificate table, padding and a table appended as a
// signing tool does, and the shapes that must fall back to the plain rule.
// Each file is read by the rule over memory (which must never look inside
// the table) and extracted by the launcher's extractor from disk. Runs
// natively and under Wine, against the real API.
#include "payload_files.h"

#include "payload/reading.h"
#include "workspace/files.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t PE32 = 0x10B;
constexpr uint16_t PE32_PLUS = 0x20B;
constexpr size_t PE_AT = 0x40;                // e_lfanew of the hand-built header
constexpr size_t OPTIONAL_AT = PE_AT + 24;    // after "PE\0\0" and the file header
constexpr uint8_t TABLE_FILLER = 0xCD;        // certificate table bytes
constexpr uint32_t TABLE_SIZE = 1500;         // one signature
constexpr uint32_t NESTED_TABLE_SIZE = 9000;  // a second one nested in the first

void Put16(Bytes& bytes, size_t at, uint32_t value) {
    bytes[at] = uint8_t(value);
    bytes[at + 1] = uint8_t(value >> 8);
}

void Put32(Bytes& bytes, size_t at, uint32_t value) {
    Put16(bytes, at, value & 0xFFFF);
    Put16(bytes, at + 2, value >> 16);
}

// Where the security entry (offset, size) lies for this optional header.
size_t SecurityEntryAt(uint16_t magic) {
    return OPTIONAL_AT + (magic == PE32 ? 96 : 112) + 4 * 8;
}

// A stub of `size` bytes: DOS header, PE signature, file header and an
// optional header of the given kind with 16 empty data directories, then
// random bytes. Magic 0 gives random bytes only: not an executable.
Bytes Stub(size_t size, uint16_t magic) {
    Bytes stub = RandomBytes(size, 7);
    if (magic == 0) {
        return stub;
    }
    size_t optional_size = magic == PE32 ? 224 : 240;
    std::fill(stub.begin(), stub.begin() + OPTIONAL_AT + optional_size, 0);
    Put16(stub, 0, 0x5A4D);                                  // "MZ"
    Put32(stub, 0x3C, PE_AT);                                // e_lfanew
    Put32(stub, PE_AT, 0x00004550);                          // "PE\0\0"
    Put16(stub, PE_AT + 4, magic == PE32 ? 0x14C : 0x8664);  // Machine
    Put16(stub, PE_AT + 20, uint32_t(optional_size));        // SizeOfOptionalHeader
    Put16(stub, OPTIONAL_AT, magic);
    Put32(stub, OPTIONAL_AT + (magic == PE32 ? 92 : 108), 16);  // NumberOfRvaAndSizes
    return stub;
}

// A change made to a signed file.
enum Damage {
    NONE,
    PADDING_BYTE,   // the last padding byte is not zero
    PACKED_SIZE,    // entry 1's packed_size is one more: the sizes miss the directory
    CHUNK_COUNT,    // entry 1's chunk_count is 97
    PACKED_SHORT,   // entry 1's packed_size is one less: the sizes end before the directory
    STUB_OFFSET,    // entry 0's data_offset is 2
    INNER_PAYLOAD,  // the file ends with a copy of the directory and count
    EMPTY_ENTRY,    // unsigned, but the security entry names an offset with size 0
    CONTINUED,      // a file over two records follows setup.exe
    SKIPPED_PLACE,  // the same, its continuation at place 2: the sizes still agree
};

// One file and the shape it is given.
struct ReadingCase {
    const char* label;
    uint16_t magic;            // PE32, PE32_PLUS or 0
    size_t unsigned_residue;   // the unsigned file's length modulo 8
    int padding;               // zero bytes before the table; -1: not signed
    uint32_t table_size;       // the table appended
    int32_t entry_size_shift;  // added to the size that the security entry names
    size_t appended;           // bytes after the table
    size_t empty_files;        // more entries, to make the count as large as wanted
    Damage damage;             // what is changed before the table
    bool plain;                // read by the plain rule (end = file size)
    bool readable;             // the extractor unpacks it
};

const ReadingCase CASES[] = {
    {"Unsigned", PE32_PLUS, 5, -1, 0, 0, 0, 0, NONE, true, true},
    {"NotAnExecutable", 0, 3, -1, 0, 0, 0, 0, NONE, true, true},
    {"Padding0", PE32_PLUS, 0, 0, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Padding1", PE32_PLUS, 7, 1, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Padding2", PE32_PLUS, 6, 2, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Padding3", PE32_PLUS, 5, 3, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Padding4", PE32_PLUS, 4, 4, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Padding5", PE32_PLUS, 3, 5, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Padding6", PE32_PLUS, 2, 6, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Padding7", PE32_PLUS, 1, 7, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Pe32Padding3", PE32, 5, 3, TABLE_SIZE, 0, 0, 0, NONE, false, true},
    {"Nested", PE32_PLUS, 6, 2, NESTED_TABLE_SIZE, 0, 0, 0, NONE, false, true},
    // 261 entries: 05 01 00 00. The end one byte later reads the count 1
    // and an entry 0 one byte into the last record.
    {"CountBesidePadding", PE32_PLUS, 7, 1, TABLE_SIZE, 0, 0, 259, NONE, false, true},
    // A table of any other shape is refused, never read by the plain rule,
    // even when the count in the file's last four bytes would lead to a
    // payload of its own.
    {"TableNotReachingTheEnd", PE32_PLUS, 0, 0, TABLE_SIZE, -8, 0, 0, NONE, false, false},
    {"BytesAfterTheTable", PE32_PLUS, 5, 3, TABLE_SIZE, 0, 5, 0, NONE, false, false},
    {"TableRunningPastTheEnd", PE32_PLUS, 0, 0, TABLE_SIZE, 8, 0, 0, NONE, false, false},
    {"TableNotAligned", PE32_PLUS, 3, 0, TABLE_SIZE, 0, 0, 0, NONE, false, false},
    {"PayloadInsideShortTable", PE32_PLUS, 0, 0, NESTED_TABLE_SIZE, -8, 0, 0, INNER_PAYLOAD, false,
     false},
    {"EmptyEntryKeepsThePlainRule", PE32_PLUS, 5, -1, 0, 0, 0, 0, EMPTY_ENTRY, true, true},
    {"PaddingNotZero", PE32_PLUS, 5, 3, TABLE_SIZE, 0, 0, 0, PADDING_BYTE, false, false},
    {"PackedSizesMissTheDirectory", PE32_PLUS, 0, 0, TABLE_SIZE, 0, 0, 0, PACKED_SIZE, false,
     false},
    {"ChunkCountOver96", PE32_PLUS, 0, 0, TABLE_SIZE, 0, 0, 0, CHUNK_COUNT, false, false},
    {"PackedSizesShortOfTheDirectory", PE32_PLUS, 0, 0, TABLE_SIZE, 0, 0, 0, PACKED_SHORT, false,
     false},
    {"StubDataOffset2", PE32_PLUS, 0, 0, TABLE_SIZE, 0, 0, 0, STUB_OFFSET, false, false},
    {"ContinuedFile", PE32_PLUS, 3, 5, TABLE_SIZE, 0, 0, 0, CONTINUED, false, true},
    {"ContinuationOutOfPlace", PE32_PLUS, 0, 0, TABLE_SIZE, 0, 0, 0, SKIPPED_PLACE, false, false},
};

void PrintTo(const ReadingCase& c, std::ostream* out) {
    *out << c.label;
}

// The file of a case, and where its payload truly ends.
struct Built {
    Bytes file;
    uint64_t payload_end;   // the unsigned file's length
    uint64_t table_offset;  // where the table starts (the file's length when unsigned)
};

Built Build(const ReadingCase& c) {
    std::vector<FileSpec> files = {StoredFile("setup.exe", RandomBytes(3000, 2))};
    if (c.damage == CONTINUED || c.damage == SKIPPED_PLACE) {
        Bytes content;
        for (FileSpec& f : ContinuedFile("big", 2, c.damage == CONTINUED ? 1 : 2, 9, &content)) {
            files.push_back(f);
        }
    }
    for (size_t i = 0; i < c.empty_files; i++) {
        files.push_back(FileSpec{"e" + std::to_string(i), {}, 0, {}});
    }
    size_t stub_size = 600;
    size_t length = BuildPayload(Stub(stub_size, c.magic), files).size();
    stub_size += (c.unsigned_residue + 8 - length % 8) % 8;
    Built built{BuildPayload(Stub(stub_size, c.magic), files), 0, 0};
    Bytes& file = built.file;
    built.payload_end = built.table_offset = file.size();
    if (c.damage == EMPTY_ENTRY) {
        Put32(file, SecurityEntryAt(c.magic), uint32_t(file.size() - 8));
    }
    if (c.padding < 0) {
        return built;
    }
    size_t entry_0 = RecordOffset(file, 0);  // the count is still the last four bytes
    size_t entry_1 = RecordOffset(file, 1);
    Bytes directory(file.begin() + long(entry_0), file.end());
    if (c.damage == STUB_OFFSET) {
        Put32(file, entry_0 + offsetof(PayloadEntry, data_offset), 2);
    }
    if (c.damage == PACKED_SHORT) {
        file[entry_1 + offsetof(PayloadEntry, chunks)]--;
    }
    if (c.damage == PACKED_SIZE) {
        file[entry_1 + offsetof(PayloadEntry, chunks)]++;
    }
    if (c.damage == CHUNK_COUNT) {
        Put32(file, entry_1 + offsetof(PayloadEntry, chunk_count), PAYLOAD_MAX_CHUNKS + 1);
    }
    file.insert(file.end(), size_t(c.padding), 0);
    if (c.damage == PADDING_BYTE) {
        file.back() = 1;
    }
    built.table_offset = file.size();
    file.insert(file.end(), c.table_size, TABLE_FILLER);
    file.insert(file.end(), c.appended, TABLE_FILLER);
    if (c.damage == INNER_PAYLOAD) {
        std::copy(directory.begin(), directory.end(), file.end() - long(directory.size()));
    }
    Put32(file, SecurityEntryAt(c.magic), uint32_t(built.table_offset));
    Put32(file, SecurityEntryAt(c.magic) + 4, uint32_t(c.table_size + c.entry_size_shift));
    return built;
}

// ReadAtFn over bytes in memory that remembers how far any read reached
// and can make one read fail.
struct MemoryFile {
    const Bytes* bytes;
    unsigned fail_at = 0;   // the read that fails, counting from 1; 0: none
    unsigned reads = 0;     // reads so far
    uint64_t furthest = 0;  // one past the last byte asked for
};

int ReadMemoryAt(void* source, uint64_t offset, void* buffer, uint32_t size, uint32_t* got) {
    MemoryFile* memory = static_cast<MemoryFile*>(source);
    if (++memory->reads == memory->fail_at) {
        return 0;
    }
    memory->furthest = std::max(memory->furthest, offset + size);
    uint64_t start = std::min<uint64_t>(offset, memory->bytes->size());
    *got = uint32_t(std::min<uint64_t>(size, memory->bytes->size() - start));
    std::memcpy(buffer, memory->bytes->data() + start, *got);
    return 1;
}

class ReadingRule : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(ReadingRule, FindsTheEndOrReadsAsThePlainRule) {
    const ReadingCase& c = GetParam();
    Built built = Build(c);
    MemoryFile memory{&built.file};
    PayloadEnd found;
    int result = FindPayloadEnd(ReadMemoryAt, &memory, built.file.size(), &found);
    if (c.plain) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(found.end, built.file.size());
        EXPECT_EQ(found.table_size, 0u);
    } else if (c.readable) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(found.end, built.payload_end);
        EXPECT_EQ(found.table_offset, built.table_offset);
        EXPECT_EQ(found.table_size, c.table_size);
        EXPECT_LE(memory.furthest, built.table_offset) << "read inside the certificate table";
    } else {
        EXPECT_EQ(result, 0);
    }

    TempFolder work, dest;
    WriteFile(work.path / "launcher.exe", built.file);
    int extracted = ExtractPayloadFile((work.path / "launcher.exe").string().c_str(),
                                       dest.Text().c_str(), nullptr, nullptr);
    EXPECT_EQ(extracted, c.readable ? 1 : 0);
    if (c.readable) {
        EXPECT_EQ(ReadFile(dest.path / "setup.exe"), RandomBytes(3000, 2));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReadingRule, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<ReadingCase>& info) {
                             return std::string(info.param.label);
                         });

// A read that fails, anywhere in the rule, fails the rule: it never falls
// back to the plain rule on a file it could not read.
TEST(ReadingRuleFaults, EachReadFailingInTurnFailsTheRule) {
    Built built = Build(CASES[2]);  // signed, no padding
    PayloadEnd found;
    MemoryFile all{&built.file};
    ASSERT_EQ(FindPayloadEnd(ReadMemoryAt, &all, built.file.size(), &found), 1);
    ASSERT_GE(all.reads, 6u);  // DOS and PE headers, optional header, padding, count, records
    for (unsigned n = 1; n <= all.reads; n++) {
        MemoryFile memory{&built.file, n};
        EXPECT_EQ(FindPayloadEnd(ReadMemoryAt, &memory, built.file.size(), &found), 0) << n;
    }
}

}  // namespace
