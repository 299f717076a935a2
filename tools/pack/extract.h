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

// Creates the folder (with missing parents) and extracts into it. Returns
// true when the extractor succeeded; *problem says why not otherwise.
bool ExtractLauncher(const std::filesystem::path& launcher, const std::filesystem::path& folder,
                     const ExtractProgress& progress, std::string* problem);

}  // namespace qpack
