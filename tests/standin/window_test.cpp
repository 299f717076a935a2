// Headless window services: strings, classes and windows, messages, the
// modal dialog and its default handling.

#include "tests/standin/testing.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class Windows : public ::testing::Test {
  protected:
    void SetUp() override {
        PlatformReset();
        PlatformRecordCalls(true);  // the test reads the log
    }
    // The recorded calls of one API, in order.
    static std::vector<std::vector<std::string>> Calls(const std::string& api) {
        std::vector<std::vector<std::string>> found;
        for (const PlatformCall& call : PlatformCallLog()) {
            if (call.api == api) {
                found.push_back(call.args);
            }
        }
        return found;
    }
};

// ---- strings ----------------------------------------------------------------------

struct StringRow {
    UINT id;
    int size;
    int result;
    const char* buffer;  // contents afterwards
};

class Strings : public Windows, public ::testing::WithParamInterface<StringRow> {};

TEST_P(Strings, CopyTruncatedOrLeaveUntouched) {
    PlatformSetStrings({{103, "QELVOR"}, {107, "error text"}});
    char buffer[16];
    strcpy(buffer, "untouched");
    EXPECT_EQ(LoadStringA(nullptr, GetParam().id, buffer, GetParam().size), GetParam().result);
    EXPECT_STREQ(buffer, GetParam().buffer);
}

INSTANTIATE_TEST_SUITE_P(Table, Strings,
                         ::testing::Values(StringRow{103, 16, 6, "QELVOR"},
                                           StringRow{107, 16, 10, "error text"},
                                           StringRow{107, 6, 5, "error"}, StringRow{107, 1, 0, ""},
                                           StringRow{104, 16, 0, "untouched"},
                                           StringRow{103, 0, 0, "untouched"}));

// ---- classes, windows, messages ---------------------------------------------------------

LRESULT CALLBACK Recorder(HWND window, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_CREATE) {
        return 0;
    }
    if (message == WM_USER) {
        return static_cast<LRESULT>(wparam * 2);
    }
    return DefWindowProcA(window, message, wparam, 0);
}

LRESULT CALLBACK Refuser(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_CREATE ? -1 : 0;
}

WNDCLASSEXA ClassOf(const char* name, WNDPROC procedure) {
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.lpszClassName = name;
    return window_class;
}

TEST_F(Windows, CreationRunsCreateAndHonoursRefusal) {
    WNDCLASSEXA good = ClassOf("Main", Recorder);
    WNDCLASSEXA bad = ClassOf("Bad", Refuser);
    EXPECT_NE(RegisterClassExA(&good), 0);
    EXPECT_EQ(RegisterClassExA(&good), 0);
    EXPECT_NE(RegisterClassExA(&bad), 0);
    HWND main = CreateWindowExA(0, "MAIN", "QELVOR", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                CW_USEDEFAULT, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(main, nullptr);
    EXPECT_FALSE(PlatformWindowVisible(main));
    EXPECT_EQ(CreateWindowExA(0, "Bad", "x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(CreateWindowExA(0, "Nope", "x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE, 15, 46, 323, 20,
                               main, nullptr, nullptr, nullptr);
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(PlatformWindowVisible(bar));
    EXPECT_EQ(SendMessageA(main, WM_USER, 21, 0), 42);
    EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 3, 0), 0);
    auto created = Calls("CreateWindowExA");
    ASSERT_EQ(created.size(), 4u);
    EXPECT_EQ(created[3],
              (std::vector<std::string>{"0", "msctls_progress32", "(null)", "1342177280", "15",
                                        "46", "323", "20", "QELVOR", "0", "0", "0"}));
    EXPECT_EQ(Calls("SendMessageA"),
              (std::vector<std::vector<std::string>>{{"QELVOR", "1024", "21", "0"},
                                                     {"msctls_progress32", "1026", "3", "0"}}));
}

TEST_F(Windows, ShowWindowAndMessageBoxAreRecorded) {
    HWND dialog = PlatformNewWindow("progress");
    EXPECT_FALSE(ShowWindow(dialog, SW_SHOW));
    EXPECT_TRUE(PlatformWindowVisible(dialog));
    EXPECT_TRUE(ShowWindow(dialog, SW_HIDE));
    EXPECT_FALSE(PlatformWindowVisible(dialog));
    EXPECT_EQ(MessageBoxA(dialog, "text", "Setup", MB_ICONERROR), IDOK);
    EXPECT_EQ(Calls("MessageBoxA"),
              (std::vector<std::vector<std::string>>{{"progress", "text", "Setup", "16"}}));
}

TEST_F(Windows, QuitComesAfterPostedMessages) {
    HWND window = PlatformNewWindow("w");
    PostQuitMessage(5);
    PostMessageA(window, WM_USER, 1, 2);
    MSG msg;
    EXPECT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, (UINT)WM_USER);
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.wParam, 5u);
}

// ---- the modal dialog ---------------------------------------------------------------------

HWND seen_dialog = nullptr;  // the dialog handle the procedure was given

// Like the launcher's dialog: the close request posts the quit request and
// is left to the default handling; commands 1 and 2 end the dialog.
INT_PTR CALLBACK LauncherLike(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    seen_dialog = dialog;
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_CLOSE:
        PostQuitMessage(0);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

DWORD CloseLater(LPVOID) {
    while (!seen_dialog || !PlatformWindowVisible(seen_dialog)) {
        Sleep(1);
    }
    PostMessageA(seen_dialog, WM_CLOSE, 0, 0);
    return 0;
}

TEST_F(Windows, CloseLeftToDefaultHandlingEndsWithCancel) {
    PlatformSetInstantSleep(false);
    seen_dialog = nullptr;
    HWND owner = PlatformNewWindow("main");
    HANDLE closer = CreateThread(nullptr, 0, CloseLater, nullptr, 0, nullptr);
    INT_PTR result = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(131), owner, LauncherLike, 0);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(PlatformWindowVisible(seen_dialog));
    MSG msg;
    EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));  // the quit request is still there
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
    EXPECT_EQ(Calls("EndDialog"), (std::vector<std::vector<std::string>>{{"dialog 131", "2"}}));
    auto posted = Calls("PostMessageA");
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1], (std::vector<std::string>{"dialog 131", "273", "2", "0"}));
}

struct LoopRow {
    const char* what;
    bool to_item;  // the message goes to a control of the dialog
    UINT message;
    WPARAM wparam;
    INT_PTR result;  // what DialogBoxParamA returns
};

class ModalLoop : public Windows, public ::testing::WithParamInterface<LoopRow> {};

// Posts the row's message from inside WM_INITDIALOG, so it is the first
// thing the modal loop takes.
const LoopRow* current_row = nullptr;

INT_PTR CALLBACK PostOnInit(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        HWND target = current_row->to_item ? GetDlgItem(dialog, 1002) : dialog;
        PostMessageA(target, current_row->message, current_row->wparam, 0);
        return TRUE;
    }
    return LauncherLike(dialog, message, wparam, lparam);
}

TEST_P(ModalLoop, EndsAsWindowsWould) {
    current_row = &GetParam();
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(131), nullptr, PostOnInit, 0),
              GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModalLoop,
    ::testing::Values(LoopRow{"escape_on_item", true, WM_KEYDOWN, VK_ESCAPE, IDCANCEL},
                      LoopRow{"escape_on_dialog", false, WM_KEYDOWN, VK_ESCAPE, IDCANCEL},
                      LoopRow{"command_ok", false, WM_COMMAND, IDOK, IDOK},
                      LoopRow{"close", false, WM_CLOSE, 0, IDCANCEL}),
    [](const auto& info) { return std::string(info.param.what); });

INT_PTR CALLBACK QuitOnInit(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        PostMessageA(GetDlgItem(dialog, 7), WM_USER, 0, 0);
        PostQuitMessage(3);
        return TRUE;
    }
    return FALSE;
}

TEST_F(Windows, QuitInsideModalLoopEndsItAndIsRequestedAgain) {
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(131), nullptr, QuitOnInit, 0), 0);
    EXPECT_EQ(Calls("DispatchMessageA").size(), 1u);  // the posted message came first
    MSG msg;
    EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(Windows, DialogItemsAndClientRect) {
    PlatformSetDialogClientRect(RECT{0, 0, 300, 60});
    INT_PTR result = DialogBoxParamA(
        nullptr, MAKEINTRESOURCEA(131), nullptr,
        [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
            if (message == WM_INITDIALOG) {
                HWND icon = GetDlgItem(dialog, 1002);
                EXPECT_EQ(GetDlgItem(dialog, 1002), icon);
                LRESULT image = SendMessageA(icon, STM_GETICON, 0, 0);
                EXPECT_NE(image, 0);
                RECT client{};
                GetClientRect(dialog, &client);
                EndDialog(dialog, client.right + client.bottom);
            }
            return TRUE;
        },
        0);
    EXPECT_EQ(result, 360);
    PlatformSetDialogClientRect(RECT{0, 0, 423, 81});
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(131), nullptr, nullptr, 0), -1);
}

}  // namespace
