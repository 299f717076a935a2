// The qelvor-pack program end to end: create, verify, list and extract run
// as separate processes (under Wine for the Windows build), the extracted
// files compared with the originals; exit statuses and messages of usage
// errors, refusals and damaged payloads. QELVOR_STUB names a real stub for
// the commands that stamp one.
#include "tests/pack/support.h"

#include "qelvor_version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

using namespace packtest;

constexpr size_t PIECE = PAYLOAD_PIECE_SIZE;

struct RoundTripCase {
    const char* label;
    std::vector<size_t> sizes;  // besides setup.exe
    const char* level;
    bool compressible;
};

class RoundTripTest : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTripTest, CreateVerifyExtractGivesTheSameFiles) {
    ASSERT_TRUE(HavePackProgram());
    const RoundTripCase& c = GetParam();
    ScratchDir dir;
    fs::create_directories(dir / "set");
    WriteFile(dir / "stub.exe", MakeContent(2048, 11, false));
    std::vector<std::pair<std::string, Bytes>> files;
    files.emplace_back("setup.exe", MakeContent(3000, 12, c.compressible));
    for (size_t i = 0; i < c.sizes.size(); ++i) {
        files.emplace_back("file" + std::to_string(i) + ".dat",
                           MakeContent(c.sizes[i], 100 + static_cast<uint32_t>(i), c.compressible));
    }
    for (const auto& [name, content] : files) {
        WriteFile(dir / "set" / name, content);
    }
    std::string launcher = (dir / "launcher.exe").string();
    RunResult create =
        RunPack({"create", "-q", "-o", launcher, "--stub", (dir / "stub.exe").string(), "--level",
                 c.level, (dir / "set").string()});
    ASSERT_EQ(create.status, 0) << create.err;
    EXPECT_EQ(create.out, "") << "-q keeps create silent";

    RunResult verify = RunPack({"verify", launcher});
    ASSERT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out.rfind("OK: " + std::to_string(files.size() + 1) + " entries", 0), 0u)
        << verify.out;

    RunResult extract = RunPack({"extract", "-q", launcher, (dir / "x" / "deeper").string()});
    ASSERT_EQ(extract.status, 0) << extract.err;
    for (const auto& [name, content] : files) {
        EXPECT_EQ(ReadFile(dir / "x" / "deeper" / name), content) << name;
    }
    std::vector<std::string> expected{"Style/", "lang/"};
    for (const auto& file : files) {
        expected.push_back(file.first);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FolderListing(dir / "x" / "deeper"), expected);
}

// The "Compressed" cases need the launcher's Huffman-block decoder; the
// level-0 cases only its stored blocks.
INSTANTIATE_TEST_SUITE_P(
    Sets, RoundTripTest,
    testing::Values(
        RoundTripCase{"StoredSmall", {0, 1}, "0", true},
        RoundTripCase{"StoredPieceBoundaries", {PIECE - 1, PIECE, PIECE + 1}, "0", false},
        RoundTripCase{"StoredLargestFile", {96 * PIECE}, "0", false},
        RoundTripCase{"CompressedDefaultLevel", {0, 1, PIECE - 1, PIECE, PIECE + 1}, "12", true},
        RoundTripCase{"CompressedDefaultLevelNoise", {70000, PIECE + 1}, "12", false},
        RoundTripCase{"CompressedLevel1", {5000, 2 * PIECE}, "1", true},
        RoundTripCase{"CompressedLevel6", {5000, PIECE + 77}, "6", true}),
    [](const testing::TestParamInfo<RoundTripCase>& info) {
        return std::string(info.param.label);
    });

struct UsageCase {
    const char* label;
    std::vector<std::string> args;  // "@" stands for the scratch folder
    int status;
    const char* message;  // in standard error, or in standard output for help
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, ExitStatusAndMessage) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(20, 1));
    WriteFile(dir / "setup.exe", Bytes(20, 2));
    WriteFile(dir / "a.dll", Bytes(20, 3));
    std::vector<std::string> args;
    for (std::string arg : GetParam().args) {
        if (arg[0] == '@') {
            arg = (dir.path() / arg.substr(1)).string();
        }
        args.push_back(arg);
    }
    RunResult run = RunPack(args);
    EXPECT_EQ(run.status, GetParam().status) << run.err;
    EXPECT_NE((run.err + run.out).find(GetParam().message), std::string::npos)
        << run.err << run.out;
    if (GetParam().status != 0) {
        EXPECT_FALSE(fs::exists(dir / "out.exe")) << "a failed run writes nothing";
        EXPECT_FALSE(fs::exists(dir / "out.exe.qelvor-partial"));
    }
    EXPECT_EQ(ReadFile(dir / "stub.exe"), Bytes(20, 1)) << "the stub was overwritten";
    EXPECT_EQ(ReadFile(dir / "setup.exe"), Bytes(20, 2)) << "an input was overwritten";
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsageTest,
    testing::Values(
        UsageCase{"NoCommand", {}, 2, "no command"},
        UsageCase{"UnknownCommand", {"pack"}, 2, "unknown command 'pack'"},
        UsageCase{"Help", {"help"}, 0, "Exit status:"},
        UsageCase{"DashDashHelp", {"--help"}, 0, "--codepage CP"},
        UsageCase{"CreateWithoutOutput",
                  {"create", "--stub", "@stub.exe", "@setup.exe"},
                  2,
                  "create needs -o OUT"},
        UsageCase{"UnknownOption",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--fast", "@setup.exe"},
                  2,
                  "unknown option --fast"},
        UsageCase{
            "LevelTooHigh",
            {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--level", "13", "@setup.exe"},
            2,
            "--level wants a number from 0 to 12"},
        UsageCase{"LevelMissingValue",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--level"},
                  2,
                  "option --level needs a value"},
        UsageCase{
            "ThreadsThree",
            {"create", "-q", "-j", "3", "-o", "@out.exe", "--stub", "@stub.exe", "@setup.exe"},
            0,
            ""},
        UsageCase{"ThreadsZero",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "-j", "0", "@setup.exe"},
                  2,
                  "-j wants a number of threads from 1 to 256, not '0'"},
        UsageCase{"ThreadsNotANumber",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "-j", "2x", "@setup.exe"},
                  2,
                  "-j wants a number of threads from 1 to 256, not '2x'"},
        UsageCase{"ThreadsTooMany",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "-j", "257", "@setup.exe"},
                  2,
                  "-j wants a number of threads"},
        UsageCase{"UnknownCodepage",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--codepage", "CP99999",
                   "@setup.exe"},
                  2,
                  "unknown code page"},
        UsageCase{"NoSetupRefused",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "@a.dll"},
                  1,
                  "refused: the set has no setup.exe"},
        UsageCase{"NoSetupAllowed",
                  {"create", "-q", "-o", "@out.exe", "--stub", "@stub.exe", "--no-setup", "@a.dll"},
                  0,
                  ""},
        UsageCase{"NoInputs",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe"},
                  1,
                  "refused: no input files"},
        UsageCase{"ListWithoutLauncher", {"list"}, 2, "list needs LAUNCHER"},
        UsageCase{
            "ExtractWithoutFolder", {"extract", "@stub.exe"}, 2, "extract needs LAUNCHER DIR"},
        UsageCase{"VerifyNotALauncher", {"verify", "@stub.exe"}, 1, "entry count"},
        UsageCase{"ListNotALauncher", {"list", "@stub.exe"}, 1, "entry count"},
        UsageCase{"Version", {"--version"}, 0, "qelvor-pack " QELVOR_VERSION},
        UsageCase{"OutputIsTheStub",
                  {"create", "-o", "@stub.exe", "--stub", "@stub.exe", "@setup.exe"},
                  1,
                  "names the stub"},
        UsageCase{"OutputIsAnInput",
                  {"create", "-o", "@setup.exe", "--stub", "@stub.exe", "@setup.exe"},
                  1,
                  "is the output file itself"},
        UsageCase{"MalformedFileVersion",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--file-version", "1.2.3",
                   "@setup.exe"},
                  1,
                  "--file-version wants A.B.C.D"},
        UsageCase{"ProductVersionFieldTooLarge",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--product-version",
                   "1.2.3.65536", "@setup.exe"},
                  1,
                  "--product-version wants A.B.C.D"},
        UsageCase{"UnknownVersionName",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--version-string",
                   "Author=me", "@setup.exe"},
                  1,
                  "unknown version string name 'Author'"},
        UsageCase{"StubWithoutVersionResource",
                  {"create", "-o", "@out.exe", "--stub", "@stub.exe", "--version-string",
                   "ProductName=X", "@setup.exe"},
                  1,
                  "cannot stamp "},
        UsageCase{"StampWithoutVersionOptions",
                  {"stamp", "-o", "@out.exe", "--stub", "@stub.exe"},
                  2,
                  "stamp needs --file-version"}),
    [](const testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.label); });

// -o naming the stub through another path or a hard link: create and stamp
// compare files, not spellings, so they refuse it and the stub stays.
struct StubAsOutput {
    const char* label;
    const char* command;  // create or stamp
    const char* output;   // in the scratch folder; link.exe is a hard link to stub.exe
};

class StubAsOutputTest : public testing::TestWithParam<StubAsOutput> {};

TEST_P(StubAsOutputTest, IsRefusedAndTheStubKept) {
    ASSERT_TRUE(HavePackProgram());
    const char* real = std::getenv("QELVOR_STUB");  // a stub that stamps
    ASSERT_TRUE(real != nullptr && fs::exists(real)) << "no stub at QELVOR_STUB";
    ScratchDir dir;
    Bytes stub = ReadFile(real);
    WriteFile(dir / "stub.exe", stub);
    WriteFile(dir / "setup.exe", Bytes(20, 2));
    fs::create_directories(dir / "sub");
    fs::create_hard_link(dir / "stub.exe", dir / "link.exe");
    std::vector<std::string> args = {GetParam().command,
                                     "-q",
                                     "-o",
                                     (dir.path() / GetParam().output).string(),
                                     "--stub",
                                     (dir / "stub.exe").string(),
                                     "--file-version",
                                     "1.2.3.4"};
    if (std::string(GetParam().command) == "create") {
        args.push_back((dir / "setup.exe").string());
    }
    RunResult run = RunPack(args);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("names the stub"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadFile(dir / "stub.exe") == stub) << "the stub was overwritten";
    EXPECT_TRUE(ReadFile(dir / "link.exe") == stub) << "the link was replaced";
}

INSTANTIATE_TEST_SUITE_P(Table, StubAsOutputTest,
                         testing::Values(StubAsOutput{"CreateDot", "create", "./stub.exe"},
                                         StubAsOutput{"CreateParent", "create", "sub/../stub.exe"},
                                         StubAsOutput{"CreateHardLink", "create", "link.exe"},
                                         StubAsOutput{"StampDot", "stamp", "./stub.exe"},
                                         StubAsOutput{"StampParent", "stamp", "sub/../stub.exe"},
                                         StubAsOutput{"StampHardLink", "stamp", "link.exe"}),
                         [](const testing::TestParamInfo<StubAsOutput>& info) {
                             return info.param.label;
                         });

// A broken --icon file, made from a sound one (a 16-pixel 32-bit DIB at
// bytes 38 to 1166, a 256-pixel PNG at 1166 to 1211), and the refusal.
struct BrokenIcon {
    const char* label;
    void (*change)(Bytes& icon);  // nullptr: no file at all
    const char* message;
};

class BrokenIconTest : public testing::TestWithParam<BrokenIcon> {};

TEST_P(BrokenIconTest, CreateAndStampRefuseItAndWriteNothing) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(20, 1));
    WriteFile(dir / "setup.exe", Bytes(20, 2));
    Bytes icon = IconFile({{16, 32, false}, {256, 32, true}});
    ASSERT_EQ(icon.size(), 1211u);
    if (GetParam().change != nullptr) {
        GetParam().change(icon);
        WriteFile(dir / "v.ico", icon);
    }
    std::string path = (dir / "v.ico").string();
    for (const char* command : {"create", "stamp"}) {
        std::vector<std::string> args = {
            command,  "-o", (dir / "out.exe").string(), "--stub", (dir / "stub.exe").string(),
            "--icon", path};
        if (std::string(command) == "create") {
            args.push_back((dir / "setup.exe").string());
        }
        RunResult run = RunPack(args);
        std::erase(run.err, '\r');  // the Windows program's text-mode lines
        EXPECT_EQ(run.status, 1) << command;
        EXPECT_EQ(run.err, "qelvor-pack: refused: --icon " + path + ": " + GetParam().message +
                               "\nqelvor-pack: nothing written\n")
            << command;
        EXPECT_EQ(run.out, "") << command;
        EXPECT_FALSE(fs::exists(dir / "out.exe")) << command;
        EXPECT_FALSE(fs::exists(dir / "out.exe.qelvor-partial")) << command;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BrokenIconTest,
    testing::Values(
        BrokenIcon{"Missing", nullptr, "cannot read it"},
        BrokenIcon{"HeaderCutShort", [](Bytes& b) { b.resize(4); },
                   "cut short: 4 bytes, where an icon file's header takes 6"},
        BrokenIcon{"Cursor", [](Bytes& b) { b[2] = 2; },
                   "not an icon file: its header's reserved and type fields are 0 and 2, not 0 "
                   "and 1"},
        BrokenIcon{"ReservedSet", [](Bytes& b) { b[0] = 1; },
                   "not an icon file: its header's reserved and type fields are 1 and 1, not 0 "
                   "and 1"},
        BrokenIcon{"NoImages", [](Bytes& b) { b[4] = 0; }, "no images: its header's count is 0"},
        BrokenIcon{"DirectoryCutShort", [](Bytes& b) { b.resize(22); },
                   "cut short: its directory of 2 images takes 38 bytes, the file has 22"},
        BrokenIcon{"ImagePastTheEnd", [](Bytes& b) { b.resize(1210); },
                   "image 2 of 2 (bytes 1166 to 1211) runs past the file's end at 1210"},
        BrokenIcon{"ImageInsideTheDirectory", [](Bytes& b) { PutU32(b, 6 + 12, 30); },
                   "image 1 of 2 starts at byte 30, inside the directory, which ends at 38"},
        BrokenIcon{"NeitherBmpNorPng", [](Bytes& b) { b[38] = 41; },
                   "image 1 of 2 is neither a BMP image (a BITMAPINFOHEADER) nor a PNG image"},
        BrokenIcon{"BmpWidthDisagrees", [](Bytes& b) { b[6] = 32; },
                   "image 1 of 2 is 32x16 in the directory but 16x16 in its BITMAPINFOHEADER "
                   "(biWidth 16, biHeight 32)"},
        BrokenIcon{"PngSizeDisagrees", [](Bytes& b) { b[22] = b[23] = 48; },
                   "image 2 of 2 is 48x48 in the directory but 256x256 in its PNG header"},
        BrokenIcon{"BmpShorterThanItsBitmaps", [](Bytes& b) { PutU32(b, 6 + 8, 1124); },
                   "image 1 of 2 holds 1124 bytes, but its header, palette and bitmaps take 1128"},
        BrokenIcon{"BmpOfTwoBits", [](Bytes& b) { b[38 + 14] = 2; },
                   "image 1 of 2's BITMAPINFOHEADER gives biPlanes 1 and biBitCount 2, not 1 "
                   "and one of 1, 4, 8, 16, 24, 32"},
        BrokenIcon{"PngWithoutHeader", [](Bytes& b) { b[1166 + 12] = 'X'; },
                   "image 2 of 2 is a PNG image without its header (IHDR) after the signature"}),
    [](const testing::TestParamInfo<BrokenIcon>& info) { return info.param.label; });

// create with --icon, alone and with the version options, begins with what
// stamp writes for the same options, and that is not the stub.
TEST(IconStamp, CreateBeginsWithTheStubStampWrites) {
    ASSERT_TRUE(HavePackProgram());
    const char* real = std::getenv("QELVOR_STUB");
    ASSERT_TRUE(real != nullptr && fs::exists(real)) << "no stub at QELVOR_STUB";
    ScratchDir dir;
    WriteFile(dir / "setup.exe", MakeContent(3000, 5, true));
    WriteFile(dir / "v.ico", IconFile({{16, 8, false}, {32, 32, false}, {256, 32, true}}));
    const std::vector<std::string> version = {"--file-version", "3.1.4.1", "--version-string",
                                              "ProductName=Acme Tool"};
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, version}) {
        std::vector<std::string> options = {"-q", "--stub", real, "--icon",
                                            (dir / "v.ico").string()};
        options.insert(options.end(), extra.begin(), extra.end());
        std::vector<std::string> create = {"create", "-o", (dir / "l.exe").string()};
        std::vector<std::string> stamp = {"stamp", "-o", (dir / "s.exe").string()};
        create.insert(create.end(), options.begin(), options.end());
        create.push_back((dir / "setup.exe").string());
        stamp.insert(stamp.end(), options.begin(), options.end());
        RunResult created = RunPack(create), stamped = RunPack(stamp);
        ASSERT_EQ(created.status, 0) << created.err;
        ASSERT_EQ(stamped.status, 0) << stamped.err;
        Bytes launcher = ReadFile(dir / "l.exe"), stub = ReadFile(dir / "s.exe");
        EXPECT_TRUE(stub != ReadFile(real)) << extra.size();
        ASSERT_GE(launcher.size(), stub.size());
        EXPECT_TRUE(std::equal(stub.begin(), stub.end(), launcher.begin())) << extra.size();
        EXPECT_EQ(RunPack({"verify", "-q", (dir / "l.exe").string()}).status, 0);
    }
}

// A launcher with one damaged CRC byte in setup.exe's chunk.
std::string DamagedLauncher(const ScratchDir& dir) {
    WriteFile(dir / "stub.exe", Bytes(20, 1));
    WriteFile(dir / "setup.exe", MakeContent(5000, 9, true));
    std::string launcher = (dir / "l.exe").string();
    EXPECT_EQ(RunPack({"create", "-q", "--level", "0", "-o", launcher, "--stub",
                       (dir / "stub.exe").string(), (dir / "setup.exe").string()})
                  .status,
              0);
    Bytes bytes = ReadFile(launcher);
    bytes[RecordOffset(bytes, 0, 0) - 8] ^= 0x80;  // the CRC-32 of the last member
    WriteFile(launcher, bytes);
    return launcher;
}

TEST(DamagedLauncher, VerifyNamesTheChunkAndExtractFails) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    std::string launcher = DamagedLauncher(dir);
    RunResult verify = RunPack({"verify", launcher});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.err.find("entry 1 'setup.exe': chunk 0: CRC-32 mismatch"), std::string::npos)
        << verify.err;
    RunResult extract = RunPack({"extract", launcher, (dir / "x").string()});
    EXPECT_EQ(extract.status, 1);
    EXPECT_NE(extract.err.find("damaged payload"), std::string::npos) << extract.err;
}

// Signed after packing (the packer leaves nothing to pad): every command
// reads it; verify and list say so; a changed chunk byte is named.
TEST(SignedLauncher, VerifyListAndExtractReadItAndVerifyNamesAChangedChunk) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    WriteFile(dir / "stub.exe", PeStub(777));
    Bytes setup = MakeContent(5000, 9, true);
    WriteFile(dir / "setup.exe", setup);
    std::string launcher = (dir / "l.exe").string();
    ASSERT_EQ(RunPack({"create", "-q", "--level", "0", "-o", launcher, "--stub",
                       (dir / "stub.exe").string(), (dir / "setup.exe").string()})
                  .status,
              0);
    Bytes bytes = ReadFile(launcher);
    size_t crc_at = RecordOffset(bytes, 0, 0) - 8;  // the CRC-32 of the last member
    EXPECT_EQ(SignLikeATool(bytes, 2000), 0u);
    WriteFile(launcher, bytes);
    const std::string line = "signed: certificate table of 2000 bytes after the payload";

    RunResult verify = RunPack({"verify", "-q", launcher});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out.rfind(line, 0), 0u) << verify.out;
    EXPECT_NE(verify.out.find("OK: 2 entries, 1 chunks, 5000 bytes of content"), std::string::npos)
        << verify.out;
    RunResult list = RunPack({"list", launcher});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find(line), std::string::npos) << list.out;
    RunResult extract = RunPack({"extract", "-q", launcher, (dir / "x").string()});
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(ReadFile(dir / "x" / "setup.exe"), setup);

    bytes[crc_at] ^= 0x80;
    WriteFile(launcher, bytes);
    verify = RunPack({"verify", "-q", launcher});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.err.find("entry 1 'setup.exe': chunk 0: CRC-32 mismatch"), std::string::npos)
        << verify.err;
}

// A certificate table followed by a copy of the payload's directory and
// count: every command refuses the file and says why.
TEST(SignedLauncher, TableNotEndingTheFileIsRefusedByEveryCommand) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    WriteFile(dir / "stub.exe", PeStub(777));
    WriteFile(dir / "setup.exe", MakeContent(500, 9, true));
    std::string launcher = (dir / "l.exe").string();
    ASSERT_EQ(RunPack({"create", "-q", "-o", launcher, "--stub", (dir / "stub.exe").string(),
                       (dir / "setup.exe").string()})
                  .status,
              0);
    Bytes bytes = ReadFile(launcher);
    Bytes tail(bytes.begin() + static_cast<std::ptrdiff_t>(RecordOffset(bytes, 0, 0)), bytes.end());
    SignLikeATool(bytes, 2000);
    bytes.insert(bytes.end(), tail.begin(), tail.end());  // the plain rule would read this
    WriteFile(launcher, bytes);
    for (std::vector<std::string> args : {std::vector<std::string>{"verify", launcher},
                                          {"list", launcher},
                                          {"extract", launcher, (dir / "x").string()}}) {
        RunResult run = RunPack(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_NE(run.err.find("does not end the"), std::string::npos) << args[0] << run.err;
    }
}

// Names outside ASCII, packed for Shift-JIS: 0x95 0x5C and the half-width
// katakana 0xB9 after COM are valid names there. Without --codepage they
// are counted as unchecked, never called invalid; with it they pass.
TEST(CodepageNames, VerifyListAndExtractReadThemInTheCodePage) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(20, 1));
    fs::create_directories(dir / "set");
    Bytes content = MakeContent(300, 4, true);
    WriteFile(dir / "set" / "setup.exe", content);
    WriteFile(dir / "set" / fs::path(u8"\u8868.txt"), content);
    WriteFile(dir / "set" / fs::path(u8"COM\uFF79"), content);
    std::string launcher = (dir / "l.exe").string();
    RunResult create = RunPack({"create", "-q", "--codepage", "CP932", "-o", launcher, "--stub",
                                (dir / "stub.exe").string(), (dir / "set").string()});
    ASSERT_EQ(create.status, 0) << create.err;

    RunResult verify = RunPack({"verify", "-q", launcher});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_NE(verify.out.find("note: 2 names are outside ASCII"), std::string::npos) << verify.out;
    verify = RunPack({"verify", "-q", "--codepage", "932", launcher});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out.find("note:"), std::string::npos) << verify.out;
    RunResult list = RunPack({"list", "--codepage", "CP932", launcher});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("\xE8\xA1\xA8.txt "), std::string::npos) << list.out;

    RunResult extract = RunPack({"extract", "-q", launcher, (dir / "x").string()});
    EXPECT_EQ(extract.status, 1);
    EXPECT_NE(extract.err.find("--codepage"), std::string::npos) << extract.err;
#ifndef _WIN32  // Windows reads names in its own ANSI code page only
    extract = RunPack({"extract", "-q", "--codepage", "CP932", launcher, (dir / "x").string()});
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(ReadFile(dir / "x" / fs::path(u8"\u8868.txt")), content);
    EXPECT_EQ(ReadFile(dir / "x" / fs::path(u8"COM\uFF79")), content);
#endif
}

TEST(ListProgram, PrintsOneRowPerFile) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    WriteFile(dir / "stub.exe", Bytes(20, 1));
    WriteFile(dir / "setup.exe", Bytes(1000, 'a'));
    std::string launcher = (dir / "l.exe").string();
    ASSERT_EQ(RunPack({"create", "-q", "--level", "0", "-o", launcher, "--stub",
                       (dir / "stub.exe").string(), (dir / "setup.exe").string()})
                  .status,
              0);
    RunResult list = RunPack({"list", launcher});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("stub: 20 bytes (l.exe)"), std::string::npos) << list.out;
    // level 0: one stored block of 1000 bytes, 5 bytes of block header, 11 of framing
    EXPECT_NE(list.out.find("setup.exe         1000         1016      1  101.6%"),
              std::string::npos)
        << list.out;
}

// A file one byte over a record goes on in a continuation record behind a
// stub of payload level 2: one row in list, verified, extracted whole. Its
// content is sparse zeros with a mark at each record's edge, so that a
// member written out of order or twice shows.
TEST(ContinuedFile, CreateListVerifyExtractReadItAsOneFile) {
    ASSERT_TRUE(HavePackProgram());
    const char* real = std::getenv("QELVOR_STUB");  // a stub of level 2
    ASSERT_TRUE(real != nullptr && fs::exists(real)) << "no stub at QELVOR_STUB";
    ScratchDir dir;
    fs::create_directories(dir / "set");
    const size_t size = 96 * PIECE + 1;
    Bytes big(size, 0);
    big[0] = 'a';
    big[size - 2] = 'b';
    big[size - 1] = 'c';
    WriteFile(dir / "set" / "big.bin", big);
    WriteFile(dir / "set" / "setup.exe", Bytes(30, 's'));
    std::string launcher = (dir / "l.exe").string();
    RunResult create = RunPack(
        {"create", "-q", "--level", "1", "-o", launcher, "--stub", real, (dir / "set").string()});
    ASSERT_EQ(create.status, 0) << create.err;
    RunResult list = RunPack({"list", launcher});
    EXPECT_EQ(list.status, 0) << list.err;
    size_t row = list.out.find("\nbig.bin ");  // its one row: name, size, packed, chunks
    ASSERT_NE(row, std::string::npos) << list.out;
    std::string line = list.out.substr(row, list.out.find('\n', row + 1) - row);
    EXPECT_NE(line.find(" 50331649 "), std::string::npos) << list.out;
    EXPECT_NE(line.find(" 97 "), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("2 files"), std::string::npos) << list.out;
    RunResult verify = RunPack({"verify", launcher});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out.rfind("OK: 4 entries, 98 chunks, 50331679 bytes", 0), 0u) << verify.out;
    RunResult extract = RunPack({"extract", launcher, (dir / "x").string()});
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(extract.out.find("extracted 2 files"), 0u) << extract.out;
    EXPECT_TRUE(ReadFile(dir / "x" / "big.bin") == big);

    Bytes damaged = ReadFile(launcher);  // the continuation moved to place 2
    PutU32(damaged, RecordOffset(damaged, 2, offsetof(PayloadEntry, name) + CONTINUATION_PLACE_AT),
           2);
    WriteFile(launcher, damaged);
    for (const char* command : {"list", "verify"}) {
        RunResult run = RunPack({command, launcher});
        EXPECT_EQ(run.status, 1) << command;
        EXPECT_NE(run.err.find("entry 2: a continuation record out of place"), std::string::npos)
            << run.err;
    }
}

// Where create finds the stub without --stub: a copy of the program is
// placed in a scratch tree with stubs (of different bytes) in some of the
// places it looks.
struct StubPlace {
    const char* label;
    const char* program;             // the copy's folder in the tree
    std::vector<const char*> stubs;  // folders holding a qelvor-stub.exe
    const char* chosen;              // whose stub the launcher begins with; "" none
};

class StubSearchTest : public testing::TestWithParam<StubPlace> {};

TEST_P(StubSearchTest, TakesTheFirstPlaceOrNamesThemAll) {
    ASSERT_TRUE(HavePackProgram());
    ScratchDir dir;
    fs::path tree = dir / "tree";
    fs::path program = tree / GetParam().program / fs::path(std::getenv("QELVOR_PACK")).filename();
    fs::create_directories(program.parent_path());
    fs::copy_file(std::getenv("QELVOR_PACK"), program);
    WriteFile(tree / "CMakePresets.json", Bytes{'{', '}'});  // marks a source tree
    for (const char* folder : GetParam().stubs) {
        fs::create_directories(tree / folder);
        Bytes stub(40, 0);
        std::copy_n(folder, std::min<size_t>(std::strlen(folder), 40), stub.begin());
        WriteFile(tree / folder / "qelvor-stub.exe", stub);
    }
    WriteFile(dir / "setup.exe", Bytes(20, 2));
    std::string launcher = (dir / "l.exe").string();
    RunResult run = RunProgram(program.string(),
                               {"create", "-q", "-o", launcher, (dir / "setup.exe").string()});
    if (*GetParam().chosen == '\0') {
        EXPECT_EQ(run.status, 1);
        for (const char* place : {"qelvor-stub.exe", "share", "dist"}) {
            EXPECT_NE(run.err.find(place), std::string::npos) << run.err;
        }
        EXPECT_FALSE(fs::exists(launcher));
        return;
    }
    ASSERT_EQ(run.status, 0) << run.err;
    Bytes bytes = ReadFile(launcher);
    std::string begins(bytes.begin(), bytes.begin() + std::strlen(GetParam().chosen));
    EXPECT_EQ(begins, GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StubSearchTest,
    testing::Values(StubPlace{"BesideWins", "usr/bin", {"usr/bin", "usr/share/qelvor"}, "usr/bin"},
                    StubPlace{"SharedFolderOfThePrefix",
                              "usr/bin",
                              {"usr/share/qelvor", "dist"},
                              "usr/share/qelvor"},
                    StubPlace{"BuildTreeDist", "build/release/tools/pack", {"dist"}, "dist"},
                    StubPlace{"NoneFound", "build/release/tools/pack", {"build"}, ""}),
    [](const testing::TestParamInfo<StubPlace>& info) { return std::string(info.param.label); });

}  // namespace
