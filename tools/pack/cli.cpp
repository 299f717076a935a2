// Argument parsing, the help text and the dispatch to the four commands.
// Paths arrive in UTF-8 and become filesystem paths through u8string, so
// names outside the ANSI code page survive on Windows as well.
#include "tools/pack/cli.h"

#include "tools/pack/compress.h"
#include "tools/pack/compress_pool.h"
#include "tools/pack/extract.h"
#include "tools/pack/inspect.h"
#include "tools/pack/layout.h"
#include "tools/pack/names.h"
#include "tools/pack/progress.h"
#include "tools/pack/stamp.h"
#include "tools/pack/stub_search.h"
#include "tools/pack/version_info.h"

#include "qelvor_version.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace qpack {

namespace fs = std::filesystem;

namespace {

constexpr const char* PROGRAM = "qelvor-pack";

constexpr const char* HELP_TEXT = R"(qelvor-pack: builds and inspects qelvor setup launchers.

Usage:
  qelvor-pack create -o OUT [--stub STUB] [--level 0-12] [-j N] [-q]
                     [--no-setup] [--codepage CP] [VERSION OPTIONS]
                     [--icon FILE.ico] PATH...
  qelvor-pack stamp -o OUT [--stub STUB] [VERSION OPTIONS] [--icon FILE.ico]
  qelvor-pack list [--codepage CP] LAUNCHER
  qelvor-pack verify [-q] [--codepage CP] LAUNCHER
  qelvor-pack extract [-q] [--codepage CP] LAUNCHER DIR
  qelvor-pack help | --help
  qelvor-pack --version

create
  Writes OUT: the bytes of STUB (the launcher's executable as built), then
  the compressed content of every file, then the payload directory and the
  entry count. PATHs are files or flat folders, mixed freely; a folder
  contributes each file in it.
  Without --stub, STUB is qelvor-stub.exe found beside qelvor-pack, then in
  ../share/qelvor/ from qelvor-pack's folder (an installed tree), then in
  the dist/ folder of the source tree qelvor-pack was built in.
  Entries: entry 0 describes the stub and carries OUT's base name; the files
  follow sorted by name, byte by byte (so the order does not depend on the
  order of the PATHs or of the folder listing). The same inputs always give
  the same bytes.
  Each file is cut into pieces of 524288 bytes, each compressed on its own.
  An empty file gets no chunk at all; a file whose length is a multiple of
  524288 bytes ends with a full chunk. Unused directory bytes are zero.
  OUT's length is a multiple of 8: the stub is followed by up to 7 zero
  bytes, which entry 0 counts as part of it, so that a signing tool appends
  its certificate table without padding the file.
  OUT is written to OUT.qelvor-partial beside it and renamed at the end, so a
  refused or failed run leaves no OUT (an existing OUT stays as it was).
  --level N    0 stores without compression, 1 is fastest, 12 (the default)
               is smallest. The Linux and the Windows qelvor-pack write the
               same bytes for the same files and options.
  -j N         compress on N threads (1 to 256); the default is one per
               core. The output is the same for every N.
  --no-setup   accept a set without setup.exe (which the launcher starts).
  --codepage CP  the ANSI code page of the target systems (e.g. CP1252,
               CP936); names that are not plain ASCII are converted into it.
               Without it such names are refused.
  -q           no progress line.

  Version options (create and stamp) rewrite the version resource that
  Explorer's Properties show, in every language the stub carries, before
  the payload is appended; without them OUT begins with STUB's exact bytes.
  --file-version A.B.C.D     the file version (fixed part and FileVersion)
  --product-version A.B.C.D  the product version (fixed part and
               ProductVersion); each field is 0 to 65535
  --version-string NAME=VALUE  one string, repeatable. NAME is one of
               Comments, CompanyName, FileDescription, FileVersion,
               InternalName, LegalCopyright, LegalTrademarks,
               OriginalFilename, PrivateBuild, ProductName, ProductVersion,
               SpecialBuild; FileVersion and ProductVersion must be A.B.C.D
               and then set the fixed part too. The whole resource must stay
               within 65535 bytes.
  --icon FILE.ico  (create and stamp) the launcher's icon: icon groups 132
               (Explorer's) and 134 (the dialog's), in every language the
               stub carries, list FILE's images (BMP or PNG, up to 256
               pixels) instead of the stub's, which are removed. Like the
               version options, it keeps OUT from beginning with STUB's bytes.

  Refused, before anything is written (all reasons are listed):
  - no input files; a PATH that does not exist; a sub-folder inside a folder
    (a payload holds bare names only);
  - two names that are equal without regard to ASCII case;
  - a name that is not plain ASCII (without --codepage), or that does not
    convert into CP and read back from it as the same characters (in CP932
    the yen sign would be stored as the byte of a backslash);
  - a name with \ / : * ? " < > | or a control character, "." or "..", a name
    ending in "." or " ", a Windows device name (CON, PRN, AUX, NUL, CONIN$,
    CONOUT$, COM0-9, LPT0-9, COM and LPT with a superscript 1, 2 or 3; any
    case, with or without extension), Style or lang (the launcher's own
    sub-folders), or a name shaped like an 8.3 alias (SETUP~1.EXE: 1 to 6
    characters, ~ and digits, an extension of up to 3). These rules apply to
    the name's characters, as given and as read back from CP;
  - a name longer than 120 bytes (in CP): the launcher writes
    %TEMP%\qelvor\Style\NAME into a 260-byte buffer, and 120 leaves room for
    a temporary folder of over 100 characters;
  - a launcher of 4 GiB or more (all offsets are 32-bit), counted from the
    files' own sizes, naming the file that reaches it; an empty stub or a
    stub of 2 GiB or more;
  - a file over 50331648 bytes (96 chunks of 524288 bytes, one directory
    record) behind a stub that reads files of one record only (payload
    level 1, a stub older than qelvor 1.2.0): a longer file goes on in
    continuation records, which need a stub of level 2;
  - a set without setup.exe (any case), unless --no-setup;
  - a stub that is already signed: pack the unsigned stub, then sign OUT;
  - an OUT that is the stub or one of the input files;
  - a malformed version, an unknown NAME, a value too long for the version
    resource, a stub without a version resource (with version options);
  - an --icon FILE that is cut short, not an icon (reserved and type fields
    not 0 and 1), without images, with an image past its end or inside its
    directory, one that is neither a BMP (BITMAPINFOHEADER) nor a PNG, or
    one whose size disagrees with its directory entry.

stamp
  Writes OUT: STUB with its version resource rewritten by the version
  options and its icons by --icon, as create writes it at the start of a
  stamped launcher. A
  launcher stamped with the same options begins with OUT's bytes, which is
  how it is checked against the stub it was made from.

list
  Shows the stub size and, for each file, its size, packed size, chunks and
  ratio (packed size as a percentage of size), then the totals.

  list, verify and extract read launchers signed after packing (signtool,
  osslsigncode): the payload then ends where the certificate table and the
  zero padding before it begin. list and verify say that the file is signed
  and how large its certificate table is. A file whose PE headers name a
  certificate table that does not end the file on an 8-byte boundary is
  refused, as the launcher refuses it.

  --codepage CP  (list, verify, extract) the code page the names were
               packed for: names are read in it and judged by the
               launcher's rule, and shown in UTF-8. Without it a name
               outside ASCII is not judged, only counted in a note, and
               extract refuses to unpack it.

verify
  Checks the directory and decodes every chunk with the launcher's own
  decoder: the data_offset chain (entry 1 at stub size + 1), the totals,
  unpacked_size against ISIZE and the decoded length, entry 0, the
  directory starting where the last chunk ends, bare and case-blind unique
  names. Names each problem; prints "OK: ..." when there is none.

extract
  Creates DIR (and missing parents) and unpacks the launcher into it with
  the launcher's own extractor, including its Style\ and lang\ copies.

Exit status:
  0  success; the launcher is sound
  1  input refused, or a damaged payload
  2  usage error: unknown command or option, missing or bad argument
)";

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string ShownPath(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

struct UsageError {
    std::string message;
};

// What a command's arguments become.
struct Parsed {
    std::map<std::string, std::string> values;  // option -> value ("--level" -> "9")
    std::vector<std::pair<std::string, std::string>> every_value;  // all of them, in order
    std::vector<std::string> flags;     // options without value that were given
    std::vector<std::string> operands;  // everything else, in order
    bool Has(const std::string& flag) const {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    }
};

// A command's options: which take a value, which are flags, with aliases.
struct OptionSpec {
    std::map<std::string, std::string> valued;  // spelling -> canonical name
    std::map<std::string, std::string> flags;   // spelling -> canonical name
};

/* Options may come before, between or after operands; "--" ends them. */
Parsed ParseArgs(const std::vector<std::string>& args, const OptionSpec& known) {
    Parsed parsed;
    bool options_done = false;  // after "--" everything is an operand
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (auto v = known.valued.find(arg); v != known.valued.end()) {
            if (i + 1 == args.size()) {
                throw UsageError{"option " + arg + " needs a value"};
            }
            parsed.values[v->second] = args[++i];
            parsed.every_value.emplace_back(v->second, args[i]);
        } else if (auto f = known.flags.find(arg); f != known.flags.end()) {
            parsed.flags.push_back(f->second);
        } else {
            throw UsageError{"unknown option " + arg};
        }
    }
    return parsed;
}

int ParseLevel(const std::string& text) {
    int level = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), level);
    if (error != std::errc() || end != text.data() + text.size() || level < LEVEL_STORED ||
        level > LEVEL_MAX) {
        throw UsageError{"--level wants a number from 0 to 12, not '" + text + "'"};
    }
    return level;
}

unsigned ParseThreads(const std::string& text) {
    unsigned threads = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), threads);
    if (error != std::errc() || end != text.data() + text.size() || threads < 1 ||
        threads > MAX_THREADS) {
        throw UsageError{"-j wants a number of threads from 1 to " + std::to_string(MAX_THREADS) +
                         ", not '" + text + "'"};
    }
    return threads;
}

void PrintProblems(const std::vector<std::string>& problems, const std::string& prefix,
                   std::ostream& err) {
    for (const std::string& problem : problems) {
        err << PROGRAM << ": " << prefix << problem << "\n";
    }
}

/* A refusal that ends a command with EXIT_REFUSED before anything is
   written: a stub not found, a version option that cannot be used. */
struct Refusal {
    std::vector<std::string> problems;
};

/* The stub that --stub names, or the first one found from the packer's own
   place; none found names every place looked. */
fs::path ChooseStub(const Parsed& parsed) {
    if (auto stub = parsed.values.find("stub"); stub != parsed.values.end()) {
        return PathOf(stub->second);
    }
    std::vector<fs::path> places = StubCandidates(OwnExecutable());
    std::string looked;
    for (const fs::path& place : places) {
        std::error_code error;
        if (fs::is_regular_file(place, error)) {
            return place;
        }
        looked += "\n  " + ShownPath(place);
    }
    throw Refusal{
        {"no stub given and none found; looked for" + looked + "\nname one with --stub STUB"}};
}

// The options that stamp the stub (version and icon), shared by create and stamp.
const std::map<std::string, std::string> VERSION_OPTIONS = {
    {"--file-version", "file-version"},
    {"--product-version", "product-version"},
    {"--version-string", "version-string"},
    {"--icon", "icon"}};

/* The version options in the order given; every problem is collected. */
VersionStamp ParseStamp(const Parsed& parsed) {
    VersionStamp stamp;
    std::vector<std::string> problems;
    for (const auto& [option, value] : parsed.every_value) {
        if (option == "version-string") {
            if (std::optional<std::string> problem = AddVersionString(value, &stamp)) {
                problems.push_back(*problem);
            }
            continue;
        }
        if (option != "file-version" && option != "product-version") {
            continue;
        }
        std::optional<VersionQuad> quad = ParseVersionQuad(value);
        std::optional<VersionQuad>& fixed =
            option == "file-version" ? stamp.file_version : stamp.product_version;
        if (!quad) {
            problems.push_back("--" + option + " wants A.B.C.D with each field 0 to 65535, not '" +
                               value + "'");
        } else if (fixed && *fixed != *quad) {
            problems.push_back("--" + option + " " + value +
                               " disagrees with the version given before");
        } else {
            fixed = quad;
        }
    }
    if (!problems.empty()) {
        throw Refusal{problems};
    }
    return stamp;
}

/* The images of --icon's file; none without it. */
IconImages ParseIconOption(const Parsed& parsed) {
    auto file = parsed.values.find("icon");
    if (file == parsed.values.end()) {
        return {};
    }
    std::string problem;
    std::optional<IconImages> images = ReadIconFile(PathOf(file->second), &problem);
    if (!images) {
        throw Refusal{{"--icon " + file->second + ": " + problem}};
    }
    return *images;
}

OptionSpec WithVersionOptions(OptionSpec options) {
    options.valued.insert(VERSION_OPTIONS.begin(), VERSION_OPTIONS.end());
    return options;
}

int RunCreate(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Parsed parsed = ParseArgs(
        args,
        WithVersionOptions({{{"-o", "output"},
                             {"--output", "output"},
                             {"--stub", "stub"},
                             {"--level", "level"},
                             {"-j", "threads"},
                             {"--codepage", "codepage"}},
                            {{"-q", "quiet"}, {"--quiet", "quiet"}, {"--no-setup", "no-setup"}}}));
    if (!parsed.values.contains("output")) {
        throw UsageError{"create needs -o OUT"};
    }
    CreateOptions options;
    options.output = PathOf(parsed.values["output"]);
    options.stamp = ParseStamp(parsed);
    options.icon = ParseIconOption(parsed);
    options.stub = ChooseStub(parsed);
    if (parsed.values.contains("level")) {
        options.level = ParseLevel(parsed.values["level"]);
    }
    if (parsed.values.contains("threads")) {
        options.threads = ParseThreads(parsed.values["threads"]);
    }
    if (parsed.values.contains("codepage")) {
        options.codepage = parsed.values["codepage"];
        if (!CodepageKnown(options.codepage)) {
            throw UsageError{"unknown code page '" + options.codepage + "'"};
        }
    }
    options.require_setup = !parsed.Has("no-setup");
    for (const std::string& operand : parsed.operands) {
        options.inputs.push_back(PathOf(operand));
    }
    ProgressLine line(parsed.Has("quiet"));
    options.progress = [&line](size_t done, size_t total, const std::string& name) {
        line.Show("packing", done, total, name);
    };
    CreateResult result = CreateLauncher(options);
    line.Finish();
    if (!result.ok) {
        PrintProblems(result.problems, "refused: ", err);
        err << PROGRAM << ": nothing written\n";
        return EXIT_REFUSED;
    }
    if (!parsed.Has("quiet")) {
        out << "wrote " << parsed.values["output"] << ": " << result.entries << " entries, "
            << result.launcher_bytes << " bytes\n";
    }
    return EXIT_OK;
}

std::string OneOperand(const Parsed& parsed, const char* command, size_t count) {
    if (parsed.operands.size() != count) {
        throw UsageError{std::string(command) + " needs " +
                         (count == 1 ? "LAUNCHER" : "LAUNCHER DIR")};
    }
    return parsed.operands[0];
}

/* The --codepage value, checked; empty when not given. */
std::string CodepageOption(const Parsed& parsed) {
    auto value = parsed.values.find("codepage");
    if (value == parsed.values.end()) {
        return "";
    }
    if (!CodepageKnown(value->second)) {
        throw UsageError{"unknown code page '" + value->second + "'"};
    }
    return value->second;
}

int RunList(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Parsed parsed = ParseArgs(args, {{{"--codepage", "codepage"}}, {}});
    std::vector<std::string> problems;
    if (!ListLauncher(PathOf(OneOperand(parsed, "list", 1)), out, &problems,
                      CodepageOption(parsed))) {
        PrintProblems(problems, "", err);
        return EXIT_REFUSED;
    }
    return EXIT_OK;
}

int RunVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Parsed parsed =
        ParseArgs(args, {{{"--codepage", "codepage"}}, {{"-q", "quiet"}, {"--quiet", "quiet"}}});
    fs::path launcher = PathOf(OneOperand(parsed, "verify", 1));
    ProgressLine line(parsed.Has("quiet"));
    VerifyReport report =
        VerifyLauncher(launcher, CodepageOption(parsed),
                       [&line](size_t done, size_t total, const std::string& name) {
                           line.Show("verifying", done, total, name);
                       });
    line.Finish();
    if (!report.signature.empty()) {
        out << report.signature << "\n";
    }
    if (std::string note = UncheckedNote(report.unchecked_names); !note.empty()) {
        out << note << "\n";
    }
    if (!report.problems.empty()) {
        PrintProblems(report.problems, "", err);
        err << PROGRAM << ": " << report.problems.size() << " problem"
            << (report.problems.size() == 1 ? "" : "s") << " found\n";
        return EXIT_REFUSED;
    }
    out << "OK: " << report.entries << " entries, " << report.chunks << " chunks, "
        << report.content_bytes << " bytes of content\n";
    return EXIT_OK;
}

int RunExtract(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Parsed parsed =
        ParseArgs(args, {{{"--codepage", "codepage"}}, {{"-q", "quiet"}, {"--quiet", "quiet"}}});
    OneOperand(parsed, "extract", 2);
    std::string codepage = CodepageOption(parsed);
    ProgressLine line(parsed.Has("quiet"));
    std::string problem;
    size_t files = 0;  // entries reported by the extractor
    bool ok = ExtractLauncher(
        PathOf(parsed.operands[0]), PathOf(parsed.operands[1]),
        [&](size_t done, size_t total) {
            files = done;
            line.Show("extracting", done, total, "");
        },
        codepage, &problem);
    line.Finish();
    if (!ok) {
        err << PROGRAM << ": " << problem << "\n";
        return EXIT_REFUSED;
    }
    if (!parsed.Has("quiet")) {
        out << "extracted " << files << " files into " << parsed.operands[1] << "\n";
    }
    return EXIT_OK;
}

/* The stub alone, stamped as create would stamp it, written through a
   temporary file so that a failure leaves no OUT. */
int RunStamp(const std::vector<std::string>& args, std::ostream& out, std::ostream&) {
    Parsed parsed = ParseArgs(
        args, WithVersionOptions({{{"-o", "output"}, {"--output", "output"}, {"--stub", "stub"}},
                                  {{"-q", "quiet"}, {"--quiet", "quiet"}}}));
    if (!parsed.values.contains("output") || !parsed.operands.empty()) {
        throw UsageError{"stamp needs -o OUT and version or icon options, and no PATH"};
    }
    VersionStamp stamp = ParseStamp(parsed);
    IconImages icon = ParseIconOption(parsed);
    if (stamp.Empty() && icon.empty()) {
        throw UsageError{
            "stamp needs --file-version, --product-version, --version-string or --icon"};
    }
    fs::path output = PathOf(parsed.values["output"]);
    fs::path stub = ChooseStub(parsed);
    std::error_code error;
    if (fs::equivalent(output, stub, error) && !error) {
        throw Refusal{
            {"-o " + parsed.values["output"] + " names the stub, which it would overwrite"}};
    }
    std::ifstream in(stub, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        throw Refusal{{"cannot read the stub " + ShownPath(stub)}};
    }
    std::string problem;
    std::optional<Bytes> stamped = StampStub(bytes, stamp, icon, &problem);
    if (!stamped) {
        throw Refusal{{"cannot stamp " + ShownPath(stub) + ": " + problem}};
    }
    fs::path temp = output;
    temp += ".qelvor-partial";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(stamped->data()),
                   static_cast<std::streamsize>(stamped->size()));
        file.close();
        if (!file) {
            fs::remove(temp, error);
            throw Refusal{{"cannot write " + ShownPath(temp)}};
        }
    }
    fs::rename(temp, output, error);
    if (error) {
        fs::remove(temp, error);
        throw Refusal{{"cannot rename " + ShownPath(temp) + " to " + parsed.values["output"]}};
    }
    if (!parsed.Has("quiet")) {
        out << "wrote " << parsed.values["output"] << ": " << stamped->size() << " bytes\n";
    }
    return EXIT_OK;
}

int RunVersion(const std::vector<std::string>&, std::ostream& out, std::ostream&) {
    out << PROGRAM << " " << QELVOR_VERSION << "\n";
    return EXIT_OK;
}

using Command = std::function<int(const std::vector<std::string>&, std::ostream&, std::ostream&)>;

int RunHelp(const std::vector<std::string>&, std::ostream& out, std::ostream&) {
    out << HELP_TEXT;
    return EXIT_OK;
}

const std::map<std::string, Command> COMMANDS = {
    {"create", RunCreate},   {"list", RunList},   {"verify", RunVerify},
    {"extract", RunExtract}, {"help", RunHelp},   {"--help", RunHelp},
    {"-h", RunHelp},         {"stamp", RunStamp}, {"--version", RunVersion}};

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << PROGRAM << ": no command (try '" << PROGRAM << " --help')\n";
        return EXIT_USAGE;
    }
    auto command = COMMANDS.find(args[0]);
    if (command == COMMANDS.end()) {
        err << PROGRAM << ": unknown command '" << args[0] << "' (try '" << PROGRAM
            << " --help')\n";
        return EXIT_USAGE;
    }
    try {
        return command->second(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
    } catch (const Refusal& refusal) {
        PrintProblems(refusal.problems, "refused: ", err);
        err << PROGRAM << ": nothing written\n";
        return EXIT_REFUSED;
    } catch (const UsageError& usage) {
        err << PROGRAM << ": " << usage.message << " (try '" << PROGRAM << " --help')\n";
        return EXIT_USAGE;
    } catch (const std::exception& failure) {
        err << PROGRAM << ": " << failure.what() << "\n";
        return EXIT_REFUSED;
    }
}

}  // namespace qpack
