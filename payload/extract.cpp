// The extractor: turns the payload appended to an executable file into plain
// files in a destination folder.
//
// It reads strictly forward: one move to the first chunk member, then every
// member in directory order, each fetched with a single read into a 1 MiB
// input buffer and decoded into a 1 MiB output buffer. Memory stays near
// 2 MiB plus the directory, whatever the payload's size. The directory is
// checked as a whole before anything is written, so a damaged or hostile
// directory never makes the extractor write outside the destination.
#include "payload/payload.h"

#include "inflate/inflate.h"
#include "payload/paths.h"
#include "payload/reading.h"

#include <string.h>

uint32_t g_entries_done = 0;  // entries reported in this process, never reset

#define STYLE_FOLDER "Style\\"  // sub-folder for style files
#define LANG_FOLDER "lang\\"    // sub-folder for language files
#define STYLE_MARK ".jvs"       // names containing this go to STYLE_FOLDER too
#define LANG_MARK ".lng"        // names containing this go to LANG_FOLDER too

// Everything that one extraction owns, released together on every path.
struct Extraction {
    HANDLE heap;            // the process heap
    uint8_t* input;         // one chunk member at a time
    uint8_t* output;        // one chunk's decoded content at a time
    PayloadEntry* entries;  // the directory, entry 0 first
    HANDLE payload;         // the payload file, read only
    HANDLE entry_file;      // the entry being written, or INVALID_HANDLE_VALUE
};

/* Releases whatever the extraction still holds and returns result. */
static int FinishExtraction(Extraction* x, int result) {
    if (x->entry_file != INVALID_HANDLE_VALUE) {
        CloseHandle(x->entry_file);
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

/* Moves the file pointer by a 64-bit distance; the platform call takes the
   distance as two signed 32-bit halves. Returns the new position, or -1. */
static int64_t MoveFilePointer(HANDLE file, int64_t distance, DWORD method) {
    LONG high = (LONG)(distance >> 32);  // upper half in, new position's upper half out
    SetLastError(ERROR_SUCCESS);         // a low half of 0xFFFFFFFF is only a failure with an error
    DWORD low = SetFilePointer(file, (LONG)(uint32_t)distance, &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) {
        return -1;
    }
    return ((int64_t)high << 32) | low;
}

/* Length of a name field, or -1 when the field holds no terminator. */
static int NameLength(const char* name) {
    const void* end = memchr(name, '\0', PAYLOAD_NAME_SIZE);
    return end == NULL ? -1 : (int)((const char*)end - name);
}

/* True when name is a bare file name that stays inside the destination:
   not empty, not "." or "..", and free of folder separators and drive
   colons. */
static int IsBareName(const char* name) {
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return 0;
    }
    return strpbrk(name, "\\/:") == NULL;
}

/* Checks one record of entries 1 to N-1 before anything is written: the
   name must be terminated, bare, and fit the 260-byte path buffers
   together with the destination (and "Style\" or "lang\" where the name
   asks for a copy); the chunk table must fit its 96 slots. */
static int IsSafeEntry(const PayloadEntry* entry, size_t destination_length) {
    int length = NameLength(entry->name);
    if (length < 0 || !IsBareName(entry->name) || entry->chunk_count > PAYLOAD_MAX_CHUNKS) {
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
        DWORD written = 0;  // a short write is not a failure
        WriteFile(x->entry_file, x->output, decoded, &written, NULL);
        // Both buffers go back to zeros: the input as far as it was read,
        // the output as far as the decoder can have stored.
        memset(x->input, 0, got);
        memset(x->output, 0, decoded < PAYLOAD_BUFFER_SIZE ? decoded : PAYLOAD_BUFFER_SIZE);
    }
    return 1;
}

/* Steps over the chunk members of an entry whose file could not be
   created, so that the next entry's first read starts at its own data. */
static void SkipEntryChunks(Extraction* x, const PayloadEntry* entry) {
    int64_t skipped = 0;  // sum of the members' lengths
    for (int32_t k = 0; k < entry->chunk_count; k++) {
        skipped += entry->chunks[k].packed_size;
    }
    MoveFilePointer(x->payload, skipped, FILE_CURRENT);
}

/* Copies a finished entry into the style and language sub-folders when its
   name asks for it. The base path already ends in the sub-folder's
   backslash; a failed copy is ignored. */
static void CopyIntoSubfolders(const char* entry_path, const char* name, char* style_path,
                               char* language_path) {
    if (ContainsText(name, STYLE_MARK) && AppendText(style_path, MAX_PATH, name)) {
        CopyFileA(entry_path, style_path, FALSE);
    }
    if (ContainsText(name, LANG_MARK) && AppendText(language_path, MAX_PATH, name)) {
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
   could lead outside the destination or past a buffer. */
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
   into the sub-folders its name asks for. An entry whose file cannot be
   created is stepped over. Returns 0 when a chunk fails. */
static int ExtractEntry(Extraction* x, const PayloadEntry* entry, const char* entry_path,
                        char* style_path, char* language_path) {
    x->entry_file =
        CreateFileA(entry_path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (x->entry_file == INVALID_HANDLE_VALUE) {
        SkipEntryChunks(x, entry);
        return 1;
    }
    if (!WriteEntryChunks(x, entry)) {
        return 0;
    }
    CloseHandle(x->entry_file);
    x->entry_file = INVALID_HANDLE_VALUE;
    CopyIntoSubfolders(entry_path, entry->name, style_path, language_path);
    return 1;
}

/* Unpacks the payload of the file at payload_path into destination.

   Format notes: entry 0 is the stub: its unpacked_total is the offset of
   the first chunk member, and nothing is written for it. Every entry then
   takes the next chunk_count members, in order. The Style\ and lang\
   folders are created for every entry, entry 0 included, so they exist as
   soon as N is at least 1. */
int ExtractPayloadFile(const char* payload_path, const char* destination, ProgressFn progress) {
    Extraction x = {GetProcessHeap(), NULL, NULL, NULL, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    char entry_path[MAX_PATH];     // destination\name
    char style_path[MAX_PATH];     // destination\Style\ (then the name)
    char language_path[MAX_PATH];  // destination\lang\ (then the name)
    memset(entry_path, 0, sizeof entry_path);
    memset(style_path, 0, sizeof style_path);
    memset(language_path, 0, sizeof language_path);

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
        CreateDirectoryA(style_path, NULL);
        CreateDirectoryA(language_path, NULL);

        if (j == 0) {
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
