// The extractor takes a plain function pointer for its progress, with no
// context argument, so the callback reaches the caller's function through
// a file-level pointer that is set only for the duration of the call.
#include "tools/pack/extract.h"

#include "payload/payload.h"
#include "tools/pack/directory.h"
#include "tools/pack/names.h"

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

/* The first reason the extractor would refuse the directory, or nothing. */
std::optional<std::string> DirectoryProblem(const std::filesystem::path& launcher,
                                            const std::string& codepage) {
    Directory directory;
    std::ifstream in;
    std::vector<std::string> problems;
    if (!ReadDirectory(launcher, &in, &directory, &problems)) {
        return problems.front();
    }
    problems = RecordProblems(directory);
    if (!problems.empty()) {
        return problems.front();
    }
    for (uint32_t i = 1; i < directory.count; ++i) {
        std::string why;     // the rule the name breaks
        std::string folded;  // unused here
        std::string label = EntryLabel(i, directory.entries[i], codepage);
        switch (CheckStoredName(*EntryName(directory.entries[i]), codepage, &why, &folded)) {
        case StoredName::REFUSED:
            return label + ": the launcher refuses it: " + why;
        case StoredName::UNCHECKED:
            return label + " is outside ASCII: give the code page of its name with --codepage CP";
        case StoredName::OK:
            break;
        }
    }
    return std::nullopt;
}

}  // namespace

bool ExtractLauncher(const std::filesystem::path& launcher, const std::filesystem::path& folder,
                     const ExtractProgress& progress, const std::string& codepage,
                     std::string* problem) {
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
    if (std::optional<std::string> refused = DirectoryProblem(launcher, codepage)) {
        *problem = *refused;
        return false;
    }
    std::optional<std::string> source = ExtractorPath(launcher, codepage);
    std::optional<std::string> destination = ExtractorPath(folder, codepage);
    if (!source || !destination) {
        *problem = "the paths cannot be written in code page " + codepage;
        return false;
    }
    while (destination->size() > 1 && (destination->back() == '/' || destination->back() == '\\')) {
        destination->pop_back();  // the extractor adds its own separator
    }
    if (!UseExtractorCodepage(codepage, problem)) {
        return false;
    }
    g_extract_progress = &progress;
    g_extract_reports = 0;
    int result = ExtractPayloadFile(source->c_str(), destination->c_str(),
                                    &ReportExtractProgress);  // 1 success, 0 failure
    g_extract_progress = nullptr;
    std::string ignored;  // back to the platform's own code page, which cannot fail
    UseExtractorCodepage("", &ignored);
    if (result != 1) {
        *problem = "damaged payload";
        return false;
    }
    return true;
}

}  // namespace qpack
