// Looking into a finished launcher: a table of its entries, and a full check
// of everything a packer must get right, decoded with the launcher's own
// chunk decoder so that "verified" means "the launcher will unpack it".
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace qpack {

// Writes the stub size, one aligned row per entry (name, size, packed size,
// chunks, ratio), a total line, for a signed launcher its certificate
// table, and how many names outside ASCII went unchecked for want of a code
// page. Names are shown in UTF-8 when the code page is given. Returns false,
// with the reasons in problems, when the directory cannot be read or the
// launcher would refuse a name.
bool ListLauncher(const std::filesystem::path& launcher, std::ostream& out,
                  std::vector<std::string>* problems, const std::string& codepage = "");

struct VerifyReport {
    std::vector<std::string> problems;  // one line each, naming entry and chunk
    uint32_t entries = 0;               // N
    uint64_t content_bytes = 0;         // decoded bytes of entries 1 to N-1
    uint64_t chunks = 0;                // members decoded
    std::string signature;              // SignatureLine: empty when unsigned or unread
    uint32_t unchecked_names = 0;       // outside ASCII, with no code page to read them in
};

// Called before each entry is checked: (entry, entries in all, name).
using VerifyProgress = std::function<void(size_t, size_t, const std::string&)>;

// Checks the directory and every chunk member of the launcher; names are
// read in the code page (none: only plain ASCII names are judged).
VerifyReport VerifyLauncher(const std::filesystem::path& launcher, const std::string& codepage = "",
                            const VerifyProgress& progress = {});

// "note: 2 names outside ASCII not checked (give --codepage CP)", or empty.
std::string UncheckedNote(uint32_t unchecked);

// Why a chunk member that DecodeChunk refused (with `result`) is broken, in
// a few words: "CRC-32 mismatch", "bad header bytes", ...
std::string DiagnoseMember(const uint8_t* member, size_t size, int result);

}  // namespace qpack
