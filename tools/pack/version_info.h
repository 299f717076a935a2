// Stamping a launcher's version resource: the file and product version and
// the standard strings that Explorer's Details tab shows, rewritten in
// every language the stub's version resource carries.
#pragma once

#include "tools/pack/pe_resources.h"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qpack {

using VersionQuad = std::array<uint16_t, 4>;  // A.B.C.D, each 0 to 65535

// What create's version options ask for; empty leaves the stub as it is.
struct VersionStamp {
    std::optional<VersionQuad> file_version;                   // --file-version
    std::optional<VersionQuad> product_version;                // --product-version
    std::vector<std::pair<std::string, std::string>> strings;  // NAME, VALUE in UTF-8, in order
    bool Empty() const {
        return !file_version && !product_version && strings.empty();
    }
};

// The names a string table may carry, as Windows documents them.
extern const std::vector<std::string> STANDARD_VERSION_NAMES;

// "A.B.C.D" with four decimal fields of 0 to 65535, or nothing.
std::optional<VersionQuad> ParseVersionQuad(const std::string& text);

// Adds one --version-string NAME=VALUE to the stamp, or returns why it is
// refused: no '=', a name outside the standard ones, a FileVersion or
// ProductVersion that is not A.B.C.D or disagrees with the fixed version.
std::optional<std::string> AddVersionString(const std::string& assignment, VersionStamp* stamp);

// Stamps every language of the version resource in a resource tree; false,
// with a reason, when there is none or a value does not fit.
bool StampVersionTree(ResourceNode* root, const VersionStamp& stamp, std::string* problem);

// The stub's bytes with every language of its version resource stamped, or
// nothing with a reason (no version resource, a value that does not fit, a
// layout the resource writer refuses).
std::optional<Bytes> StampVersion(const Bytes& stub, const VersionStamp& stamp,
                                  std::string* problem);

}  // namespace qpack
