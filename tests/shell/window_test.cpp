// The user-interface thread's decisions, headless: which commands end the
// dialog, what every dialog result leads to, what the initialisation does
// and in which order, and the single-instance lock that ends a second
// launcher at once.
#include "shell/shell.h"

#include "payload/payload.h"
#include "tests/standin/testing.h"
#include "res/resource.h"
#include "tests/payload/payload_files.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace testpayload;
namespace fs = std::filesystem;

namespace {

std::vector<PlatformCall> Calls(const std::string& api) {
    std::vector<PlatformCall> found;
    for (const auto& call : PlatformCallLog()) {
        if (call.api == api) {
            found.push_back(call);
        }
    }
    return found;
}

// The one call to api with argument index equal to expected, or none at
// all when expected is null.
void ExpectCalledWith(const std::string& api, size_t index, const char* expected,
                      const char* what) {
    auto calls = Calls(api);
    if (expected) {
        ASSERT_EQ(calls.size(), 1u) << what << ": " << api;
        EXPECT_EQ(calls[0].args[index], expected) << what << ": " << api;
    } else {
        EXPECT_TRUE(calls.empty()) << what << ": " << api;
    }
}

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        PlatformReset();
        PlatformRecordCalls(true);  // the test reads the log
        PlatformSetInstantSleep(true);
        PlatformSetStrings({{IDS_TITLE, "QELVOR"}, {IDS_CLASS, "QELVOR"}});
        PlatformSetArguments({"launcher.exe"});
        g_dialog = NULL;
    }
    void TearDown() override {
        PlatformSetInstantSleep(false);
        PlatformReset();
        PlatformRecordCalls(true);  // the test reads the log
    }
};

}  // namespace

// One message to the dialog procedure and what must follow.
struct DialogCase {
    const char* what;
    UINT message;
    WPARAM wparam;
    INT_PTR result;
    const char* ended_with;  // EndDialog's result, or null for none
    const char* quit_with;   // PostQuitMessage's exit code, or null for none
};

class DialogMessages : public Window, public ::testing::WithParamInterface<DialogCase> {};

TEST_P(DialogMessages, FollowTheTable) {
    const DialogCase& c = GetParam();
    HWND dialog = PlatformNewWindow("dialog");
    EXPECT_EQ(ProgressDialogProc(dialog, c.message, c.wparam, 0), c.result) << c.what;
    EXPECT_EQ(g_dialog, dialog) << "stored on every message";
    ExpectCalledWith("EndDialog", 1, c.ended_with, c.what);
    ExpectCalledWith("PostQuitMessage", 0, c.quit_with, c.what);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DialogMessages,
    ::testing::Values(DialogCase{"OK", WM_COMMAND, IDOK, TRUE, "1", nullptr},
                      DialogCase{"cancel", WM_COMMAND, IDCANCEL, TRUE, "2", nullptr},
                      DialogCase{"cancel with a notification code", WM_COMMAND,
                                 MAKELPARAM(IDCANCEL, 1), TRUE, "2", nullptr},
                      DialogCase{"another command", WM_COMMAND, 1002, FALSE, nullptr, nullptr},
                      DialogCase{"close", WM_CLOSE, 0, FALSE, nullptr, nullptr},
                      DialogCase{"the worker's outcome 2, no button's result", WM_SETUP_DONE, 2,
                                 TRUE, "8", "2"},
                      DialogCase{"the worker's outcome, all 32 bits", WM_SETUP_DONE, 0xC0000005,
                                 TRUE, "8", "-1073741819"},
                      DialogCase{"anything else", WM_KEYDOWN, 0, FALSE, nullptr, nullptr}));

TEST_F(Window, MainWindowQuitsOnDestroyAndLeavesTheRestToTheDefault) {
    HWND window = PlatformNewWindow("main");
    EXPECT_EQ(MainWndProc(window, WM_DESTROY, 0, 0), 0);
    EXPECT_EQ(Calls("PostQuitMessage").size(), 1u);
    MainWndProc(window, WM_KEYDOWN, 7, 9);
    auto defaults = Calls("DefWindowProcA");
    ASSERT_EQ(defaults.size(), 1u);
    EXPECT_EQ(defaults[0].args, (std::vector<std::string>{"main", "256", "7", "9"}));
}

TEST_F(Window, InitialisationTakesTheLockThenIconBarAndWorkerInOrder) {
    PlatformSetDialogClientRect(RECT{0, 0, 420, 90});
    PlatformFailNth(FAULT_THREAD, 1);  // keep the worker from running in this test
    std::thread user([] {
        while (g_dialog == NULL || !PlatformWindowVisible(g_dialog)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        PostMessageA(g_dialog, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(DialogBoxParamA(NULL, MAKEINTRESOURCEA(IDD_PROGRESS), NULL, ProgressDialogProc, 0),
              IDCANCEL);
    user.join();
    std::string dialog = Calls("GetClientRect").at(0).args[0];  // the dialog's name

    std::vector<std::string> order;
    for (const auto& c : PlatformCallLog()) {
        order.push_back(c.api);
    }
    auto position = [&](const std::string& api) {
        return std::find(order.begin(), order.end(), api) - order.begin();
    };
    EXPECT_LT(position("CreateMutexA"), position("WaitForSingleObject"));
    EXPECT_LT(position("WaitForSingleObject"), position("GetDlgItem"));
    EXPECT_LT(position("GetDlgItem"), position("GetClientRect"));
    EXPECT_LT(position("GetClientRect"), position("InitCommonControls"));
    EXPECT_LT(position("InitCommonControls"), position("CreateWindowExA"));
    EXPECT_LT(position("CreateWindowExA"), position("CreateThread"));

    EXPECT_EQ(Calls("CreateMutexA")[0].args, (std::vector<std::string>{"1", "QELVORLOCK"}));
    EXPECT_EQ(Calls("GetDlgItem")[0].args[1], std::to_string(IDC_DIALOG_ICON));
    auto icon_messages = Calls("SendMessageA");
    ASSERT_EQ(icon_messages.size(), 2u);
    EXPECT_EQ(icon_messages[0].args[1], std::to_string(STM_GETICON));
    EXPECT_EQ(icon_messages[1].args[0], dialog);
    EXPECT_EQ(icon_messages[1].args[1], std::to_string(WM_SETICON));
    EXPECT_EQ(icon_messages[1].args[2], std::to_string(ICON_SMALL));
    auto libraries = Calls("LoadLibraryExA");
    ASSERT_EQ(libraries.size(), 1u);
    EXPECT_EQ(libraries[0].args[1], std::to_string(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_EQ(Calls("GetProcAddress")[0].args[1], "#17");

    EXPECT_EQ(Calls("CreateThread").size(), 1u);
    auto bars = Calls("CreateWindowExA");
    ASSERT_EQ(bars.size(), 1u);
    const std::vector<std::string>& a = bars[0].args;
    // ex style, class, title, style, x, y, width, height, parent, ...
    EXPECT_EQ(a[1], "msctls_progress32");
    EXPECT_EQ(a[3], std::to_string(WS_CHILD | WS_VISIBLE));
    EXPECT_EQ(std::vector<std::string>(a.begin() + 4, a.begin() + 9),
              (std::vector<std::string>{"15", "55", "320", "20", dialog}));
    EXPECT_NE(g_progress_bar, nullptr);
    ReleaseMutex(g_instance_lock);
    CloseHandle(g_instance_lock);
}

// Another launcher's user-interface thread holds the lock while this one
// initialises its dialog.
static void InitialiseBesideAnotherLauncher() {
    PlatformSetStrings({{IDS_TITLE, "QELVOR"}, {IDS_CLASS, "QELVOR"}});
    std::promise<void> taken;
    std::thread other([&taken] {
        CreateMutexA(NULL, TRUE, "QELVORLOCK");
        taken.set_value();
        std::this_thread::sleep_for(std::chrono::hours(1));
    });
    other.detach();
    taken.get_future().wait();
    // Held by another launcher: WinMain ends with 1618 (the lowest byte of
    // it is what a process's exit status keeps), the dialog never shown,
    // no worker started.
    int code = WinMain(NULL, NULL, NULL, SW_SHOW);
    bool shown = false;  // the dialog became visible at some point
    for (const auto& c : PlatformCallLog()) {
        shown = shown || (c.api == "ShowWindow" && c.args[0].rfind("dialog", 0) == 0 &&
                          c.args[1] != std::to_string(SW_HIDE));
    }
    std::exit(code == ERROR_INSTALL_ALREADY_RUNNING && !shown && Calls("CreateThread").empty() ? 42
                                                                                               : 7);
}

static void InitialiseWithoutAMutex() {
    PlatformFailNth(FAULT_MUTEX, 1);
    std::exit(WinMain(NULL, NULL, NULL, SW_SHOW) == ERROR_INSTALL_ALREADY_RUNNING &&
                      Calls("CreateThread").empty()
                  ? 42
                  : 7);
}

TEST_F(Window, SecondLauncherEndsAtOnceWith1618) {
    EXPECT_EXIT(InitialiseBesideAnotherLauncher(), ::testing::ExitedWithCode(42), "");
}

TEST_F(Window, MutexThatCannotBeCreatedEndsWith1618) {
    EXPECT_EXIT(InitialiseWithoutAMutex(), ::testing::ExitedWithCode(42), "");
}

// The whole user-interface thread: WinMain runs the dialog, the worker
// unpacks, starts nothing (there is no setup.exe) and closes it, and the
// loop ends with the outcome 0.
TEST_F(Window, WorkerCloseRequestEndsWinMainWithItsOutcome) {
    TempFolder temp, work;
    PlatformSetTempPath(temp.Text().c_str());
    fs::path launcher = work.path / "launcher.exe";
    WriteFile(launcher, BuildPayload(RandomBytes(300, 1), {StoredFile("readme.txt", {1})}));
    HMODULE module = PlatformModuleForFile(launcher.string().c_str());
    EXPECT_EQ(WinMain(module, NULL, NULL, SW_SHOW), 0);
    EXPECT_TRUE(fs::exists(temp.path / "qelvor" / "readme.txt"));
    auto dialogs = Calls("DialogBoxParamA");
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].args[1], "131");
    auto shows = Calls("ShowWindow");
    ASSERT_FALSE(shows.empty());
    EXPECT_EQ(Calls("SetDefaultDllDirectories").at(0).args[0],
              std::to_string(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_EQ(PlatformCallLog().front().api, "SetDefaultDllDirectories");
    for (const auto& c : Calls("ShowWindow")) {
        if (c.args[0] != "dialog") {
            EXPECT_EQ(c.args[1], std::to_string(SW_HIDE)) << "the main window is never shown";
        }
    }
}

// A dialog ended by the user before setup.exe starts, with either result,
// ends the process with ERROR_INSTALL_USEREXIT.
class DialogResult : public Window, public ::testing::WithParamInterface<int> {};

TEST_P(DialogResult, EndsWinMainWith1602) {
    PlatformFailNth(FAULT_THREAD, 1);  // no worker: only the user ends the dialog
    std::thread user([] {
        while (g_dialog == NULL || !PlatformWindowVisible(g_dialog)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        PostMessageA(g_dialog, WM_COMMAND, WPARAM(GetParam()), 0);
    });
    EXPECT_EQ(WinMain(NULL, NULL, NULL, SW_SHOW), ERROR_INSTALL_USEREXIT);
    user.join();
    auto ends = Calls("EndDialog");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].args[1], std::to_string(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Commands, DialogResult, ::testing::Values(IDOK, IDCANCEL));
