// Where create finds the stub when --stub does not name one: beside the
// packer (the Windows zip), in ../share/qelvor/ from the packer's folder (an
// installed tree under any prefix), and in the dist/ folder of the source
// tree the packer was built in.
#pragma once

#include <filesystem>
#include <vector>

namespace qpack {

inline constexpr const char* STUB_FILE_NAME = "qelvor-stub.exe";

// The running program's own file, or an empty path when the system does
// not say.
std::filesystem::path OwnExecutable();

// The places to look, in order, for a packer whose file is `packer`.
std::vector<std::filesystem::path> StubCandidates(const std::filesystem::path& packer);

}  // namespace qpack
