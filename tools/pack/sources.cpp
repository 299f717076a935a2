// Turning the command line's paths into the checked, ordered set of files
// that go into a payload. Every problem is collected, not just the first, so
// the vendor can fix a folder in one go; nothing is read beyond sizes and
// names here.
#include "tools/pack/layout.h"

#include "tools/pack/names.h"

#include <algorithm>
#include <map>
#include <system_error>

namespace qpack {

namespace fs = std::filesystem;

namespace {

std::string Utf8Name(const fs::path& path) {
    std::u8string name = path.filename().u8string();
    return std::string(name.begin(), name.end());
}

std::string Shown(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

/* A regular file, checked for its name and size, joins the set. */
void AddFile(const fs::path& path, const CreateOptions& options, InputSet* set) {
    InputFile file;
    file.path = path;
    file.utf8_name = Utf8Name(path);
    std::error_code error;
    file.size = fs::file_size(path, error);
    if (error) {
        set->problems.push_back(Shown(path) + ": cannot read its size: " + error.message());
        return;
    }
    std::string problem;
    std::optional<std::string> stored =
        CheckName(file.utf8_name, options.codepage, MAX_NAME_BYTES, &problem);
    if (!stored) {
        set->problems.push_back(Shown(path) + ": " + problem);
        return;
    }
    file.stored_name = *stored;
    if (fs::exists(options.output, error) && fs::equivalent(path, options.output, error)) {
        set->problems.push_back(Shown(path) + ": is the output file itself (an earlier launcher?)");
        return;
    }
    set->files.push_back(std::move(file));
}

/* A folder gives its regular files; a payload holds bare names, so a
   sub-folder (or anything that is neither file nor folder) refuses the set. */
void AddFolder(const fs::path& folder, const CreateOptions& options, InputSet* set) {
    std::error_code error;
    std::vector<fs::path> members;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        members.push_back(it->path());
    }
    if (error) {
        set->problems.push_back(Shown(folder) + ": cannot list the folder: " + error.message());
        return;
    }
    for (const fs::path& member : members) {
        if (fs::is_directory(member, error)) {
            set->problems.push_back(Shown(member) +
                                    ": sub-folders are not allowed (a payload holds bare names)");
        } else if (fs::is_regular_file(member, error)) {
            AddFile(member, options, set);
        } else {
            set->problems.push_back(Shown(member) + ": not a regular file");
        }
    }
}

/* Checks of the set as a whole: case-blind duplicates, setup.exe, the
   32-bit size of the launcher. The compressed size is only known while
   writing, so the content's own size counts here, file by file in payload
   order, and the file that takes the launcher to 4 GiB is named. */
void CheckSet(const CreateOptions& options, uint64_t stub_size, InputSet* set) {
    std::map<std::string, std::string> seen;  // folded name -> first path with it
    for (const InputFile& file : set->files) {
        auto [it, fresh] = seen.emplace(FoldCase(file.utf8_name), Shown(file.path));
        if (!fresh) {
            set->problems.push_back(Shown(file.path) + ": name '" + file.utf8_name +
                                    "' is already taken by " + it->second +
                                    " (names must differ without regard to case)");
        }
    }
    if (set->files.empty() && set->problems.empty()) {
        set->problems.push_back("no input files");
    }
    if (options.require_setup && !set->files.empty() && !seen.contains(SETUP_NAME)) {
        set->problems.push_back("the set has no setup.exe (use --no-setup to pack it anyway)");
    }
    uint64_t bytes = stub_size + PAYLOAD_COUNT_SIZE + PAYLOAD_ENTRY_SIZE;  // stub, entry 0, count
    for (const InputFile& file : set->files) {
        bytes += RecordsFor(file.size) * PAYLOAD_ENTRY_SIZE + file.size;
        if (bytes > MAX_LAUNCHER_BYTES) {
            set->problems.push_back(Shown(file.path) + ": " + std::to_string(file.size) +
                                    " bytes take the launcher to " + std::to_string(bytes) +
                                    " bytes or more; it must stay below 4 GiB");
            break;
        }
    }
}

}  // namespace

InputSet CollectInputs(const CreateOptions& options) {
    InputSet set;
    std::error_code error;
    uint64_t stub_size = fs::file_size(options.stub, error);
    if (error) {
        stub_size = 0;
        set.problems.push_back("stub " + Shown(options.stub) + ": " + error.message());
    } else if (stub_size == 0) {
        set.problems.push_back("stub " + Shown(options.stub) + " is empty");
    } else if (stub_size > MAX_STUB_BYTES) {
        set.problems.push_back("stub " + Shown(options.stub) + " is 2 GiB or larger");
    }
    std::string problem;
    if (!CheckName(Utf8Name(options.output), options.codepage, MAX_STUB_NAME_BYTES, &problem)) {
        set.problems.push_back("output " + Shown(options.output) + ": " + problem);
    }
    for (const fs::path& input : options.inputs) {
        if (fs::is_directory(input, error)) {
            AddFolder(input, options, &set);
        } else if (fs::is_regular_file(input, error)) {
            AddFile(input, options, &set);
        } else {
            set.problems.push_back(Shown(input) + ": no such file or folder");
        }
    }
    std::sort(set.files.begin(), set.files.end(),
              [](const InputFile& a, const InputFile& b) { return a.utf8_name < b.utf8_name; });
    CheckSet(options, stub_size, &set);
    return set;
}

}  // namespace qpack
