// The extractor: turns the payload appended to an executable file into plain
// files in a destination folder.
//
// It reads strictly forward: one move to the first chunk member, then every
// member in directory order, each fetched with a single read into a 1 MiB
// input buffer and decoded into a 1 MiB output buffer. Memory stays near
// 2 MiB plus the directory, whatever the payload's size. The directory is
// checked as a whole before anything is written, so a damaged or hostile
// directory never makes the extractor write outside the destination.
//
// A file that cannot be created or written in full fails the extraction:
// the launcher must never start a setup.exe left from an earlier run, or a
// truncated one. Only the Style\ and lang\ copies are best-effort, and they
// are never written through a link planted in place of those folders.
#include "payload/payload.h"

#include "inflate/inflate.h"
#include "payload/folders.h"
#include "payload/names.h"
#include "payload/paths.h"
#include "payload/reading.h"

#include <string.h>

uint32_t g_entries_done = 0;    // entries reported in this process, never reset
int g_setup_written = 0;        // 1 once setup.exe has been written in full
FileIdentity g_setup_identity;  // the file it was written to

#define STYLE_FOLDER "Style\\"  // sub-folder for style files
#define LANG_FOLDER "lang\\"    // sub-folder for language files
#define STYLE_MARK ".jvs"       // names containing this go to STYLE_FOLDER too
#define LANG_MARK ".lng"        // names containing this go to LANG_FOLDER too
#define CREATE_TRIES 10         // attempts at a file that is momentarily in use
#define CREATE_PAUSE_MS 100     // between two attempts: a second in all

// Everything that one extraction owns, released together on every path.
struct Extraction {
    HANDLE heap;            // the process heap
    uint8_t* input;         // one chunk member at a time
    uint8_t* output;        // one chunk's decoded content at a time
    PayloadEntry* entries;  // the directory, entry 0 first
    HANDLE payload;         // the payload file, read only
    HANDLE entry_file;      // the entry being written, or INVALID_HANDLE_VALUE
    HANDLE style_folder;    // Style, held while copies go there; or INVALID_HANDLE_VALUE
    HANDLE lang_folder;     // lang, the same
};

/* Releases whatever the extraction still holds and returns result. */
static int FinishExtraction(Extraction* x, int result) {
    HANDLE held[] = {x->entry_file, x->style_folder,
                     x->lang_folder};  // INVALID_HANDLE_VALUE if none
    for (size_t i = 0; i < sizeof held / sizeof held[0]; i++) {
        if (held[i] != INVALID_HANDLE_VALUE) {
            CloseHandle(held[i]);
        }
    }
    if (x->payload != INVALID_HANDLE_VALUE) {
        CloseHandle(x->payload);
    }
    if (x->entries != NULL) {
        HeapFree(x->heap, 0, x->entries);
    }
    if (x->output != NULL) {
        HeapFree(x->heap, 0, x->output);
    }
    if (x->input != NULL) {
        HeapFree(x->heap, 0, x->input);
    }
    return result;
}

/* Length of a name field, or -1 when the field holds no terminator. */
static int NameLength(const char* name) {
    const void* end = memchr(name, '\0', PAYLOAD_NAME_SIZE);
    return end == NULL ? -1 : (int)((const char*)end - name);
}

/* Checks one record of entries 1 to N-1 before anything is written: the
   name must be terminated, pass the entry name rule (so it is a plain file
   of the destination, never a device or another entry's file under a
   second spelling), and fit the 260-byte path buffers
   together with the destination (and "Style\" or "lang\" where the name
   asks for a copy); the chunk count must be a sound one. */
static int IsSafeEntry(const PayloadEntry* entry, size_t destination_length) {
    int length = NameLength(entry->name);
    if (length < 0 || CheckEntryName(entry->name, NULL) != NAME_OK ||
        !IsChunkCountSound(entry->chunk_count)) {
        return 0;
    }
    size_t longest = destination_length + 1 + (size_t)length;  // destination\name
    if (ContainsText(entry->name, STYLE_MARK)) {
        longest = destination_length + 1 + strlen(STYLE_FOLDER) + (size_t)length;
    } else if (ContainsText(entry->name, LANG_MARK)) {
        longest = destination_length + 1 + strlen(LANG_FOLDER) + (size_t)length;
    }
    return longest + 1 <= MAX_PATH;
}

/* Decodes the entry's chunk members into its open file, one member per
   read. Returns 1, or 0 on the first member that cannot be read, is too
   long for the input buffer, or does not decode. */
static int WriteEntryChunks(Extraction* x, const PayloadEntry* entry) {
    for (int32_t k = 0; k < entry->chunk_count; k++) {
        uint32_t packed_size = entry->chunks[k].packed_size;  // member length
        if (packed_size > PAYLOAD_BUFFER_SIZE) {
            return 0;
        }
        DWORD got = 0;  // bytes that the read delivered
        if (!ReadFile(x->payload, x->input, packed_size, &got, NULL)) {
            return 0;
        }
        uint32_t decoded = PAYLOAD_BUFFER_SIZE;  // capacity in, content length out
        if (DecodeChunk(x->input, got, x->output, &decoded) <= 0) {
            return 0;
        }
        DWORD written = 0;  // a short write (a full disk) fails like a failed one
        if (!WriteFile(x->entry_file, x->output, decoded, &written, NULL) || written != decoded) {
            return 0;
        }
        // Both buffers go back to zeros: the input as far as it was read,
        // the output as far as the decoder can have stored.
        memset(x->input, 0, got);
        memset(x->output, 0, decoded < PAYLOAD_BUFFER_SIZE ? decoded : PAYLOAD_BUFFER_SIZE);
    }
    return 1;
}

/* Creates the entry's file, replacing one left from an earlier run. A file
   that is in use (a setup still running, a virus scanner reading it) is
   tried again for about a second before the entry fails. */
static HANDLE CreateEntryFile(const char* entry_path) {
    for (int attempt = 1;; attempt++) {
        HANDLE file = CreateFileA(entry_path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD error = GetLastError();  // why the attempt failed, if it did
        if (file != INVALID_HANDLE_VALUE || attempt == CREATE_TRIES ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) {
            return file;
        }
        Sleep(CREATE_PAUSE_MS);
    }
}

/* Holds the destination's sub-folder, name without a trailing backslash,
   once it has been created. A link in its place gives no handle, and then
   nothing is copied there. */
static HANDLE HoldSubfolder(const char* destination, const char* name) {
    char folder[MAX_PATH];  // destination\name
    memset(folder, 0, sizeof folder);
    if (!CopyText(folder, MAX_PATH, destination) || !AppendText(folder, MAX_PATH, "\\") ||
        !AppendText(folder, MAX_PATH, name)) {
        return INVALID_HANDLE_VALUE;
    }
    return HoldFolder(folder);
}

/* Copies a finished entry into the style and language sub-folders when its
   name asks for it and the folder is held. The base path already ends in
   the sub-folder's backslash; a failed copy is ignored. */
static void CopyIntoSubfolders(const Extraction* x, const char* entry_path, const char* name,
                               char* style_path, char* language_path) {
    if (ContainsText(name, STYLE_MARK) && x->style_folder != INVALID_HANDLE_VALUE &&
        AppendText(style_path, MAX_PATH, name)) {
        CopyFileA(entry_path, style_path, FALSE);
    }
    if (ContainsText(name, LANG_MARK) && x->lang_folder != INVALID_HANDLE_VALUE &&
        AppendText(language_path, MAX_PATH, name)) {
        CopyFileA(entry_path, language_path, FALSE);
    }
}

/* Reads the entry count from the four bytes where the payload ends (the
   file's end, or the start of a signed file's certificate table less its
   padding: FindFilePayloadEnd) and the N records of 1044 bytes that stand
   right before it, in entry order. Fails, with nothing allocated that
   FinishExtraction would not release, when the end cannot be found, the
   count does not fit or a read comes up short. */
static int ReadDirectory(Extraction* x, uint32_t* count) {
    PayloadEnd end;  // where the payload ends
    DWORD got = 0;   // bytes that each read delivered
    *count = 0;
    if (!FindFilePayloadEnd(x->payload, &end) || end.end < PAYLOAD_COUNT_SIZE) {
        return 0;
    }
    int64_t count_offset =
        MoveFilePointer(x->payload, (int64_t)end.end - PAYLOAD_COUNT_SIZE, FILE_BEGIN);
    if (count_offset < 0 || !ReadFile(x->payload, count, sizeof *count, &got, NULL) ||
        got != sizeof *count) {
        return 0;
    }
    uint64_t directory_size = (uint64_t)*count * PAYLOAD_ENTRY_SIZE;  // computed in 64 bits
    if (directory_size > (uint64_t)count_offset) {
        return 0;
    }
    x->entries = (PayloadEntry*)HeapAlloc(x->heap, 0, directory_size ? directory_size : 1);
    if (x->entries == NULL ||
        MoveFilePointer(x->payload, count_offset - (int64_t)directory_size, FILE_BEGIN) < 0) {
        return 0;
    }
    for (uint32_t j = 0; j < *count; j++) {
        if (!ReadFile(x->payload, &x->entries[j], PAYLOAD_ENTRY_SIZE, &got, NULL) ||
            got != PAYLOAD_ENTRY_SIZE) {
            return 0;
        }
    }
    return 1;
}

/* Refuses the whole payload, before anything is written, if one record
   could lead outside the destination, past a buffer, or to anything but a
   plain file. Names are read as characters of the system's ANSI code
   page. */
static int CheckDirectory(const PayloadEntry* entries, uint32_t count, const char* destination) {
    size_t destination_length = strlen(destination);
    if (count > 0 && destination_length + 1 + strlen(STYLE_FOLDER) + 1 > MAX_PATH) {
        return 0;
    }
    for (uint32_t j = 1; j < count; j++) {
        if (!IsSafeEntry(&entries[j], destination_length)) {
            return 0;
        }
    }
    return 1;
}

/* Writes one entry of 1 to N-1 into the file at entry_path and copies it
   into the sub-folders its name asks for. Returns 0 when the file cannot
   be created, a chunk fails, or a write comes up short. The identity of
   setup.exe is taken from the handle that wrote it, so that the file the
   launcher starts can be checked to be this one. */
static int ExtractEntry(Extraction* x, const PayloadEntry* entry, const char* entry_path,
                        char* style_path, char* language_path) {
    x->entry_file = CreateEntryFile(entry_path);
    if (x->entry_file == INVALID_HANDLE_VALUE || !WriteEntryChunks(x, entry)) {
        return 0;
    }
    if (EqualsIgnoringAsciiCase(entry->name, SETUP_NAME)) {
        g_setup_written = ReadFileIdentity(x->entry_file, &g_setup_identity);
    }
    CloseHandle(x->entry_file);
    x->entry_file = INVALID_HANDLE_VALUE;
    CopyIntoSubfolders(x, entry_path, entry->name, style_path, language_path);
    return 1;
}

/* Unpacks the payload of the file at payload_path into destination.

   Format notes: entry 0 is the stub: its unpacked_total is the offset of
   the first chunk member, and nothing is written for it. Every entry then
   takes the next chunk_count members, in order. The Style\ and lang\
   folders are created at entry 0, so they exist as soon as N is at least
   1, and held from then on: nobody can remove them meanwhile, so they are
   not created again for each entry (two calls per file, which under a
   slow file system cost more than the file itself). */
int ExtractPayloadFile(const char* payload_path, const char* destination, ProgressFn progress) {
    Extraction x = {GetProcessHeap(),
                    NULL,
                    NULL,
                    NULL,
                    INVALID_HANDLE_VALUE,
                    INVALID_HANDLE_VALUE,
                    INVALID_HANDLE_VALUE,
                    INVALID_HANDLE_VALUE};
    char entry_path[MAX_PATH];     // destination\name
    char style_path[MAX_PATH];     // destination\Style\ (then the name)
    char language_path[MAX_PATH];  // destination\lang\ (then the name)
    memset(entry_path, 0, sizeof entry_path);
    memset(style_path, 0, sizeof style_path);
    memset(language_path, 0, sizeof language_path);
    g_setup_written = 0;

    x.input = (uint8_t*)HeapAlloc(x.heap, HEAP_ZERO_MEMORY, PAYLOAD_BUFFER_SIZE);
    x.output = x.input ? (uint8_t*)HeapAlloc(x.heap, HEAP_ZERO_MEMORY, PAYLOAD_BUFFER_SIZE) : NULL;
    if (x.output == NULL) {
        return FinishExtraction(&x, 0);
    }
    x.payload = CreateFileA(payload_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
    uint32_t count = 0;  // N
    if (x.payload == INVALID_HANDLE_VALUE || !ReadDirectory(&x, &count) ||
        !CheckDirectory(x.entries, count, destination)) {
        return FinishExtraction(&x, 0);
    }

    MoveFilePointer(x.payload, 0, FILE_BEGIN);
    for (uint32_t j = 0; j < count; j++) {
        const PayloadEntry* entry = &x.entries[j];
        CopyText(entry_path, MAX_PATH, destination);
        AppendText(entry_path, MAX_PATH, "\\");
        CopyText(style_path, MAX_PATH, entry_path);
        CopyText(language_path, MAX_PATH, entry_path);
        AppendText(style_path, MAX_PATH, STYLE_FOLDER);
        AppendText(language_path, MAX_PATH, LANG_FOLDER);

        if (j == 0) {
            CreateDirectoryA(style_path, NULL);
            CreateDirectoryA(language_path, NULL);
            x.style_folder = HoldSubfolder(destination, "Style");
            x.lang_folder = HoldSubfolder(destination, "lang");
            MoveFilePointer(x.payload, entry->unpacked_total, FILE_BEGIN);
            continue;
        }
        AppendText(entry_path, MAX_PATH, entry->name);
        if (!ExtractEntry(&x, entry, entry_path, style_path, language_path)) {
            return FinishExtraction(&x, 0);
        }
        g_entries_done++;
        if (progress != NULL) {
            progress(g_entries_done, count - 1, 0);
        }
    }
    return FinishExtraction(&x, 1);
}

/* Unpacks the payload carried by the module's own executable file. */
int ExtractPayload(HINSTANCE instance, const char* destination, ProgressFn progress) {
    char own_name[MAX_PATH];  // full path of the module's file
    memset(own_name, 0, sizeof own_name);
    DWORD length = GetModuleFileNameA(instance, own_name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 0;
    }
    return ExtractPayloadFile(own_name, destination, progress);
}
