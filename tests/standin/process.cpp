// Threads, child processes, waiting, pausing and the process's end, plus
// the runtime's split command line (__argc, __argv).
//
// A child is started with fork and execve; a close-on-exec pipe tells the
// parent whether the exec itself worked, so a missing or unrunnable program
// fails CreateProcessA as it does on Windows. A small thread per child
// reaps it, so thread and process handles are waited on the same way.

#include "state.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

int __argc = 0;
char** __argv = nullptr;

namespace {

const char COMMAND_LINE_VARIABLE[] = "QELVOR_COMMAND_LINE";  // the child's exact command line
const int EXEC_FAILED = 127;           // exit code of a child that could not exec
const int ASYNC_START_DELAY_MS = 200;  // how late the shell starts without SEE_MASK_NOASYNC

std::atomic<bool> instant_sleep{false};   // Sleep returns at once
std::atomic<DWORD> next_thread_id{1000};  // ids handed to CreateThread's callers

std::mutex elevation_lock;       // guards the two below
std::string elevated_program;    // PlatformRequireElevation's program, as a POSIX path
bool elevation_accepted = true;  // the user's answer to the prompt

std::vector<std::string> arguments;  // the command line split, as __argv shows it
std::vector<char*> argument_vector;  // pointers into it, null-terminated
std::string raw_command_line;        // as GetCommandLineA gives it

/* Marks a completion as reached and wakes its waiters. */
void Complete(const std::shared_ptr<Completion>& completion, DWORD code) {
    std::lock_guard<std::mutex> hold(completion->lock);
    completion->done = true;
    completion->code = code;
    completion->changed.notify_all();
}

/* Waits until the completion is reached or the time is up. */
DWORD WaitForCompletion(const std::shared_ptr<Completion>& completion, DWORD milliseconds) {
    std::unique_lock<std::mutex> hold(completion->lock);
    auto done = [&] { return completion->done; };
    if (milliseconds == INFINITE) {
        completion->changed.wait(hold, done);
        return WAIT_OBJECT_0;
    }
    return completion->changed.wait_for(hold, std::chrono::milliseconds(milliseconds), done)
               ? WAIT_OBJECT_0
               : WAIT_TIMEOUT;
}

/* Splits a command line the way the Windows runtime does: blanks separate
   arguments outside double quotes; 2n backslashes before a quote give n
   backslashes and the quote opens or closes a quoted part; 2n+1 give n
   backslashes and a literal quote; inside quotes "" is a literal quote;
   other backslashes are literal. */
std::vector<std::string> SplitCommandLine(const char* line) {
    std::vector<std::string> parts;
    std::string current;   // the argument being built
    bool in_part = false;  // something (even "") has started an argument
    bool quoted = false;   // inside a quoted stretch
    for (const char* p = line; *p;) {
        if (!quoted && (*p == ' ' || *p == '\t')) {
            if (in_part) {
                parts.push_back(current);
                current.clear();
                in_part = false;
            }
            p++;
            continue;
        }
        in_part = true;
        if (*p == '\\') {
            size_t slashes = 0;
            while (*p == '\\') {
                slashes++;
                p++;
            }
            if (*p == '"') {
                current.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    current += '"';
                    p++;
                }
            } else {
                current.append(slashes, '\\');
            }
            continue;
        }
        if (*p == '"') {
            if (quoted && p[1] == '"') {
                current += '"';
                p += 2;
                continue;
            }
            quoted = !quoted;
            p++;
            continue;
        }
        current += *p++;
    }
    if (in_part) {
        parts.push_back(current);
    }
    return parts;
}

/* True when the program's manifest asks for administrator rights. */
bool NeedsElevation(const std::string& program) {
    std::lock_guard<std::mutex> hold(elevation_lock);
    return !elevated_program.empty() && program == elevated_program;
}

/* The error CreateProcessA reports for an errno of the exec or chdir. */
DWORD ExecError(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

}  // namespace

void PlatformRequireElevation(const char* program, bool user_accepts) {
    std::lock_guard<std::mutex> hold(elevation_lock);
    elevated_program = program ? PosixPath(program) : std::string();
    elevation_accepted = user_accepts;
}

HANDLE PlatformStartProgram(const std::string& program, std::string command_line) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
        return nullptr;
    }
    CloseHandle(started.hThread);
    return started.hProcess;
}

void PlatformSetInstantSleep(bool instant) {
    instant_sleep = instant;
}

/* __argc and __argv point into the kept copy. */
static void SetSplitArguments(const std::vector<std::string>& given) {
    arguments = given;
    argument_vector.clear();
    for (std::string& argument : arguments) {
        argument_vector.push_back(argument.data());
    }
    argument_vector.push_back(nullptr);
    __argc = static_cast<int>(arguments.size());
    __argv = argument_vector.data();
}

void PlatformSetArguments(const std::vector<std::string>& given) {
    SetSplitArguments(given);
    raw_command_line.clear();
    for (const std::string& argument : given) {
        bool blank = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
        raw_command_line +=
            (raw_command_line.empty() ? "" : " ") + (blank ? "\"" + argument + "\"" : argument);
    }
}

void PlatformSetCommandLine(const std::string& command_line) {
    SetSplitArguments(SplitCommandLine(command_line.c_str()));
    raw_command_line = command_line;
}

LPSTR GetCommandLineA() {
    return raw_command_line.data();
}

void Sleep(DWORD milliseconds) {
    LOG_CALL("Sleep", {std::to_string(milliseconds)});
    if (!instant_sleep) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

/* Runs start(parameter) on a new thread at once (the flags are ignored).
   The handle is signalled when the procedure returns; the thread does not
   depend on the handle staying open. */
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD thread_id) {
    LOG_CALL("CreateThread", {std::to_string(reinterpret_cast<uintptr_t>(parameter))});
    if (FaultHit(FAULT_THREAD) || !start) {
        SetLastError(start ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<KernelObject>();
    object->kind = OBJ_THREAD;
    object->completion = std::make_shared<Completion>();
    std::shared_ptr<Completion> completion = object->completion;
    DWORD id = next_thread_id++;
    HANDLE handle = NewHandle(object);
    if (thread_id) {
        *thread_id = id;
    }
    std::thread([start, parameter, completion] {
        Complete(completion, start(parameter));
    }).detach();
    return handle;
}

/* Starts a program. The application path is translated like every path; a
   null application takes the command line's first argument. The child gets
   the command line split into argv (or just the application path when the
   command line is null), the caller's environment plus QELVOR_COMMAND_LINE
   holding the exact command line, and the current folder given (or the
   caller's). Success means the exec has happened; a missing program, a
   missing folder or an unrunnable file fail with nothing left behind. */
static BOOL StartChild(LPCSTR application, LPSTR command_line, LPCSTR current_directory,
                       LPPROCESS_INFORMATION information, bool elevated) {
    if (!information || (!application && !command_line)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> argv_text =
        command_line ? SplitCommandLine(command_line) : std::vector<std::string>{application};
    std::string program = PosixPath(application         ? application
                                    : argv_text.empty() ? ""
                                                        : argv_text[0].c_str());
    if (!elevated && NeedsElevation(program)) {
        SetLastError(ERROR_ELEVATION_REQUIRED);
        return FALSE;
    }
    if (ImageOpenBlocked(program)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    std::string folder = current_directory ? PosixPath(current_directory) : std::string();
    std::string marker =
        std::string(COMMAND_LINE_VARIABLE) + "=" + (command_line ? command_line : application);

    // Everything the child needs is built before fork, which leaves only
    // async-signal-safe calls for the child.
    std::vector<char*> child_argv;
    for (std::string& part : argv_text) {
        child_argv.push_back(part.data());
    }
    child_argv.push_back(nullptr);
    std::vector<char*> child_env;
    size_t name_length = strlen(COMMAND_LINE_VARIABLE);
    for (char** variable = environ; *variable; variable++) {
        if (strncmp(*variable, COMMAND_LINE_VARIABLE, name_length) != 0 ||
            (*variable)[name_length] != '=') {
            child_env.push_back(*variable);
        }
    }
    child_env.push_back(marker.data());
    child_env.push_back(nullptr);

    int report[2];  // the child writes its errno here when exec fails
    if (pipe2(report, O_CLOEXEC) != 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        SetErrorFromErrno(errno);
        close(report[0]);
        close(report[1]);
        return FALSE;
    }
    if (pid == 0) {
        close(report[0]);
        int error = 0;  // errno of the exec, or minus that of the chdir
        if (!folder.empty() && chdir(folder.c_str()) != 0) {
            error = -errno;
        } else {
            execve(program.c_str(), child_argv.data(), child_env.data());
            error = errno;
        }
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(EXEC_FAILED);
    }
    close(report[1]);
    int error = 0;  // what the child reports when it could not exec
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got > 0) {
        waitpid(pid, nullptr, 0);
        SetLastError(error < 0 ? ERROR_DIRECTORY : ExecError(error));
        return FALSE;
    }

    auto completion = std::make_shared<Completion>();
    ImageIdentity image = ImageStarted(program);  // mapped until the child ends
    std::thread([pid, completion, image] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        ImageEnded(image);
        DWORD code = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                                       : static_cast<DWORD>(128 + WTERMSIG(status));
        Complete(completion, code);
    }).detach();
    auto process = std::make_shared<KernelObject>();
    process->kind = OBJ_PROCESS;
    process->pid = pid;
    process->completion = completion;
    auto thread = std::make_shared<KernelObject>();
    thread->kind = OBJ_THREAD;
    thread->completion = completion;
    information->hProcess = NewHandle(process);
    information->hThread = NewHandle(thread);
    information->dwProcessId = static_cast<DWORD>(pid);
    information->dwThreadId = static_cast<DWORD>(pid);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR current_directory,
                    LPSTARTUPINFOA, LPPROCESS_INFORMATION information) {
    LOG_CALL("CreateProcessA", {Text(application), Text(command_line), Text(current_directory)});
    if (FaultHit(FAULT_PROCESS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return StartChild(application, command_line, current_directory, information, false);
}

/* The shell's start of a program file with its parameters: the child's
   command line is the quoted path, a blank and the parameters. The verb
   "runas" starts it elevated after the prompt, which the user may decline
   (ERROR_CANCELLED); without it, a program that needs elevation fails as
   under CreateProcessA. The process handle is returned only with
   SEE_MASK_NOCLOSEPROCESS, and only when SEE_MASK_NOASYNC makes the start
   complete before the call returns: without it the shell may start the
   program on a thread of its own afterwards (a process that ends at once
   loses the start), which the stand-in does, a moment later. */
BOOL ShellExecuteExA(LPSHELLEXECUTEINFOA info) {
    if (!info || info->cbSize != sizeof *info || !info->lpFile) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LOG_CALL("ShellExecuteExA", {Text(info->lpVerb), Text(info->lpFile), Text(info->lpParameters),
                                 Text(info->lpDirectory), std::to_string(info->fMask),
                                 info->hwnd ? WindowName(info->hwnd) : "(null)"});
    info->hProcess = nullptr;
    bool runas = info->lpVerb && strcasecmp(info->lpVerb, "runas") == 0;  // asks for elevation
    if (runas && NeedsElevation(PosixPath(info->lpFile))) {
        std::lock_guard<std::mutex> hold(elevation_lock);
        if (!elevation_accepted) {
            SetLastError(ERROR_CANCELLED);
            return FALSE;
        }
    }
    std::string line = std::string("\"") + info->lpFile + "\"";
    if (info->lpParameters && *info->lpParameters) {
        line += std::string(" ") + info->lpParameters;
    }
    if (!(info->fMask & SEE_MASK_NOASYNC)) {
        // The shell finishes the start on a thread of its own, after the
        // call has returned, and hands out no process to wait on.
        std::string file = info->lpFile;
        std::string directory = info->lpDirectory ? info->lpDirectory : "";
        std::thread([file, line, directory, runas] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ASYNC_START_DELAY_MS));
            std::string command = line;
            PROCESS_INFORMATION later;
            if (StartChild(file.c_str(), command.data(),
                           directory.empty() ? nullptr : directory.c_str(), &later, runas)) {
                CloseHandle(later.hThread);
                CloseHandle(later.hProcess);
            }
        }).detach();
        return TRUE;
    }
    PROCESS_INFORMATION started;
    if (!StartChild(info->lpFile, line.data(), info->lpDirectory, &started, runas)) {
        return FALSE;
    }
    CloseHandle(started.hThread);
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
        info->hProcess = started.hProcess;
    } else {
        CloseHandle(started.hProcess);
    }
    return TRUE;
}

/* The exit code of an ended process, or STILL_ACTIVE while it runs. */
BOOL GetExitCodeProcess(HANDLE process, LPDWORD code) {
    LOG_CALL("GetExitCodeProcess", {HandleText(process)});
    std::shared_ptr<KernelObject> object = FindHandle(process, OBJ_PROCESS);
    if (!object || !code) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(object->completion->lock);
    *code = object->completion->done ? object->completion->code : STILL_ACTIVE;
    return TRUE;
}

/* Waits for a thread or process to end, or takes a mutex. Any other handle,
   and a null or unknown one, fails at once with WAIT_FAILED. */
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    LOG_CALL("WaitForSingleObject", {HandleText(handle), std::to_string(milliseconds)});
    std::shared_ptr<KernelObject> object = FindHandle(handle);
    if (!object || object->kind == OBJ_FILE || object->kind == OBJ_SEARCH) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (object->kind == OBJ_MUTEX) {
        return WaitForMutex(object, milliseconds);
    }
    return WaitForCompletion(object->completion, milliseconds);
}

/* Ends the process at once with the exit code: no destructors, no atexit
   handlers, as Windows ends a process. Buffered output is flushed first so
   that nothing printed before is lost. */
void ExitProcess(UINT exit_code) {
    LOG_CALL("ExitProcess", {std::to_string(exit_code)});
    fflush(nullptr);
    std::_Exit(static_cast<int>(exit_code));
}
