// The stub's stamp: the version first, then the icons, on one tree. The
// order does not matter to the result (they touch different resources),
// but it is fixed, like everything else that reaches the bytes.
#include "tools/pack/stamp.h"

namespace qpack {

std::optional<Bytes> StampStub(const Bytes& stub, const VersionStamp& version,
                               const IconImages& icon, std::string* problem) {
    std::optional<ResourceNode> root = ReadResources(stub, problem);
    if (!root || (!version.Empty() && !StampVersionTree(&*root, version, problem)) ||
        (!icon.empty() && !ReplaceIcons(&*root, icon, problem))) {
        return std::nullopt;
    }
    return WriteResources(stub, *root, problem);
}

}  // namespace qpack
