// The setup worker against the stand-in: the order of its steps as the
// recorded calls show them, the silent test, the child's command line,
// progress reporting, the error box and the workspace reset. setup.exe is a
// small shell script that records what it was given.
#include "shell/shell.h"

#include "payload/payload.h"
#include "tests/standin/testing.h"
#include "tests/payload/payload_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

// Records its command line, sleeps when asked to, and exits with 3.
const char kSetupScript[] =
    "#!/bin/sh\n"
    "printf 'cmd=%s\\n' \"$QELVOR_COMMAND_LINE\" >> \"$QELVOR_TEST_RECORD\"\n"
    "sleep \"${QELVOR_TEST_SLEEP:-0}\"\n"
    "echo exit >> \"$QELVOR_TEST_RECORD\"\n"
    "exit 3\n";

Bytes SetupScript() {
    return Bytes(kSetupScript, kSetupScript + sizeof kSetupScript - 1);
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Worker : public ::testing::Test {
  protected:
    TempFolder temp;  // the user's temporary folder
    TempFolder work;  // holds the launcher file and the child's record
    fs::path record = work.path / "record.txt";
    std::string lock_text;  // the lock's handle as the call log shows it

    void SetUp() override {
        PlatformReset();
        PlatformRecordCalls(true);  // the test reads the log
        PlatformSetInstantSleep(true);
        PlatformSetTempPath(temp.Text().c_str());
        PlatformSetArguments({"launcher.exe"});
        PlatformSetStrings({});
        setenv("QELVOR_TEST_RECORD", record.c_str(), 1);
        setenv("QELVOR_TEST_SLEEP", "0", 1);
        g_silent = 0;
        g_dialog = PlatformNewWindow("dialog");
        g_progress_bar = PlatformNewWindow("bar");
    }

    void TearDown() override {
        PlatformSetInstantSleep(false);
        PlatformReset();
        PlatformRecordCalls(true);  // the test reads the log
    }

    fs::path Workspace() const {
        return temp.path / "qelvor";
    }

    // Packs the files, takes the lock as the dialog would, runs the worker
    // on a thread of its own and waits for it.
    void Run(const std::vector<FileSpec>& files) {
        fs::path launcher = work.path / "launcher.exe";
        WriteFile(launcher, BuildPayload(RandomBytes(700, 1), files));
        g_instance = PlatformModuleForFile(launcher.string().c_str());
        g_instance_lock = CreateMutexA(NULL, TRUE, "QELVORLOCK-worker-test");
        ASSERT_NE(g_instance_lock, nullptr);
        lock_text = std::to_string(reinterpret_cast<uintptr_t>(g_instance_lock));
        std::thread worker([] { RunSetupWorker(NULL); });
        worker.join();
    }

    std::vector<PlatformCall> Calls(const std::string& api) const {
        std::vector<PlatformCall> found;
        for (const auto& call : PlatformCallLog()) {
            if (call.api == api) {
                found.push_back(call);
            }
        }
        return found;
    }

    // The worker's own steps, condensed from the call log.
    std::vector<std::string> Steps() const {
        std::vector<std::string> steps;
        bool extracting = false;
        for (const auto& c : PlatformCallLog()) {
            const std::string first = c.args.empty() ? "" : c.args[0];
            if (c.api == "Sleep") {
                steps.push_back("pause " + first);
            } else if (c.api == "GetFileInformationByHandleEx" &&
                       c.args[1] == std::to_string(FileFullDirectoryRestartInfo) && !extracting) {
                if (steps.empty() || steps.back() != "clear") {
                    steps.push_back("clear");  // its listings: in use, deletion, anything left
                }
            } else if (c.api == "RemoveDirectoryA" && !extracting) {
                steps.push_back("remove " + fs::path(first).filename().string());
                if (EndsWith(first, "\\Style"))
                    steps.back() = "remove Style";
                if (EndsWith(first, "\\lang"))
                    steps.back() = "remove lang";
            } else if (c.api == "CreateDirectoryA" && EndsWith(first, "qelvor")) {
                steps.push_back("create workspace");
            } else if (c.api == "GetModuleFileNameA" && !extracting) {
                extracting = true;
                steps.push_back("extract");
            } else if (c.api == "ReleaseMutex") {
                steps.push_back(first == lock_text ? "release lock" : "release other");
            } else if (c.api == "CloseHandle" && first == lock_text) {
                steps.push_back("close lock");
            } else if (c.api == "CreateProcessA") {
                steps.push_back("launch");
            } else if (c.api == "MessageBoxA") {
                steps.push_back("error box");
            } else if (c.api == "PostMessageA" && c.args[1] == std::to_string(WM_SETUP_DONE)) {
                steps.push_back("done " + c.args[2]);
            }
        }
        return steps;
    }
};

}  // namespace

TEST_F(Worker, StepsComeInTheirOrder) {
    fs::create_directories(Workspace());
    WriteFile(Workspace() / "stale.txt", {1});
    Run({StoredFile("setup.exe", SetupScript())});
    std::vector<std::string> expected = {
        "pause 100",     "clear",        "remove Style",     "remove lang",
        "remove qelvor", "pause 300",    "create workspace", "clear",
        "extract",       "release lock", "close lock",       "launch",
        "done 0"};
    EXPECT_EQ(Steps(), expected);
    char temp_path[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_path);
    EXPECT_EQ(std::string(g_workspace_path), std::string(temp_path) + "qelvor")
        << "the workspace path is the temporary folder with qelvor appended";
}

TEST_F(Worker, DamagedPayloadShowsTheErrorBoxAndStartsNothing) {
    FileSpec setup = StoredFile("setup.exe", SetupScript());
    setup.members[0][9] ^= 1;
    Run({setup});
    auto boxes = Calls("MessageBoxA");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].args, (std::vector<std::string>{"dialog", "File error", "Setup", "16"}));
    EXPECT_TRUE(Calls("CreateProcessA").empty());
    EXPECT_TRUE(PlatformWindowVisible(g_dialog) || Calls("ShowWindow").empty());
    EXPECT_TRUE(Calls("ShowWindow").empty()) << "the dialog stays visible under the box";
    EXPECT_FALSE(fs::exists(record));
    auto steps = Steps();
    EXPECT_EQ(std::vector<std::string>(steps.end() - 4, steps.end()),
              (std::vector<std::string>{"release lock", "close lock", "error box",
                                        "done " + std::to_string(ERROR_INSTALL_PACKAGE_INVALID)}));
}

TEST_F(Worker, ErrorBoxTakesString107WhereTheTableHasIt) {
    PlatformSetStrings({{107, "first line\nsecond line"}});
    FileSpec setup = StoredFile("setup.exe", SetupScript());
    setup.members[0].pop_back();  // truncated trailer
    Run({setup});
    auto boxes = Calls("MessageBoxA");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].args[1], "first line\nsecond line");
}

// Only the setup.exe that the extraction wrote is ever started: without one
// nothing is, and no message is shown.
TEST_F(Worker, MissingSetupGivesNoMessageAndStartsNothing) {
    Run({StoredFile("readme.txt", {1, 2, 3})});
    EXPECT_TRUE(Calls("MessageBoxA").empty());
    EXPECT_TRUE(Calls("CreateProcessA").empty());
    EXPECT_EQ(Steps().back(), "done 0");
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

// A setup that cannot be started for any reason but elevation is neither
// sent to the prompt nor waited on, and no null handle is closed.
TEST_F(Worker, SetupThatWillNotStartIsNotPromptedWaitedOnOrClosed) {
    PlatformSetArguments({"launcher.exe", "/silent"});
    PlatformFailNth(FAULT_PROCESS, 1);
    Run({StoredFile("setup.exe", SetupScript())});
    EXPECT_TRUE(Calls("ShellExecuteExA").empty());
    EXPECT_TRUE(Calls("WaitForSingleObject").empty());
    for (const auto& call : Calls("CloseHandle")) {
        EXPECT_NE(call.args[0], "0");
    }
    EXPECT_TRUE(Calls("MessageBoxA").empty());
}

// Which first arguments select silent mode, and the command line that
// setup.exe gets: the launcher's own arguments as typed, behind
// "setup.exe /silent" (all but the first) or behind setup's quoted path
// (all of them); with none to pass, setup's path alone (null).
struct SilentCase {
    const char* typed;  // the launcher's command line
    bool silent;
    const char* child;  // setup's command line; "<setup>" stands for its path
};

class WorkerSilent : public Worker, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(WorkerSilent, OnlyArgumentOneCountsAndTheChildGetsTheRestAsTyped) {
    PlatformSetCommandLine(GetParam().typed);
    Run({StoredFile("setup.exe", SetupScript())});

    EXPECT_EQ(g_silent, GetParam().silent ? 1 : 0);
    auto launches = Calls("CreateProcessA");
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_TRUE(EndsWith(launches[0].args[0], "qelvor\\setup.exe")) << launches[0].args[0];
    std::string child = GetParam().child;
    size_t setup = child.find("<setup>");  // where setup's path goes
    if (setup != std::string::npos) {
        child.replace(setup, 7, launches[0].args[0]);
    }
    EXPECT_EQ(launches[0].args[1], child);
    auto waits = Calls("WaitForSingleObject");
    if (GetParam().silent) {
        ASSERT_EQ(waits.size(), 1u);
        EXPECT_EQ(waits[0].args[1], std::to_string(INFINITE));
        // The worker returned only after the child had ended.
        EXPECT_EQ(ReadText(record), "cmd=" + child + "\nexit\n");
    } else {
        EXPECT_TRUE(waits.empty());
    }
    EXPECT_EQ(PlatformLiveHandles(), 0u) << "process and lock handles are closed";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, WorkerSilent,
    ::testing::Values(
        SilentCase{"launcher.exe /SILENT", true, "setup.exe /silent"},
        SilentCase{"launcher.exe -Silent", true, "setup.exe /silent"},
        SilentCase{"\"C:\\Downloads\\My Setup.exe\" \"/silent\"  ", true, "setup.exe /silent"},
        SilentCase{"launcher.exe /silent /norestart INSTALLDIR=\"C:\\Program Files\\X y\"", true,
                   "setup.exe /silent /norestart INSTALLDIR=\"C:\\Program Files\\X y\""},
        SilentCase{"launcher.exe /si\"len\"t  a\\\"b\\\\ \"c  d\"", true,
                   "setup.exe /silent a\\\"b\\\\ \"c  d\""},
        SilentCase{"launcher.exe silent", false, "\"<setup>\" silent"},
        SilentCase{"launcher.exe /silentx", false, "\"<setup>\" /silentx"},
        SilentCase{"launcher.exe --silent", false, "\"<setup>\" --silent"},
        SilentCase{"launcher.exe", false, "(null)"},
        SilentCase{"launcher.exe \"\"", false, "\"<setup>\" \"\""},
        SilentCase{"\"C:\\A B\\launcher.exe\" /quiet /silent", false, "\"<setup>\" /quiet /silent"},
        SilentCase{"launcher.exe \"/silent x\"", false, "\"<setup>\" \"/silent x\""}));

TEST_F(Worker, SilentModeWaitsWhateverTheChildTakes) {
    PlatformSetArguments({"launcher.exe", "/silent"});
    setenv("QELVOR_TEST_SLEEP", "1", 1);
    Run({StoredFile("setup.exe", SetupScript())});
    EXPECT_EQ(ReadText(record), "cmd=setup.exe /silent\nexit\n");
}

TEST_F(Worker, NormalModeChildRunsWithItsOwnPathAsCommandLine) {
    Run({StoredFile("setup.exe", SetupScript())});
    // The worker does not wait; wait here for the child's record.
    for (int i = 0; i < 500 && ReadText(record).find("exit") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ReadText(record), "cmd=" + std::string(g_workspace_path) + "\\setup.exe\nexit\n");
}

TEST_F(Worker, FortyEightEntriesMoveTheBarAndHideTheDialogBeforeTheLaunch) {
    std::vector<FileSpec> files = {StoredFile("setup.exe", SetupScript())};
    for (int i = 2; i < 48; i++) {
        files.push_back(StoredFile("file" + std::to_string(i) + ".dat", {uint8_t(i)}));
    }
    Run(files);
    std::vector<std::string> positions;
    bool hidden = false, launched_after_hide = false;
    int hidden_after = -1;
    for (const auto& c : PlatformCallLog()) {
        if (c.api == "SendMessageA" && c.args[0] == "bar" &&
            c.args[1] == std::to_string(PBM_SETRANGE)) {
            EXPECT_EQ(c.args[3], std::to_string(47 << 16));
            EXPECT_EQ(c.args[2], "0");
        } else if (c.api == "SendMessageA" && c.args[0] == "bar") {
            EXPECT_EQ(c.args[1], std::to_string(PBM_SETPOS));
            positions.push_back(c.args[2]);
        } else if (c.api == "ShowWindow" && c.args[0] == "dialog" && c.args[1] == "0") {
            hidden = true;
            hidden_after = int(positions.size());
        } else if (c.api == "CreateProcessA") {
            launched_after_hide = hidden;
        }
    }
    std::vector<std::string> expected;
    for (int i = 1; i <= 47; i++) {
        expected.push_back(std::to_string(i));
    }
    EXPECT_EQ(positions, expected);
    EXPECT_EQ(hidden_after, 47);
    EXPECT_TRUE(launched_after_hide);
    EXPECT_FALSE(PlatformWindowVisible(g_dialog));
}

TEST_F(Worker, OldWorkspaceIsEmptiedRemovedAndCreatedAgain) {
    fs::create_directories(Workspace() / "Style");
    fs::create_directories(Workspace() / "lang");
    WriteFile(Workspace() / "Style" / "old.jvs", {1});
    WriteFile(Workspace() / "lang" / "old.lng", {1});
    WriteFile(Workspace() / "stale.bin", {1});
    fs::create_directories(Workspace() / "deep" / "er");
    Run({StoredFile("setup.exe", SetupScript()), StoredFile("new.lng", {5})});
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(Workspace())) {
        names.push_back(fs::relative(e.path(), Workspace()).generic_string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"Style", "lang", "lang/new.lng", "new.lng", "setup.exe"}));
    EXPECT_TRUE(PlatformRebootDeletions().empty());
}

TEST_F(Worker, WorkspaceThatIsALinkIsRemovedAndNeverClearedThrough) {
    TempFolder outside;
    WriteFile(outside.path / "precious.txt", {1});
    fs::create_directories(outside.path / "Style");
    ASSERT_EQ(symlink(outside.path.c_str(), Workspace().c_str()), 0);
    Run({StoredFile("setup.exe", SetupScript())});
    EXPECT_TRUE(fs::exists(outside.path / "precious.txt"));
    EXPECT_TRUE(fs::exists(outside.path / "Style"));
    EXPECT_FALSE(fs::is_symlink(Workspace()));
    EXPECT_TRUE(fs::exists(Workspace() / "setup.exe"));
    EXPECT_FALSE(fs::exists(outside.path / "setup.exe"));
}

// A link that survives the reset (its removal refused) and stands where the
// workspace should be created: the held workspace is checked by handle, so
// nothing is written through it and the run ends as a failed extraction.
TEST_F(Worker, WorkspaceLinkThatSurvivesTheResetEndsInTheErrorBox) {
    TempFolder outside;
    ASSERT_EQ(symlink(outside.path.c_str(), Workspace().c_str()), 0);
    PlatformFailNth(FAULT_REMOVE_DIR, 1);
    PlatformFailNth(FAULT_DELETE, 1);
    Run({StoredFile("setup.exe", SetupScript())});
    EXPECT_TRUE(fs::is_symlink(Workspace()));
    EXPECT_TRUE(fs::is_empty(outside.path));
    EXPECT_EQ(Calls("MessageBoxA").size(), 1u);
    EXPECT_TRUE(Calls("CreateProcessA").empty());
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

// A temporary folder whose name has a character outside the ANSI code page
// is reached through its short form; without one, nothing is written and
// the run ends with the workspace's failure (silent: no box).
class WorkerTempOutsideCodePage : public Worker, public ::testing::WithParamInterface<bool> {};

TEST_P(WorkerTempOutsideCodePage, UsesTheShortFormOrFails) {
    bool has_short_form = GetParam();
    fs::path long_form = temp.path / "Us\xc3\xa9r \xe6\xb5\x8b\xe8\xaf\x95";  // "Usér 测试"
    fs::path short_form = temp.path / "USRTMP~1";
    fs::create_directories(long_form);
    PlatformSetTempPath(long_form.c_str());
    if (has_short_form) {
        PlatformSetShortPath(long_form.c_str(), short_form.c_str());
    }
    PlatformSetArguments({"launcher.exe", "/silent"});
    Run({StoredFile("setup.exe", SetupScript())});
    EXPECT_EQ(fs::exists(long_form / "qelvor" / "setup.exe"), has_short_form);
    EXPECT_TRUE(Calls("MessageBoxA").empty());
    EXPECT_EQ(Steps().back(),
              "done " + std::to_string(has_short_form ? 3 : ERROR_INSTALL_TEMP_UNWRITABLE));
    if (has_short_form) {
        EXPECT_EQ(std::string(g_workspace_path), short_form.string() + "/qelvor");
        EXPECT_EQ(ReadText(record), "cmd=setup.exe /silent\nexit\n");
    } else {
        EXPECT_TRUE(Calls("CreateDirectoryA").empty());
        EXPECT_FALSE(fs::exists(record));
    }
}

INSTANTIATE_TEST_SUITE_P(ShortForm, WorkerTempOutsideCodePage, ::testing::Bool());

// Under a UTF-8 ANSI code page every character converts but a lone
// surrogate, which a Windows name may hold: that folder is reached through
// its short form, not through a spelling with U+FFFD that names no folder.
TEST_F(Worker, TempWithALoneSurrogateUnderUtf8UsesTheShortForm) {
    fs::path long_form = temp.path / "Us\xed\xa0\x80r";  // U+D800 as a file system stores it
    fs::path short_form = temp.path / "USR~1";
    fs::create_directories(long_form);
    PlatformSetTempPath(long_form.c_str());
    PlatformSetShortPath(long_form.c_str(), short_form.c_str());
    PlatformSetArguments({"launcher.exe", "/silent"});
    ASSERT_TRUE(PlatformSetAnsiCodepage(CP_UTF8));
    Run({StoredFile("setup.exe", SetupScript())});
    PlatformSetAnsiCodepage(0);
    EXPECT_EQ(std::string(g_workspace_path), short_form.string() + "/qelvor");
    EXPECT_EQ(ReadText(record), "cmd=setup.exe /silent\nexit\n");
}

// A setup whose manifest asks for administrator rights: CreateProcessA
// refuses it, and it is started again through the elevation prompt with the
// same arguments. A declined prompt is a setup that cannot be started.
struct ElevationCase {
    bool silent;
    bool accepted;  // the user's answer to the prompt
    const char* parameters;
};

class WorkerElevation : public Worker, public ::testing::WithParamInterface<ElevationCase> {};

TEST_P(WorkerElevation, StartsThroughThePrompt) {
    const ElevationCase& c = GetParam();
    std::string setup = (Workspace() / "setup.exe").string();
    PlatformRequireElevation(setup.c_str(), c.accepted);
    PlatformSetArguments(c.silent ? std::vector<std::string>{"launcher.exe", "/silent"}
                                  : std::vector<std::string>{"launcher.exe"});
    Run({StoredFile("setup.exe", SetupScript())});
    auto shell = Calls("ShellExecuteExA");
    ASSERT_EQ(shell.size(), 1u);
    EXPECT_EQ(shell[0].args[0], "runas");
    EXPECT_EQ(shell[0].args[1], std::string(g_workspace_path) + "\\setup.exe");
    EXPECT_EQ(shell[0].args[2], c.parameters);
    EXPECT_EQ(std::stoul(shell[0].args[4]) & (SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI),
              unsigned(SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI));
    EXPECT_EQ(shell[0].args[5], "dialog") << "the prompt's owner brings it to the front";
    EXPECT_TRUE(Calls("MessageBoxA").empty());
    if (c.silent && c.accepted) {
        EXPECT_EQ(Calls("WaitForSingleObject").size(), 1u);
        EXPECT_EQ(ReadText(record),
                  "cmd=\"" + std::string(g_workspace_path) + "\\setup.exe\" /silent\nexit\n");
    }
    if (!c.accepted) {
        EXPECT_FALSE(fs::exists(record));
    }
    int outcome = !c.accepted ? ERROR_CANCELLED : c.silent ? 3 : 0;  // 3: the script's own
    EXPECT_EQ(Steps().back(), "done " + std::to_string(outcome));
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Prompt, WorkerElevation,
                         ::testing::Values(ElevationCase{true, true, "/silent"},
                                           ElevationCase{false, true, "(null)"},
                                           ElevationCase{true, false, "/silent"},
                                           ElevationCase{false, false, "(null)"}));

// Temporary folders at and past the longest that the 260-byte buffers take.
class WorkerTempLength : public Worker, public ::testing::WithParamInterface<int> {};

TEST_P(WorkerTempLength, TooLongIsTreatedAsAFailedExtraction) {
    int length = GetParam();  // of the temporary folder's path, separator included
    std::string base = temp.Text() + "/";
    std::string path = base + std::string(length - base.size() - 1, 't');
    fs::create_directories(path);
    PlatformSetTempPath(path.c_str());
    Run({StoredFile("setup.exe", SetupScript())});
    bool fits = length <= 243;
    EXPECT_EQ(Calls("CreateProcessA").size(), fits ? 1u : 0u);
    EXPECT_EQ(Calls("MessageBoxA").size(), fits ? 0u : 1u);
    EXPECT_EQ(fs::exists(fs::path(path) / "qelvor"), fits);
    EXPECT_EQ(Steps().back(), "done " + std::to_string(fits ? 0 : ERROR_INSTALL_TEMP_UNWRITABLE));
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WorkerTempLength, ::testing::Values(200, 243, 244, 259));

// Reports that change nothing on the screen are left out. Bars of the
// dialog's real width (323 pixels) and a bar of unknown width (0), where
// every report must reach it.
struct ProgressCase {
    const char* label;
    uint32_t files;  // entries written, so the total of every report
    LONG width;      // the bar's client width in pixels
};

class WorkerProgress : public Worker, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(WorkerProgress, EveryVisibleStepIsShownAndTheLastReportIsSent) {
    const ProgressCase& c = GetParam();
    std::string bar = "bar";  // the bar's name in the call log
    if (c.width > 0) {
        g_progress_bar = CreateWindowExA(0, PROGRESS_CLASSA, NULL, WS_CHILD | WS_VISIBLE, 15, 46,
                                         c.width, 20, g_dialog, NULL, NULL, NULL);
        bar = PROGRESS_CLASSA;
    }
    PlatformSetArguments({"launcher.exe", "/silent"});  // the worker waits for setup.exe
    std::vector<FileSpec> files = {StoredFile("setup.exe", SetupScript())};
    for (uint32_t i = 1; i < c.files; i++) {
        files.push_back(StoredFile("f" + std::to_string(i), {uint8_t(i)}));
    }
    Run(files);
    int ranges = 0;                   // range messages
    std::vector<uint64_t> positions;  // positions sent, in order
    size_t hidden_after = 0;          // positions sent before the dialog was hidden
    for (const auto& call : PlatformCallLog()) {
        if (call.api == "SendMessageA" && call.args[0] == bar &&
            call.args[1] == std::to_string(PBM_SETRANGE)) {
            EXPECT_EQ(call.args[3], std::to_string(c.files << 16));
            ranges++;
        } else if (call.api == "SendMessageA" && call.args[0] == bar) {
            EXPECT_EQ(call.args[1], std::to_string(PBM_SETPOS));
            positions.push_back(std::stoull(call.args[2]));
        } else if (call.api == "ShowWindow" && call.args[0] == "dialog") {
            hidden_after = positions.size();
        }
    }
    EXPECT_EQ(ranges, 1);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), c.files) << "the last report is always sent";
    EXPECT_EQ(hidden_after, positions.size()) << "hidden after the last position";
    uint64_t width = c.width > 0 ? uint64_t(c.width) : c.files;  // unknown: every step shows
    EXPECT_LE(positions.size(), width + 1);
    // After each report the bar fills as many pixels as done itself would.
    size_t shown = 0;  // the last position sent so far
    for (uint64_t done = 1; done <= c.files; done++) {
        while (shown + 1 < positions.size() && positions[shown + 1] <= done) {
            shown++;
        }
        ASSERT_LE(positions[shown], done);
        ASSERT_EQ(positions[shown] * width / c.files, done * width / c.files) << "done " << done;
    }
}

INSTANTIATE_TEST_SUITE_P(Bars, WorkerProgress,
                         ::testing::Values(ProgressCase{"TwoThousandOnTheDialogBar", 2000, 323},
                                           ProgressCase{"FewerThanItsPixels", 47, 323},
                                           ProgressCase{"WidthNotKnown", 300, 0}),
                         [](const ::testing::TestParamInfo<ProgressCase>& info) {
                             return std::string(info.param.label);
                         });

// The bar clamps positions beyond the low 16 bits of the total, so the
// last two reports fill it alike; the last one is sent all the same.
TEST(ReportProgress, OnlyTheLowSixteenBitsOfTheTotalReachTheBar) {
    PlatformReset();
    PlatformRecordCalls(true);  // the test reads the log
    g_dialog = PlatformNewWindow("dialog");
    g_progress_bar = CreateWindowExA(0, PROGRESS_CLASSA, NULL, WS_CHILD, 0, 0, 100, 20, g_dialog,
                                     NULL, NULL, NULL);
    for (uint32_t done : {3u, 0x12344u, 0x12345u}) {
        EXPECT_EQ(ReportProgress(done, 0x12345, 0), 1);
    }
    std::vector<std::string> sent;  // message and its number, in order
    for (const auto& call : PlatformCallLog()) {
        if (call.api == "SendMessageA") {
            sent.push_back(call.args[1] == std::to_string(PBM_SETRANGE) ? "range " + call.args[3]
                                                                        : "pos " + call.args[2]);
        }
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"range " + std::to_string(0x2345 << 16), "pos 3",
                                              "pos " + std::to_string(0x12344),
                                              "pos " + std::to_string(0x12345)}));
    EXPECT_EQ(PlatformCallLog().back().api, "ShowWindow");
    PlatformReset();
    PlatformRecordCalls(true);  // the test reads the log
}

// A new range redraws the bar around the old position, so the position is
// sent again even where its filled width would stay the same.
TEST(ReportProgress, ANewRangeIsFollowedByThePosition) {
    PlatformReset();
    PlatformRecordCalls(true);  // the test reads the log
    g_dialog = PlatformNewWindow("dialog");
    g_progress_bar = CreateWindowExA(0, PROGRESS_CLASSA, NULL, WS_CHILD, 0, 0, 100, 20, g_dialog,
                                     NULL, NULL, NULL);
    ReportProgress(50, 100, 0);
    ReportProgress(50, 100, 0);
    ReportProgress(100, 200, 0);
    std::vector<std::string> sent;  // message and its number, in order
    for (const auto& call : PlatformCallLog()) {
        if (call.api == "SendMessageA") {
            sent.push_back(call.args[1] == std::to_string(PBM_SETRANGE) ? "range " + call.args[3]
                                                                        : "pos " + call.args[2]);
        }
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"range " + std::to_string(100 << 16), "pos 50",
                                              "range " + std::to_string(200 << 16), "pos 100"}));
    PlatformReset();
    PlatformRecordCalls(true);  // the test reads the log
}

// ---- a deployment tool's SYSTEM run, with other users on the machine ----

const char kOtherUser[] = "S-1-5-21-9-9-9-1002";  // a standard user planting things
const DWORD kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The workspace admits the token's user, SYSTEM and Administrators only,
// inherits nothing, and passes that on: Style and lang carry it themselves,
// every file inherits it.
TEST_F(Worker, WorkspaceAdmitsOnlyTheUserSystemAndAdministrators) {
    PlatformSetToken("S-1-5-18", nullptr);
    Run({StoredFile("setup.exe", SetupScript()), StoredFile("en.lng", {1})});
    std::vector<std::string> expected = {"S-1-5-18", "S-1-5-18", "S-1-5-32-544"};
    for (const char* folder : {"", "Style", "lang"}) {
        PlatformSecurity security = PlatformSecurityOf((Workspace() / folder).c_str());
        EXPECT_TRUE(security.dacl_protected) << folder;
        EXPECT_EQ(security.owner, "S-1-5-18") << folder;
        std::vector<std::string> grantees;
        for (const auto& ace : security.dacl) {
            grantees.push_back(ace.sid);
            EXPECT_EQ(ace.mask, DWORD(FILE_ALL_ACCESS));
            EXPECT_EQ(ace.flags, kInherit);
        }
        EXPECT_EQ(grantees, expected) << folder;
    }
    for (const char* file : {"setup.exe", "en.lng", "lang/en.lng"}) {
        PlatformSecurity security = PlatformSecurityOf((Workspace() / file).c_str());
        ASSERT_EQ(security.dacl.size(), 3u) << file;
        EXPECT_EQ(security.dacl[1].flags, INHERITED_ACE) << file;
    }
}

// Another party acting at one moment of the run, and what must follow.
struct HostileCase {
    const char* label;
    const char* moment;  // the call before which the party acts
    const char* tail;    // for CreateFileA: how the path it opens ends
    std::function<void(const fs::path& workspace, const fs::path& outside)> act;
    bool refused;  // the run ends starting nothing, the workspace not safe (1632)
    bool written;  // the payload was unpacked into the workspace
    bool own;      // the workspace is left with the launcher's protected list
};

class WorkerHostile : public Worker, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(WorkerHostile, NothingPlantedOrSwappedIsUsed) {
    const HostileCase& c = GetParam();
    TempFolder outside;
    bool acted = false;
    PlatformSetCallHook([&](const PlatformCall& call) {
        bool now = call.api == c.moment;
        if (call.api == "Sleep") {
            now = now && call.args[0] == "300";
        } else if (call.api == "CreateFileA") {
            now = now && EndsWith(call.args[0], c.tail);
        }
        if (now && !acted) {
            acted = true;
            c.act(Workspace(), outside.path);
        }
    });
    PlatformSetArguments({"launcher.exe", "/silent"});  // the worker waits for setup.exe
    Run({StoredFile("setup.exe", SetupScript()), StoredFile("look.jvs", {7})});
    PlatformSetCallHook(nullptr);
    ASSERT_TRUE(acted);
    EXPECT_TRUE(Calls("MessageBoxA").empty()) << "silent: no box";
    EXPECT_EQ(Steps().back(),
              "done " + std::to_string(c.refused ? ERROR_INSTALL_TEMP_UNWRITABLE : 3));
    EXPECT_EQ(fs::exists(record), !c.refused) << "only the written setup.exe runs";
    EXPECT_FALSE(fs::exists(outside.path / "look.jvs")) << "nothing written through a link";
    EXPECT_EQ(fs::exists(Workspace() / "look.jvs"), c.written);
    EXPECT_FALSE(fs::exists(Workspace() / "version.dll")) << "nothing planted stays";
    EXPECT_EQ(PlatformSecurityOf(Workspace().c_str()).dacl_protected, c.own);
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

const char kPlanted[] = "#!/bin/sh\necho planted >> \"$QELVOR_TEST_RECORD\"\n";

INSTANTIATE_TEST_SUITE_P(
    Parties, WorkerHostile,
    ::testing::Values(
        HostileCase{"OtherUserCreatesTheWorkspaceDuringThePause", "Sleep", "",
                    [](const fs::path& ws, const fs::path&) {
                        fs::create_directories(ws);
                        PlatformSetOwner(ws.c_str(), kOtherUser);
                    },
                    true, false, false},
        HostileCase{"OwnLeftoverWithAPlantedDllIsProtectedAndEmptied", "Sleep", "",
                    [](const fs::path& ws, const fs::path&) { Touch(ws / "version.dll"); }, false,
                    true, true},
        HostileCase{"SetupSwappedAfterItsWrite", "ShowWindow", "",
                    [](const fs::path& ws, const fs::path&) {
                        fs::rename(ws / "setup.exe", ws / "old.exe");
                        WriteFile(ws / "setup.exe", Bytes(kPlanted, kPlanted + strlen(kPlanted)));
                        fs::permissions(ws / "setup.exe", fs::perms::owner_all);
                    },
                    true, true, true},
        HostileCase{"SetupSwappedForALinkToItself", "ShowWindow", "",
                    [](const fs::path& ws, const fs::path&) {
                        fs::rename(ws / "setup.exe", ws / "moved.exe");
                        fs::create_symlink(ws / "moved.exe", ws / "setup.exe");
                    },
                    true, true, true},
        // Created by the launcher, then moved away and replaced
        // before it is held: the owner is checked by handle.
        HostileCase{"OtherUsersFolderSwappedInAfterTheCreation", "CreateFileA", "qelvor",
                    [](const fs::path& ws, const fs::path& outside) {
                        fs::rename(ws, outside / "taken");
                        fs::create_directories(ws);
                        PlatformSetOwner(ws.c_str(), kOtherUser);
                    },
                    true, false, false},
        // Only the launcher's user could do this in its own workspace: it is
        // not made safe, and nothing is written.
        HostileCase{"StyleTurnedIntoAJunctionBeforeItIsHeld", "CreateFileA", "\\Style",
                    [](const fs::path& ws, const fs::path& outside) {
                        fs::remove(ws / "Style");
                        fs::create_directory_symlink(outside, ws / "Style");
                    },
                    true, false, true}),
    [](const ::testing::TestParamInfo<HostileCase>& info) {
        return std::string(info.param.label);
    });

// While setup.exe is being started, the file, the workspace and its
// sub-folders are held: nobody can write, replace or delete setup.exe or
// move the folders, yet the loader's own open (reading and executing) goes
// through.
TEST_F(Worker, SetupAndWorkspaceAreHeldWhileTheStartRuns) {
    std::vector<std::string> refused;  // what the other party could not do
    PlatformSetCallHook([&](const PlatformCall& call) {
        if (call.api != "CreateProcessA") {
            return;
        }
        std::string setup = call.args[0];
        std::string moved = std::string(g_workspace_path) + ".moved";
        if (CreateFileA(setup.c_str(), GENERIC_WRITE, 7, NULL, OPEN_EXISTING, 0, NULL) ==
            INVALID_HANDLE_VALUE) {
            refused.push_back("write");
        }
        if (!DeleteFileA(setup.c_str())) {
            refused.push_back("delete");
        }
        if (!MoveFileExA(g_workspace_path, moved.c_str(), 0)) {
            refused.push_back("move workspace");
        }
        std::string style = std::string(g_workspace_path) + "\\Style";
        if (!MoveFileExA(style.c_str(), (style + ".moved").c_str(), 0)) {
            refused.push_back("move Style");
        }
    });
    PlatformSetArguments({"launcher.exe", "/silent"});
    Run({StoredFile("setup.exe", SetupScript())});
    PlatformSetCallHook(nullptr);
    EXPECT_EQ(refused,
              (std::vector<std::string>{"write", "delete", "move workspace", "move Style"}));
    EXPECT_EQ(ReadText(record), "cmd=setup.exe /silent\nexit\n");
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

// Where KERNEL32 has GetTempPath2W (Windows 11: SYSTEM's own temporary
// folder), the workspace goes there.
TEST_F(Worker, TakesTheTemporaryFolderFromGetTempPath2WhereThereIsOne) {
    TempFolder system_temp;
    PlatformSetTempPath2(system_temp.Text().c_str());
    Run({StoredFile("setup.exe", SetupScript())});
    EXPECT_TRUE(fs::exists(system_temp.path / "qelvor" / "setup.exe"));
    EXPECT_FALSE(fs::exists(Workspace()));
}

// A workspace with anything in use in it is left exactly as it is, and
// nothing is started or shown: the setup an earlier launcher started and
// that still runs, or a file someone planted and holds open (sharing
// everything, so that it would not stop a plain deletion).
struct BusyCase {
    const char* label;
    const char* entry;  // held or run, below the workspace
};

class WorkerBusy : public Worker, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(WorkerBusy, LeavesTheWorkspaceAndStartsNothing) {
    const BusyCase& c = GetParam();
    const char waiting[] = "#!/bin/sh\nwhile [ ! -e \"$1\" ]; do sleep 0.02; done\n";
    fs::create_directories(Workspace());
    WriteFile(Workspace() / "old.txt", {1});
    WriteFile(Workspace() / c.entry, Bytes(waiting, waiting + strlen(waiting)));
    fs::permissions(Workspace() / c.entry, fs::perms::owner_all);
    std::string entry = (Workspace() / c.entry).string();
    std::string release = (work.path / "release").string();
    HANDLE other = INVALID_HANDLE_VALUE;  // the holder's handle, or the running setup
    if (std::string(c.entry) == "setup.exe") {
        other = PlatformStartProgram(entry, "setup.exe " + release);
    } else {
        other = CreateFileA(entry.c_str(), GENERIC_READ, 7, NULL, OPEN_EXISTING, 0, NULL);
    }
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, nullptr);
    size_t before = PlatformCallLog().size();  // the worker's calls come after
    Run({StoredFile("setup.exe", SetupScript()), StoredFile("new.txt", {2})});
    Touch(release);
    WaitForSingleObject(other, 5000);
    CloseHandle(other);
    std::vector<std::string> shown;  // the worker's messages and starts
    auto calls = PlatformCallLog();
    for (size_t i = before; i < calls.size(); i++) {
        if (calls[i].api == "MessageBoxA" || calls[i].api == "CreateProcessA") {
            shown.push_back(calls[i].api);
        }
    }
    EXPECT_TRUE(shown.empty()) << shown.front();
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(Workspace())) {
        names.push_back(fs::relative(e.path(), Workspace()).generic_string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"old.txt", c.entry}));
    EXPECT_FALSE(PlatformSecurityOf(Workspace().c_str()).dacl_protected) << "its list is kept";
    EXPECT_EQ(Steps().back(), "done " + std::to_string(ERROR_INSTALL_ALREADY_RUNNING));
}

INSTANTIATE_TEST_SUITE_P(Users, WorkerBusy,
                         ::testing::Values(BusyCase{"SetupStillRunning", "setup.exe"},
                                           BusyCase{"PlantedDllHeldOpen", "version.dll"}),
                         [](const ::testing::TestParamInfo<BusyCase>& info) {
                             return std::string(info.param.label);
                         });

// An old file that cannot be deleted (here: a name with no form in the ANSI
// code page, which the launcher cannot even open) keeps the workspace from
// being used: the error box, nothing written, nothing started.
TEST_F(Worker, WorkspaceThatCannotBeEmptiedIsNotUsed) {
    fs::create_directories(Workspace());
    WriteFile(Workspace() / "\xc3\xa9.dll", {1});  // "é.dll"
    Run({StoredFile("setup.exe", SetupScript())});
    EXPECT_EQ(Calls("MessageBoxA").size(), 1u);
    EXPECT_TRUE(Calls("CreateProcessA").empty());
    EXPECT_FALSE(fs::exists(Workspace() / "setup.exe"));
    EXPECT_TRUE(fs::exists(Workspace() / "\xc3\xa9.dll"));
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

// What each way a run can end hands the dialog as the exit code, and what
// the user sees of it: the error box in normal mode only, and only where
// the payload or the workspace failed.
struct OutcomeCase {
    const char* label;
    bool silent;
    std::function<void(FileSpec& setup)> arrange;  // the run's circumstances
    DWORD outcome;
    bool box;
};

class WorkerOutcome : public Worker, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(WorkerOutcome, EndsWithItsCode) {
    const OutcomeCase& c = GetParam();
    PlatformSetArguments(c.silent ? std::vector<std::string>{"launcher.exe", "/silent"}
                                  : std::vector<std::string>{"launcher.exe"});
    FileSpec setup = StoredFile("setup.exe", SetupScript());
    c.arrange(setup);
    Run({StoredFile("readme.txt", {1}), setup});
    PlatformSetCallHook(nullptr);
    EXPECT_EQ(Steps().back(), "done " + std::to_string(c.outcome));
    EXPECT_EQ(Calls("MessageBoxA").size(), c.box ? 1u : 0u);
    EXPECT_EQ(PlatformLiveHandles(), 0u);
}

void Damage(FileSpec& setup) {
    setup.members[0][9] ^= 1;
}

void FillTheDisk(FileSpec&) {
    PlatformFailNth(FAULT_SHORT_WRITE, 1);
}

// A folder stands where setup.exe is created: it cannot be written.
void BlockSetup(FileSpec&) {
    PlatformSetCallHook([](const PlatformCall& call) {
        if (call.api == "CreateFileA" && EndsWith(call.args[0], "\\setup.exe") &&
            std::stoul(call.args[1]) & GENERIC_WRITE) {
            fs::create_directory(fs::path(call.args[0].substr(0, call.args[0].size() - 10)) /
                                 "setup.exe");
        }
    });
}

void RefuseTheStart(FileSpec&) {
    PlatformFailNth(FAULT_PROCESS, 1);
}

void Nothing(FileSpec&) {}

INSTANTIATE_TEST_SUITE_P(
    Ends, WorkerOutcome,
    ::testing::Values(
        OutcomeCase{"SetupStarted", false, Nothing, 0, false},
        OutcomeCase{"SetupsOwnCodeInSilentMode", true, Nothing, 3, false},
        OutcomeCase{"DamagedPayload", false, Damage, ERROR_INSTALL_PACKAGE_INVALID, true},
        OutcomeCase{"DamagedPayloadSilent", true, Damage, ERROR_INSTALL_PACKAGE_INVALID, false},
        OutcomeCase{"FullDisk", false, FillTheDisk, ERROR_DISK_FULL, true},
        OutcomeCase{"FullDiskSilent", true, FillTheDisk, ERROR_DISK_FULL, false},
        OutcomeCase{"FileCannotBeWrittenSilent", true, BlockSetup, ERROR_INSTALL_TEMP_UNWRITABLE,
                    false},
        OutcomeCase{"SetupCannotBeStarted", false, RefuseTheStart,
                    ERROR_INSTALL_PACKAGE_OPEN_FAILED, false},
        OutcomeCase{"SetupCannotBeStartedSilent", true, RefuseTheStart,
                    ERROR_INSTALL_PACKAGE_OPEN_FAILED, false}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) {
        return std::string(info.param.label);
    });
