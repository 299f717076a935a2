// The stub's stamp: the version first, then the icons, on one tree. The
// order does not matter to the result (they touch different resources),
// but it is fixed, like everything else that reaches the bytes.
#include "tools/pack/stamp.h"

#include "payload/level.h"

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

/* Type 10 (RT_RCDATA), id 150, the first language's leaf. */
int StubPayloadLevel(const Bytes& stub) {
    constexpr uint16_t RT_RCDATA_TYPE = 10;
    std::string ignored;  // an unreadable tree is a stub without the resource
    std::optional<ResourceNode> root = ReadResources(stub, &ignored);
    if (!root) {
        return PAYLOAD_LEVEL_FIRST;
    }
    for (const ResourceNode& type : root->children) {
        for (const ResourceNode& id : type.children) {
            if (!type.named && type.id == RT_RCDATA_TYPE && !id.named &&
                id.id == PAYLOAD_LEVEL_RESOURCE && !id.children.empty() &&
                id.children.front().data.size() >= 2) {
                const Bytes& data = id.children.front().data;
                return data[0] | data[1] << 8;
            }
        }
    }
    return PAYLOAD_LEVEL_FIRST;
}

}  // namespace qpack
