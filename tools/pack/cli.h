// The command line of qelvor-pack: create, list, verify, extract, help.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qpack {

inline constexpr int EXIT_OK = 0;       // done, or the launcher is sound
inline constexpr int EXIT_REFUSED = 1;  // input refused, or the payload is damaged
inline constexpr int EXIT_USAGE = 2;    // unknown command or option, missing argument

// Runs one command; args are the arguments after the program name, in
// UTF-8. Results go to out, messages and progress to err.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qpack
