// Headless window services: a table of windows, registered classes, one
// message queue for the process, modal dialogs, string resources, and the
// call log entries that let tests see what the launcher asked for.
//
// Simplifications, all deliberate:
// - SendMessageA calls the target's procedure synchronously on the calling
//   thread, even when that is not the thread that created the window.
// - There is one queue for the whole process, not one per thread; the
//   launcher has one user-interface thread.
// - Window messages carry no painting, focus or keyboard state. Escape is
//   the only key the dialog loop interprets (as command IDCANCEL).
// - The quit request is a flag, as on Windows: GetMessageA delivers WM_QUIT
//   only once no posted message is waiting.

#include "state.h"

#include <strings.h>

#include <cstring>
#include <deque>
#include <map>

#define ERROR_CANNOT_FIND_WND_CLASS 1407
#define ERROR_CLASS_ALREADY_EXISTS 1410
#define ERROR_INVALID_WINDOW_HANDLE 1400

namespace {

const uintptr_t WINDOW_BASE = 0x100000;   // first window handle value
const uintptr_t ICON_BASE = 0x200000;     // fake icons: ICON_BASE + control id
const uintptr_t ARROW_CURSOR = 0x300001;  // the fake standard arrow cursor
const ATOM FIRST_ATOM = 0xC000;           // atoms of registered classes start here

struct Window {
    std::string name;                    // how the call log names it
    std::string class_name;              // its class as given
    WNDPROC procedure = nullptr;         // window procedure, if any
    DLGPROC dialog_procedure = nullptr;  // set for dialogs
    HWND parent = nullptr;
    int id = 0;  // control id of a dialog item
    bool visible = false;
    bool ended = false;         // a dialog that EndDialog has ended
    INT_PTR result = 0;         // the dialog's EndDialog result
    RECT client{};              // what GetClientRect reports
    std::map<int, HWND> items;  // a dialog's controls by id, made on first request
};

std::mutex window_lock;                  // guards everything below
std::condition_variable queue_changed;   // posted message, quit request or ended dialog
std::map<uintptr_t, Window> windows;     // every window by handle value
uintptr_t next_window = WINDOW_BASE;     // value of the next window handle
std::map<std::string, WNDPROC> classes;  // registered classes, name in lower case
ATOM next_atom = FIRST_ATOM;
std::deque<MSG> queue;                 // posted messages in order
bool quit_requested = false;           // PostQuitMessage was called
int quit_code = 0;                     // its exit code
std::map<UINT, std::string> strings;   // PlatformSetStrings' table
RECT dialog_client = {0, 0, 423, 81};  // client rectangle of new dialogs

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string Number(int64_t value) {
    return std::to_string(value);
}

/* Adds a window under the lock; returns its handle. */
HWND AddWindow(Window window) {
    uintptr_t value = next_window++;
    windows[value] = std::move(window);
    return reinterpret_cast<HWND>(value);
}

Window* Lookup(HWND window) {
    auto found = windows.find(reinterpret_cast<uintptr_t>(window));
    return found == windows.end() ? nullptr : &found->second;
}

/* Resource names are numbers or strings. */
std::string ResourceText(LPCSTR name) {
    return IS_INTRESOURCE(name) ? Number(reinterpret_cast<UINT_PTR>(name)) : Text(name);
}

/* Delivers one message to a window: a dialog's procedure, then the default
   dialog handling (a close request it leaves alone becomes a posted
   IDCANCEL command); a window's procedure; or, for a window without one,
   the fake answers of the common controls (STM_GETICON gives an icon). */
LRESULT Deliver(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    WNDPROC procedure = nullptr;
    DLGPROC dialog_procedure = nullptr;
    int id = 0;
    {
        std::lock_guard<std::mutex> hold(window_lock);
        Window* target = Lookup(window);
        if (!target) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        procedure = target->procedure;
        dialog_procedure = target->dialog_procedure;
        id = target->id;
    }
    if (dialog_procedure) {
        INT_PTR handled = dialog_procedure(window, message, wparam, lparam);
        if (!handled && message == WM_CLOSE) {
            PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        }
        return handled;
    }
    if (procedure) {
        return procedure(window, message, wparam, lparam);
    }
    if (message == STM_GETICON) {
        return static_cast<LRESULT>(ICON_BASE + static_cast<uintptr_t>(id));
    }
    return 0;
}

/* Takes the next message, waiting for one: posted messages first, the quit
   request when none is left. stop, checked under the lock, ends the wait
   early with false. */
template <class Stop>
bool NextMessage(MSG* msg, Stop stop) {
    std::unique_lock<std::mutex> hold(window_lock);
    queue_changed.wait(hold, [&] { return !queue.empty() || quit_requested || stop(); });
    if (queue.empty() && !quit_requested) {
        return false;
    }
    if (!queue.empty()) {
        *msg = queue.front();
        queue.pop_front();
    } else {
        quit_requested = false;
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(quit_code);
    }
    return true;
}

}  // namespace

std::string WindowName(HWND window) {
    if (!window) {
        return "(null)";
    }
    std::lock_guard<std::mutex> hold(window_lock);
    Window* found = Lookup(window);
    return found ? found->name : HandleText(window);
}

void ResetWindows() {
    std::lock_guard<std::mutex> hold(window_lock);
    queue.clear();
    quit_requested = false;
    quit_code = 0;
    classes.clear();
}

HWND PlatformNewWindow(const char* name) {
    Window window;
    window.name = Text(name);
    std::lock_guard<std::mutex> hold(window_lock);
    return AddWindow(window);
}

bool PlatformWindowVisible(HWND window) {
    std::lock_guard<std::mutex> hold(window_lock);
    Window* found = Lookup(window);
    return found && found->visible;
}

void PlatformSetStrings(const std::map<UINT, std::string>& table) {
    std::lock_guard<std::mutex> hold(window_lock);
    strings = table;
}

void PlatformSetDialogClientRect(const RECT& client) {
    std::lock_guard<std::mutex> hold(window_lock);
    dialog_client = client;
}

// ---- resources -----------------------------------------------------------------

/* Copies string id, cut to size - 1 bytes and terminated; the result is the
   number of bytes copied. A missing string (or a buffer of no size) returns
   0 and leaves the buffer as it was. */
int LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int size) {
    LOG_CALL("LoadStringA", {Number(id), Number(size)});
    std::string text;
    {
        std::lock_guard<std::mutex> hold(window_lock);
        auto found = strings.find(id);
        if (found == strings.end() || !buffer || size <= 0) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return 0;
        }
        text = found->second;
    }
    size_t length = std::min(text.size(), static_cast<size_t>(size - 1));
    memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

/* The stand-in has no icon resources: every icon is missing. */
HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
    LOG_CALL("LoadIconA", {HandleText(instance), ResourceText(name)});
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

/* Only the system's standard arrow exists. */
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
    LOG_CALL("LoadCursorA", {HandleText(instance), ResourceText(name)});
    if (!instance && name == IDC_ARROW) {
        return reinterpret_cast<HCURSOR>(ARROW_CURSOR);
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

void InitCommonControls() {
    LOG_CALL("InitCommonControls", {});
}

// ---- classes and windows ----------------------------------------------------------

/* Class names compare without regard to case; a name registered twice fails
   with ERROR_CLASS_ALREADY_EXISTS. */
ATOM RegisterClassExA(const WNDCLASSEXA* window_class) {
    if (!window_class) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    LOG_CALL("RegisterClassExA",
             {Text(window_class->lpszClassName), Number(window_class->cbSize),
              Number(window_class->style), HandleText(window_class->hIcon),
              HandleText(window_class->hCursor), HandleText(window_class->hbrBackground),
              HandleText(window_class->hIconSm)});
    if (!window_class->lpszClassName || !*window_class->lpszClassName ||
        !window_class->lpfnWndProc || window_class->cbSize != sizeof(WNDCLASSEXA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> hold(window_lock);
    std::string key = Lower(window_class->lpszClassName);
    if (classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    classes[key] = window_class->lpfnWndProc;
    return next_atom++;
}

/* Creates a window of a registered class, whose procedure then handles
   WM_CREATE before this returns (a result of -1 destroys the window and
   the result is null), or a progress bar, which has no procedure. The
   window is named by its title, or by its class when it has none. */
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter) {
    LOG_CALL("CreateWindowExA",
             {Number(ex_style), Text(class_name), Text(title), Number(style), Number(x), Number(y),
              Number(width), Number(height), WindowName(parent),
              Number(static_cast<int64_t>(reinterpret_cast<intptr_t>(menu))), HandleText(instance),
              HandleText(parameter)});
    Window window;
    window.class_name = Text(class_name);
    window.name = title && *title ? title : window.class_name;
    window.parent = parent;
    window.visible = (style & WS_VISIBLE) != 0;
    window.client = {0, 0, width == CW_USEDEFAULT ? 0 : width, height};
    HWND handle;
    {
        std::lock_guard<std::mutex> hold(window_lock);
        std::string key = Lower(window.class_name);
        if (classes.count(key)) {
            window.procedure = classes[key];
        } else if (key != Lower(PROGRESS_CLASSA)) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        handle = AddWindow(window);
    }
    if (window.procedure &&
        window.procedure(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(parameter)) == -1) {
        std::lock_guard<std::mutex> hold(window_lock);
        windows.erase(reinterpret_cast<uintptr_t>(handle));
        return nullptr;
    }
    return handle;
}

/* Returns whether the window was visible before. */
BOOL ShowWindow(HWND window, int command) {
    LOG_CALL("ShowWindow", {WindowName(window), Number(command)});
    std::lock_guard<std::mutex> hold(window_lock);
    Window* found = Lookup(window);
    if (!found) {
        return FALSE;
    }
    BOOL was_visible = found->visible;
    found->visible = command != SW_HIDE;
    return was_visible;
}

BOOL UpdateWindow(HWND window) {
    LOG_CALL("UpdateWindow", {WindowName(window)});
    std::lock_guard<std::mutex> hold(window_lock);
    return Lookup(window) != nullptr;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
    LOG_CALL("GetClientRect", {WindowName(window)});
    std::lock_guard<std::mutex> hold(window_lock);
    Window* found = Lookup(window);
    if (!found || !rect) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = found->client;
    return TRUE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LOG_CALL("DefWindowProcA",
             {WindowName(window), Number(message), Number(wparam), Number(lparam)});
    return 0;
}

/* Returns IDOK at once, as if the user had pressed OK. */
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    LOG_CALL("MessageBoxA", {WindowName(owner), Text(text), Text(caption), Number(style)});
    return IDOK;
}

// ---- messages --------------------------------------------------------------------

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LOG_CALL("SendMessageA", {WindowName(window), Number(message), Number(wparam), Number(lparam)});
    return Deliver(window, message, wparam, lparam);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LOG_CALL("PostMessageA", {WindowName(window), Number(message), Number(wparam), Number(lparam)});
    std::lock_guard<std::mutex> hold(window_lock);
    if (window && !Lookup(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wparam;
    msg.lParam = lparam;
    queue.push_back(msg);
    queue_changed.notify_all();
    return TRUE;
}

void PostQuitMessage(int exit_code) {
    LOG_CALL("PostQuitMessage", {Number(exit_code)});
    std::lock_guard<std::mutex> hold(window_lock);
    quit_requested = true;
    quit_code = exit_code;
    queue_changed.notify_all();
}

/* Waits for the next message (the filters are not supported and ignored);
   0 for WM_QUIT. */
BOOL GetMessageA(LPMSG msg, HWND, UINT, UINT) {
    NextMessage(msg, [] { return false; });
    return msg->message != WM_QUIT;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    LOG_CALL("DispatchMessageA", {WindowName(msg->hwnd), Number(msg->message), Number(msg->wParam),
                                  Number(msg->lParam)});
    if (!msg->hwnd) {
        return 0;
    }
    return Deliver(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// ---- dialogs ------------------------------------------------------------------------

/* Runs a headless modal dialog named "dialog <template>": WM_INITDIALOG
   first (with the parameter), then the dialog is shown (unless it already
   ended) and a modal loop delivers posted messages until EndDialog, whose
   result is returned. Escape aimed at the dialog or its controls becomes
   command IDCANCEL. A quit request met in the loop ends the loop (result 0
   unless the dialog had ended) and is requested again for the caller's
   loop. Without a procedure the dialog cannot be made: -1. */
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM parameter) {
    LOG_CALL("DialogBoxParamA", {HandleText(instance), ResourceText(template_name),
                                 WindowName(owner), Number(parameter)});
    if (!procedure) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    HWND dialog;
    {
        Window window;
        window.name = "dialog " + ResourceText(template_name);
        window.class_name = "#32770";
        window.dialog_procedure = procedure;
        window.parent = owner;
        std::lock_guard<std::mutex> hold(window_lock);
        window.client = dialog_client;
        dialog = AddWindow(window);
    }
    procedure(dialog, WM_INITDIALOG, 0, parameter);
    {
        std::lock_guard<std::mutex> hold(window_lock);
        Window* window = Lookup(dialog);
        window->visible = !window->ended;
    }
    auto ended = [dialog] { return Lookup(dialog)->ended; };  // called under the lock
    bool quit_seen = false;                                   // a quit request ended the loop
    int seen_code = 0;                                        // its exit code
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(window_lock);
            if (ended()) {
                break;
            }
        }
        MSG msg;
        if (!NextMessage(&msg, ended)) {
            break;
        }
        if (msg.message == WM_QUIT) {
            quit_seen = true;
            seen_code = static_cast<int>(msg.wParam);
            break;
        }
        bool for_dialog = msg.hwnd == dialog;  // aimed at the dialog or one of its controls
        {
            std::lock_guard<std::mutex> hold(window_lock);
            Window* target = Lookup(msg.hwnd);
            for_dialog = for_dialog || (target && target->parent == dialog);
        }
        if (for_dialog && msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
            Deliver(dialog, WM_COMMAND, IDCANCEL, 0);
            continue;
        }
        DispatchMessageA(&msg);
    }
    INT_PTR result;
    {
        std::lock_guard<std::mutex> hold(window_lock);
        Window* window = Lookup(dialog);
        window->visible = false;
        window->ended = true;
        result = window->result;
    }
    if (quit_seen) {
        PostQuitMessage(seen_code);
    }
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    LOG_CALL("EndDialog", {WindowName(dialog), Number(result)});
    std::lock_guard<std::mutex> hold(window_lock);
    Window* window = Lookup(dialog);
    if (!window || !window->dialog_procedure) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->ended = true;
    window->result = result;
    window->visible = false;
    queue_changed.notify_all();
    return TRUE;
}

/* The dialog's control with this id, made on first request and named
   "<dialog name> item <id>". */
HWND GetDlgItem(HWND dialog, int id) {
    LOG_CALL("GetDlgItem", {WindowName(dialog), Number(id)});
    std::lock_guard<std::mutex> hold(window_lock);
    Window* window = Lookup(dialog);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    auto found = window->items.find(id);
    if (found != window->items.end()) {
        return found->second;
    }
    Window item;
    item.name = window->name + " item " + Number(id);
    item.class_name = "static";
    item.parent = dialog;
    item.id = id;
    item.visible = true;
    HWND handle = AddWindow(item);
    window->items[id] = handle;
    return handle;
}
