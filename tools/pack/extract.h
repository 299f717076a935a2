// Unpacking a launcher's payload into a folder with the launcher's own
// extractor, so that what the vendor sees is exactly what users get.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

namespace qpack {

// Called after each entry: (entries done, entries in all).
using ExtractProgress = std::function<void(size_t, size_t)>;

// Creates the folder (with missing parents) and extracts into it, reading
// names in the code page (none: plain ASCII names only).
// The directory is read first, so that a launcher the extractor would
// refuse is named with the reason: a file it cannot read, a name it
// refuses, a name outside ASCII without a code page. Returns true when the
// extractor succeeded; *problem says why not otherwise.
bool ExtractLauncher(const std::filesystem::path& launcher, const std::filesystem::path& folder,
                     const ExtractProgress& progress, const std::string& codepage,
                     std::string* problem);

}  // namespace qpack
