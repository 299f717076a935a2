// The extractor's Windows side. The payload is read through one handle on
// the launcher's own file, which keeps its position: the extractor reads
// strictly forward, so each chunk member costs one ReadFile and no move.
// Files are created, written and copied by path in the destination, which
// the worker holds (workspace.h), as it holds Style and lang: nobody can
// swap them meanwhile. The sub-folders are held here as well, for the
// extraction's length, and copies go only into one that the hold shows to
// be a real folder, so that nothing is written through a link even where
// no worker holds them. The identity of setup.exe is taken from the handle
// that wrote it, so that the file the launcher starts can be checked to be
// this one.
//
// What it trades away: paths are built in 260-byte buffers, so a name that
// does not fit beside the destination is refused before anything is
// written (name_room), rather than reached through a longer form.
#include "workspace/files.h"

#include "payload/extract.h"
#include "payload/text.h"
#include "workspace/ansi.h"

#include <string.h>

// The payload file, read forward through one handle.
struct HandleSource {
    HANDLE file;        // open for reading
    uint64_t position;  // where the handle's file pointer stands
};

// What the Windows side of one extraction keeps.
struct WindowsFiles {
    const char* destination;             // the folder, without a trailing backslash
    HANDLE subfolders[SUBFOLDER_COUNT];  // held, in SUBFOLDERS' order; or INVALID_HANDLE_VALUE
    HANDLE file;                         // the file being written, or INVALID_HANDLE_VALUE
    int writing_setup;                   // the file being written is setup.exe
    ExtractReport* report;  // receives setup.exe's identity and a write's failure; may be null
    ProgressFn progress;    // the caller's, or null
};

/* Moves the file pointer by a 64-bit distance; the platform call takes the
   distance as two signed 32-bit halves. Returns the new position, or -1. */
int64_t MoveFilePointer(HANDLE file, int64_t distance, DWORD method) {
    LONG high = (LONG)(distance >> 32);  // upper half in, new position's upper half out
    SetLastError(ERROR_SUCCESS);         // a low half of 0xFFFFFFFF is only a failure with an error
    DWORD low = SetFilePointer(file, (LONG)(uint32_t)distance, &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) {
        return -1;
    }
    return ((int64_t)high << 32) | low;
}

/* ReadAtFn over the handle: a move only when the read does not start where
   the last one ended, then one read. */
static int ReadHandleAt(void* source, uint64_t offset, void* buffer, uint32_t size, uint32_t* got) {
    HandleSource* handle = (HandleSource*)source;
    DWORD delivered = 0;  // bytes that the read delivered
    *got = 0;
    if (offset != handle->position) {
        if (MoveFilePointer(handle->file, (int64_t)offset, FILE_BEGIN) < 0) {
            return 0;
        }
        handle->position = offset;
    }
    if (!ReadFile(handle->file, buffer, size, &delivered, NULL)) {
        handle->position = UINT64_MAX;  // unknown after a failed read
        return 0;
    }
    handle->position += delivered;
    *got = delivered;
    return 1;
}

/* Keeps why a file could not be written, for the worker. */
static void NoteWriteError(WindowsFiles* files, DWORD error) {
    if (files->report != NULL) {
        files->report->write_error = error != 0 ? error : ERROR_WRITE_FAULT;
    }
}

/* destination\name (and folder\ between them when folder is not null) into
   path; 0 when it does not fit. */
static int BuildPath(char* path, const char* destination, const char* folder, const char* name) {
    memset(path, 0, MAX_PATH);
    return CopyText(path, MAX_PATH, destination) && AppendText(path, MAX_PATH, "\\") &&
           (folder == NULL ||
            (AppendText(path, MAX_PATH, folder) && AppendText(path, MAX_PATH, "\\"))) &&
           AppendText(path, MAX_PATH, name);
}

static int DecodeName(void* context, const char* name, wchar_t* characters, int capacity) {
    (void)context;
    return AnsiToWide(name, characters, capacity);
}

/* The place of a sub-folder in SUBFOLDERS, by its name. */
static int SubfolderIndex(const char* folder) {
    int f = 0;
    while (f + 1 < SUBFOLDER_COUNT && strcmp(SUBFOLDERS[f].name, folder) != 0) {
        f++;
    }
    return f;
}

/* The folder is created without security attributes: the worker has made
   it already, with the workspace's own, and this changes nothing then. A
   link in its place gives no hold, and then nothing is copied there. */
static void CreateFolder(void* context, const char* folder) {
    WindowsFiles* files = (WindowsFiles*)context;
    char path[MAX_PATH];  // destination\folder
    if (BuildPath(path, files->destination, NULL, folder)) {
        CreateDirectoryA(path, NULL);
        files->subfolders[SubfolderIndex(folder)] = HoldFolder(path);
    }
}

/* Creates the file without sharing, replacing one left in place (the
   worker's workspace holds none). */
static int CreateEntryFile(void* context, const char* name) {
    WindowsFiles* files = (WindowsFiles*)context;
    char path[MAX_PATH];  // destination\name
    if (!BuildPath(path, files->destination, NULL, name)) {
        return 0;
    }
    files->file =
        CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    files->writing_setup = EqualsIgnoringAsciiCase(name, SETUP_NAME);
    if (files->file == INVALID_HANDLE_VALUE) {
        NoteWriteError(files, GetLastError());
        return 0;
    }
    return 1;
}

/* A short write is a full disk: it fails like a failed one. */
static int AppendToFile(void* context, const uint8_t* data, uint32_t size) {
    WindowsFiles* files = (WindowsFiles*)context;
    DWORD written = 0;  // bytes the write took
    if (!WriteFile(files->file, data, size, &written, NULL)) {
        NoteWriteError(files, GetLastError());
        return 0;
    }
    if (written != size) {
        NoteWriteError(files, ERROR_DISK_FULL);
        return 0;
    }
    return 1;
}

/* A complete setup.exe leaves its identity behind, read from the handle
   that wrote it. */
static void CloseEntryFile(void* context, int complete) {
    WindowsFiles* files = (WindowsFiles*)context;
    if (complete && files->writing_setup && files->report != NULL) {
        files->report->setup_written =
            ReadFileIdentity(files->file, &files->report->setup_identity);
    }
    CloseHandle(files->file);
    files->file = INVALID_HANDLE_VALUE;
}

static void CopyToFolder(void* context, const char* name, const char* folder) {
    WindowsFiles* files = (WindowsFiles*)context;
    char from[MAX_PATH];  // destination\name
    char to[MAX_PATH];    // destination\folder\name
    if (files->subfolders[SubfolderIndex(folder)] != INVALID_HANDLE_VALUE &&
        BuildPath(from, files->destination, NULL, name) &&
        BuildPath(to, files->destination, folder, name)) {
        CopyFileA(from, to, FALSE);
    }
}

static void ReportEntry(void* context, uint32_t done, uint32_t total) {
    WindowsFiles* files = (WindowsFiles*)context;
    if (files->progress != NULL) {
        files->progress(done, total, 0);
    }
}

/* Opens the payload file for reading, sharing reading, and runs the
   extractor over it. The name room is what MAX_PATH leaves behind the
   destination, its backslash and the terminator. */
int ExtractPayloadFile(const char* payload_path, const char* destination, ProgressFn progress,
                       ExtractReport* report) {
    WindowsFiles files = {
        destination, {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE}, INVALID_HANDLE_VALUE, 0, report,
        progress};
    size_t destination_length = strlen(destination);
    ExtractSink sink = {&files,          DecodeName,   CreateFolder,
                        CreateEntryFile, AppendToFile, CloseEntryFile,
                        CopyToFolder,    ReportEntry,  0};
    if (report != NULL) {
        memset(report, 0, sizeof *report);
    }
    if (destination_length + 2 >= MAX_PATH) {
        return 0;
    }
    sink.name_room = (uint32_t)(MAX_PATH - destination_length - 2);
    HandleSource source = {CreateFileA(payload_path, GENERIC_READ, FILE_SHARE_READ, NULL,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL),
                           0};
    if (source.file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int64_t size = MoveFilePointer(source.file, 0, FILE_END);  // the file's length
    source.position = (uint64_t)size;
    PayloadSource payload = {ReadHandleAt, &source, (uint64_t)size};
    int result = size >= 0 && ExtractThrough(&payload, &sink);
    CloseHandle(source.file);
    for (int f = 0; f < SUBFOLDER_COUNT; f++) {
        if (files.subfolders[f] != INVALID_HANDLE_VALUE) {
            CloseHandle(files.subfolders[f]);
        }
    }
    return result;
}

/* The module's own executable file carries the payload. */
int ExtractPayload(HINSTANCE instance, const char* destination, ProgressFn progress,
                   ExtractReport* report) {
    char own_name[MAX_PATH];  // full path of the module's file
    memset(own_name, 0, sizeof own_name);
    DWORD length = GetModuleFileNameA(instance, own_name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        if (report != NULL) {
            memset(report, 0, sizeof *report);
        }
        return 0;
    }
    return ExtractPayloadFile(own_name, destination, progress, report);
}
