// One self-overwriting status line on standard error ("packing 3/12
// setup.exe"), shown only when standard error is a terminal and the user
// did not ask for quiet; scripts and logs see nothing.
#pragma once

#include <cstddef>
#include <string>

namespace qpack {

class ProgressLine {
  public:
    explicit ProgressLine(bool quiet);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Replaces the line with "<verb> done/total name".
    void Show(const std::string& verb, size_t done, size_t total, const std::string& name);
    // Clears the line so that following messages start on a clean one.
    void Finish();

  private:
    bool enabled_;      // stderr is a terminal and not quiet
    size_t shown_ = 0;  // length of the text on the line now
};

}  // namespace qpack
