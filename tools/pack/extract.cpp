// The extractor takes a plain function pointer for its progress, with no
// context argument, so the callback reaches the caller's function through
// a file-level pointer that is set only for the duration of the call.
#include "tools/pack/extract.h"

#include "payload/payload.h"

#include <system_error>

namespace qpack {

namespace {

const ExtractProgress* g_extract_progress = nullptr;  // the caller's callback during a call
size_t g_extract_reports = 0;  // reports in this call; the extractor's own count never resets

int ReportExtractProgress(uint32_t /*done*/, uint32_t total, uint32_t /*reserved*/) {
    ++g_extract_reports;
    if (g_extract_progress != nullptr && *g_extract_progress) {
        (*g_extract_progress)(g_extract_reports, total);
    }
    return 1;
}

}  // namespace

bool ExtractLauncher(const std::filesystem::path& launcher, const std::filesystem::path& folder,
                     const ExtractProgress& progress, std::string* problem) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder)) {
        *problem = "cannot create the folder: " + error.message();
        return false;
    }
    if (!std::filesystem::is_regular_file(launcher, error)) {
        *problem = "no such launcher file";
        return false;
    }
    std::string destination = folder.string();  // without a trailing separator
    while (destination.size() > 1 && (destination.back() == '/' || destination.back() == '\\')) {
        destination.pop_back();
    }
    g_extract_progress = &progress;
    g_extract_reports = 0;
    int result = ExtractPayloadFile(launcher.string().c_str(), destination.c_str(),
                                    &ReportExtractProgress);  // 1 success, 0 failure
    g_extract_progress = nullptr;
    if (result != 1) {
        *problem = "damaged payload";
        return false;
    }
    return true;
}

}  // namespace qpack
