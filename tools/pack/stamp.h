// Stamping a stub: its version resource and its icons, changed in one
// resource tree and written back in one rewrite of the resource section,
// so that create and stamp give the same bytes for the same options. Also
// the one fact the packer reads from a stub's resources: its payload level.
#pragma once

#include "tools/pack/icon.h"
#include "tools/pack/version_info.h"

namespace qpack {

// The stub with the version stamped (unless empty) and the icon's images
// in its icon groups (unless none), or nothing with a reason.
std::optional<Bytes> StampStub(const Bytes& stub, const VersionStamp& version,
                               const IconImages& icon, std::string* problem);

// The payload level the stub declares (resource RCDATA 150, any language:
// a 16-bit little-endian number); PAYLOAD_LEVEL_FIRST for a stub without
// it, or whose resources cannot be read: a stub built before levels
// existed.
int StubPayloadLevel(const Bytes& stub);

}  // namespace qpack
