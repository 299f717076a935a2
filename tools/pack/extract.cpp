// Unpacking a launcher with the launcher's own extractor (payload/extract.h),
// so that what the vendor sees is exactly what users get: the same reading
// rule, checks, decoding and order. Only its files differ: plain C++ files
// here, named in UTF-8 (on Windows, in their own characters) from the
// stored bytes decoded in the code page given, where the launcher passes
// the ANSI bytes to Windows. Nothing else is written: no attributes, no
// security records.
#include "tools/pack/extract.h"

#include "payload/extract.h"
#include "tools/pack/directory.h"
#include "tools/pack/names.h"

#include <fstream>
#include <system_error>

namespace qpack {

namespace fs = std::filesystem;

namespace {

// What the packer's side of one extraction keeps.
struct PlainFiles {
    fs::path folder;                  // the destination
    std::string codepage;             // the names' code page; empty: ASCII only
    std::ofstream file;               // the file being written
    const ExtractProgress* progress;  // the caller's callback, maybe empty
};

/* The path of a stored name below the destination (and the sub-folder). */
fs::path PathOf(const PlainFiles& files, const char* name, const char* folder = nullptr) {
    std::string utf8 = ShownName(name, files.codepage);
    fs::path path = files.folder;
    if (folder != nullptr) {
        path /= folder;
    }
    return path / fs::path(std::u8string(utf8.begin(), utf8.end()));
}

int DecodeName(void* context, const char* name, wchar_t* characters, int capacity) {
    std::optional<std::wstring> decoded =
        DecodeStoredName(name, static_cast<PlainFiles*>(context)->codepage);
    if (!decoded || decoded->size() > static_cast<size_t>(capacity)) {
        return -1;
    }
    std::copy(decoded->begin(), decoded->end(), characters);
    return static_cast<int>(decoded->size());
}

void CreateFolder(void* context, const char* folder) {
    std::error_code ignored;  // an existing folder is fine; a missing one fails its copies
    fs::create_directory(static_cast<PlainFiles*>(context)->folder / folder, ignored);
}

int CreateEntryFile(void* context, const char* name) {
    PlainFiles& files = *static_cast<PlainFiles*>(context);
    files.file.open(PathOf(files, name), std::ios::binary | std::ios::trunc);
    return files.file.is_open() ? 1 : 0;
}

int AppendToFile(void* context, const uint8_t* data, uint32_t size) {
    std::ofstream& file = static_cast<PlainFiles*>(context)->file;
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return file.good() ? 1 : 0;
}

void CloseEntryFile(void* context, int) {
    static_cast<PlainFiles*>(context)->file.close();
}

void CopyToFolder(void* context, const char* name, const char* folder) {
    const PlainFiles& files = *static_cast<PlainFiles*>(context);
    std::error_code ignored;  // a failed copy is not a failed extraction
    fs::copy_file(PathOf(files, name), PathOf(files, name, folder),
                  fs::copy_options::overwrite_existing, ignored);
}

void ReportEntry(void* context, uint32_t done, uint32_t total) {
    const ExtractProgress* progress = static_cast<PlainFiles*>(context)->progress;
    if (*progress) {
        (*progress)(done, total);
    }
}

/* The first reason the extractor would refuse the directory, or nothing. */
std::optional<std::string> DirectoryProblem(const fs::path& launcher, const std::string& codepage) {
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
    for (const FileRecords& file : FilesOf(directory)) {
        uint32_t i = file.first;  // continuation records have no name of their own
        std::string why;          // the rule the name breaks
        std::string folded;       // unused here
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

bool ExtractLauncher(const fs::path& launcher, const fs::path& folder,
                     const ExtractProgress& progress, const std::string& codepage,
                     std::string* problem) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder)) {
        *problem = "cannot create the folder: " + error.message();
        return false;
    }
    if (!fs::is_regular_file(launcher, error)) {
        *problem = "no such launcher file";
        return false;
    }
    uint64_t size = fs::file_size(launcher, error);
    std::ifstream in(launcher, std::ios::binary);
    if (error || !in) {
        *problem = "cannot open the launcher";
        return false;
    }
    if (std::optional<std::string> refused = DirectoryProblem(launcher, codepage)) {
        *problem = *refused;
        return false;
    }
    PlainFiles files{folder, codepage, {}, &progress};
    ExtractSink sink = {&files,         DecodeName,   CreateFolder, CreateEntryFile, AppendToFile,
                        CloseEntryFile, CopyToFolder, ReportEntry,  UINT32_MAX};
    PayloadSource source = {ReadStreamAt, static_cast<std::istream*>(&in), size};
    if (!ExtractThrough(&source, &sink)) {
        *problem = "damaged payload";
        return false;
    }
    return true;
}

}  // namespace qpack
