// The status line: carriage return, text, blanks over what was longer.
#include "tools/pack/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define QPACK_ISATTY _isatty
#define QPACK_FILENO _fileno
#else
#include <unistd.h>
#define QPACK_ISATTY isatty
#define QPACK_FILENO fileno
#endif

namespace qpack {

ProgressLine::ProgressLine(bool quiet)
    : enabled_(!quiet && QPACK_ISATTY(QPACK_FILENO(stderr)) != 0) {}

ProgressLine::~ProgressLine() {
    Finish();
}

void ProgressLine::Show(const std::string& verb, size_t done, size_t total,
                        const std::string& name) {
    if (!enabled_) {
        return;
    }
    std::string text = verb + " " + std::to_string(done) + "/" + std::to_string(total) + " " + name;
    size_t length = text.size();
    if (length < shown_) {
        text.append(shown_ - length, ' ');
    }
    std::fprintf(stderr, "\r%s", text.c_str());
    std::fflush(stderr);
    shown_ = length;
}

void ProgressLine::Finish() {
    if (enabled_ && shown_ > 0) {
        std::fprintf(stderr, "\r%s\r", std::string(shown_, ' ').c_str());
        std::fflush(stderr);
        shown_ = 0;
    }
}

}  // namespace qpack
