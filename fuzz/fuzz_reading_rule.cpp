// libFuzzer target for the reading rule and the directory check: the input
// is a whole launcher file, PE headers and certificate table included. The
// rule runs over memory, and so does the packer's directory reader, through
// a stream. Checked beyond what the sanitizers see:
// - the rule takes a signed shape only when the security entry names a
//   non-empty table ending the file on an 8-byte boundary, refuses every
//   other non-empty table, and reads by the plain rule when the entry is
//   empty;
// - a payload found before a table ends 0 to 7 zero bytes before it, and no
//   read of the rule ever reaches into the table;
// - the packer reads a directory only where the rule finds one, at the same
//   end;
// - the extractor's checks of a directory (names decoded as the packer
//   decodes them, in a code page chosen by the input's length) pass it
//   exactly when the packer's own checks find nothing wrong.
#include "payload/extract.h"
#include "payload/reading.h"
#include "tools/pack/directory.h"
#include "tools/pack/names.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

// Code pages the names are read in; "" reads plain ASCII only.
const std::string kCodepages[] = {"", "CP932", "CP1252", "CP949"};

// The input as a file the rule reads through ReadAtFn.
struct Memory {
    const uint8_t* data;
    size_t size;
    uint64_t furthest;  // one past the last byte any read asked for
};

int ReadMemoryAt(void* source, uint64_t offset, void* buffer, uint32_t size, uint32_t* got) {
    Memory* memory = static_cast<Memory*>(source);
    memory->furthest = std::max(memory->furthest, offset + size);
    uint64_t start = std::min<uint64_t>(offset, memory->size);
    *got = uint32_t(std::min<uint64_t>(size, memory->size - start));
    memcpy(buffer, memory->data + start, *got);
    return 1;
}

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "reading rule: %s\n", what.c_str());
    abort();
}

/* The rule's answer against the shape of the table that the headers name. */
void CheckEnd(const uint8_t* data, size_t size, int result, const PayloadEnd& found,
              uint64_t furthest) {
    Memory headers{data, size, 0};
    uint32_t table_offset = 0;
    uint32_t table_size = 0;
    ReadCertificateTable(ReadMemoryAt, &headers, &table_offset, &table_size);
    bool signed_shape =
        table_size != 0 && table_offset % 8 == 0 && uint64_t{table_offset} + table_size == size;
    if (table_size == 0 && (result != 1 || found.end != size)) {
        Fail("an empty security entry did not give the plain rule");
    }
    if (table_size != 0 && !signed_shape && result != 0) {
        Fail("a table that does not end the file was not refused");
    }
    if (!signed_shape || result != 1) {
        return;
    }
    if (found.end > table_offset || table_offset - found.end > 7) {
        Fail("payload end " + std::to_string(found.end) + " not within 7 bytes of the table");
    }
    for (uint64_t i = found.end; i < table_offset; i++) {
        if (data[i] != 0) {
            Fail("non-zero padding taken");
        }
    }
    if (furthest > table_offset) {
        Fail("read inside the certificate table");
    }
}

// What the extractor made of a directory: whether every record passed its
// checks, which is so once it asks for the first file.
struct Verdict {
    const std::string* codepage;  // the names' code page
    bool checked;                 // the extractor got as far as creating a file
};

int DecodeAsThePacker(void* context, const char* name, wchar_t* characters, int capacity) {
    std::optional<std::wstring> decoded =
        qpack::DecodeStoredName(name, *static_cast<Verdict*>(context)->codepage);
    if (!decoded || decoded->size() > size_t(capacity)) {
        return -1;
    }
    std::copy(decoded->begin(), decoded->end(), characters);
    return int(decoded->size());
}

void NoFolder(void*, const char*) {}

int StopAtTheFirstFile(void* context, const char*) {
    static_cast<Verdict*>(context)->checked = true;
    return 0;
}

/* The extractor and the packer's own checks judge a directory alike: the
   extractor passes every record after the stub's exactly when the packer
   finds no record problem there and every name sound, read in the same code
   page. Entry 0 is the stub's record: the extractor reads only where the
   chunk data begins from it, while the packer also reports its name and
   count, so the packer judges a copy whose entry 0 holds a sound name and
   count. */
void CheckVerdicts(const uint8_t* data, size_t size, const qpack::Directory& directory,
                   const std::string& codepage) {
    qpack::Directory files = directory;  // entry 0's name and count made sound
    if (!files.entries.empty()) {
        files.entries[0].name[0] = '\0';
        files.entries[0].chunk_count = 0;
    }
    bool packer_ok = qpack::RecordProblems(files).empty();
    for (const qpack::FileRecords& file : qpack::FilesOf(directory)) {  // continuations: no name
        std::string problem, folded;
        packer_ok = packer_ok &&
                    qpack::CheckStoredName(*qpack::EntryName(directory.entries[file.first]),
                                           codepage, &problem, &folded) == qpack::StoredName::OK;
    }
    Memory memory{data, size, 0};
    Verdict verdict{&codepage, false};
    PayloadSource source = {ReadMemoryAt, &memory, size};
    ExtractSink sink = {&verdict, DecodeAsThePacker, NoFolder, StopAtTheFirstFile, nullptr,
                        nullptr,  nullptr,           nullptr,  UINT32_MAX};
    ExtractThrough(&source, &sink);
    if (directory.count > 1 && verdict.checked != packer_ok) {
        Fail(std::string("the extractor ") + (verdict.checked ? "passes" : "refuses") +
             " a directory that the packer " + (packer_ok ? "passes" : "refuses") +
             " in code page '" + codepage + "'");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Memory memory{data, size, 0};
    PayloadEnd found;
    int result = FindPayloadEnd(ReadMemoryAt, &memory, size, &found);
    CheckEnd(data, size, result, found, memory.furthest);

    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    qpack::Directory directory;
    std::vector<std::string> problems;
    bool read = qpack::ReadDirectoryFrom(&in, size, &directory, &problems);
    if (read && (result != 1 || directory.end.end != found.end)) {
        Fail("the packer read a directory where the rule found none, or at another end");
    }
    if (read) {
        CheckVerdicts(data, size, directory,
                      kCodepages[size % (sizeof kCodepages / sizeof kCodepages[0])]);
    }
    return 0;
}
