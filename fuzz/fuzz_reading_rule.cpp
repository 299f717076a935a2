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
// - the launcher's name check (ANSI decoding through the stand-in's code
//   page) and the packer's (its own decoding of the same code page) agree on
//   the first names, in a code page chosen by the input's length.
#include "payload/names.h"
#include "payload/reading.h"
#include "platform/posix/testing.h"
#include "tools/pack/directory.h"
#include "tools/pack/names.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

constexpr uint32_t kCheckedNames = 8;  // names compared per input: iconv is not free

// Code pages the names are read in: the stand-in's number and the packer's name.
struct Codepage {
    UINT number;  // 0: the stand-in's US-ASCII
    const char* name;
};
const Codepage kCodepages[] = {{0, ""}, {932, "CP932"}, {1252, "CP1252"}, {949, "CP949"}};

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

/* The launcher and the packer judge the first names alike. */
void CheckNames(const qpack::Directory& directory, const Codepage& codepage) {
    if (!PlatformSetAnsiCodepage(codepage.number)) {
        Fail(std::string("code page unknown: ") + codepage.name);
    }
    for (uint32_t i = 1; i < directory.count && i <= kCheckedNames; i++) {
        std::optional<std::string> name = qpack::EntryName(directory.entries[i]);
        if (!name) {
            continue;
        }
        std::string problem, folded;
        qpack::StoredName packer = qpack::CheckStoredName(*name, codepage.name, &problem, &folded);
        bool launcher_ok = CheckEntryName(name->c_str(), nullptr) == NAME_OK;
        if (packer != qpack::StoredName::UNCHECKED &&
            launcher_ok != (packer == qpack::StoredName::OK)) {
            Fail("entry " + std::to_string(i) + ": the launcher " +
                 (launcher_ok ? "accepts" : "refuses") + " a name the packer " +
                 (launcher_ok ? "refuses: " + problem : "accepts") + " in code page " +
                 std::to_string(codepage.number));
        }
    }
    PlatformSetAnsiCodepage(0);
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
    if (read && qpack::RecordProblems(directory).empty()) {
        CheckNames(directory, kCodepages[size % (sizeof kCodepages / sizeof kCodepages[0])]);
    }
    return 0;
}
