// The workspace's life before setup.exe starts. A deployment tool may run
// the launcher as SYSTEM in C:\Windows\Temp, where every user may create
// files: the workspace gets an access list of its own (only the token's
// user, SYSTEM and Administrators), a folder someone else owns is never
// used, nor one that cannot be emptied (a file planted and held open, or
// one the launcher may not delete), and the workspace, Style and lang stay
// held from their creation until setup has been started, so nothing can be
// planted or swapped on the way. A workspace with anything in use in it
// (the setup an earlier launcher started, still running) is neither
// emptied nor used. This trades the plain path calls for handles and one
// library (ADVAPI32) loaded at run time.
#include "workspace/workspace.h"

#include "payload/text.h"
#include "workspace/ansi.h"
#include "workspace/cleanup.h"
#include "workspace/folders.h"
#include "workspace/security.h"

#include <string.h>

#define KERNEL_DLL "kernel32.dll"
#define GET_TEMP_PATH_2 "GetTempPath2W"  // Windows 11, Server 2022 and later

typedef DWORD(WINAPI* GetTempPathWFn)(DWORD size, LPWSTR buffer);

/* The call that names the temporary folder: GetTempPath2W where KERNEL32
   has it (Windows 11 and Server 2022 give SYSTEM its own
   C:\Windows\SystemTemp, which only SYSTEM and Administrators may use, where
   GetTempPathW gives C:\Windows\Temp, open to every user); else
   GetTempPathW. */
static GetTempPathWFn FindGetTempPath(void) {
    HMODULE kernel = GetModuleHandleA(KERNEL_DLL);
    FARPROC newer = kernel != NULL ? GetProcAddress(kernel, GET_TEMP_PATH_2) : NULL;
    return newer != NULL ? (GetTempPathWFn)(void*)newer : GetTempPathW;
}

/* The temporary folder in ANSI characters that name it, ending in a
   backslash: its own form where every character has an ANSI equivalent,
   else its short (8.3) form, which is plain ASCII. Returns the length, or
   0 with buffer emptied when neither exists (a user name outside the code
   page on a volume without short names). */
static size_t GetTempFolder(char* buffer) {
    WCHAR wide[MAX_PATH];                              // the folder as the system knows it
    WCHAR short_form[MAX_PATH];                        // its 8.3 form
    DWORD length = FindGetTempPath()(MAX_PATH, wide);  // characters, without the NUL
    if (length == 0 || length >= MAX_PATH) {
        buffer[0] = '\0';
        return 0;
    }
    if (WideToAnsi(wide, -1, buffer, MAX_PATH) > 0) {
        return strlen(buffer);
    }
    length = GetShortPathNameW(wide, short_form, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || WideToAnsi(short_form, -1, buffer, MAX_PATH) == 0) {
        buffer[0] = '\0';
        return 0;
    }
    return strlen(buffer);
}

/* The temporary folder ends in a backslash, so "qelvor" follows it
   directly. The longest path built from the workspace, workspace\setup.exe,
   must fit MAX_PATH. */
int NameWorkspace(Workspace* workspace) {
    memset(workspace, 0, sizeof *workspace);
    workspace->folder = INVALID_HANDLE_VALUE;
    for (int f = 0; f < SUBFOLDER_COUNT; f++) {
        workspace->subfolders[f] = INVALID_HANDLE_VALUE;
    }
    size_t length = GetTempFolder(workspace->path);  // bytes, without the NUL
    if (length == 0) {
        return 0;
    }
    size_t longest = length + strlen(WORKSPACE_NAME) + 1 + strlen(SETUP_NAME) + 1;
    return longest <= MAX_PATH && AppendText(workspace->path, MAX_PATH, WORKSPACE_NAME);
}

/* workspace\name into path; 0 when it does not fit. */
static int SubfolderPath(char* path, const Workspace* workspace, const char* name) {
    memset(path, 0, MAX_PATH);
    return CopyText(path, MAX_PATH, workspace->path) && AppendText(path, MAX_PATH, "\\") &&
           AppendText(path, MAX_PATH, name);
}

/* The workspace is emptied only while it is held open as itself
   (ClearDirectory holds it), so it cannot be swapped for a link during the
   cleanup; one that is a link (or a file) is removed as such and never
   cleared through, so the cleanup cannot reach the link's target. */
enum WorkspaceState ResetWorkspace(const Workspace* workspace) {
    switch (ClearDirectory(workspace->path)) {
    case CLEAR_IN_USE:
        return WORKSPACE_BUSY;
    case CLEAR_NO_FOLDER:
        if (!RemoveDirectoryA(workspace->path)) {
            DeleteFileA(workspace->path);
        }
        return WORKSPACE_READY;
    case CLEAR_EMPTIED:
    case CLEAR_LEFT_OVER:
        break;
    }
    char path[MAX_PATH];  // each sub-folder, then the workspace itself
    for (int f = 0; f < SUBFOLDER_COUNT; f++) {
        if (SubfolderPath(path, workspace, SUBFOLDERS[f].name)) {
            RemoveDirectoryA(path);
        }
    }
    RemoveDirectoryA(workspace->path);
    return WORKSPACE_READY;
}

/* Creates and holds the sub-folders with the workspace's access list, so
   that they are protected where the file system does not apply
   inheritance. Nobody but the launcher's user, SYSTEM and Administrators
   can put anything in their place, so a hold that fails is a workspace
   that cannot be made safe. */
static int CreateSubfolders(Workspace* workspace, SECURITY_ATTRIBUTES* attributes) {
    char path[MAX_PATH];  // workspace\name
    for (int f = 0; f < SUBFOLDER_COUNT; f++) {
        if (!SubfolderPath(path, workspace, SUBFOLDERS[f].name)) {
            return 0;
        }
        CreateDirectoryA(path, attributes);
        workspace->subfolders[f] = HoldFolder(path);
        if (workspace->subfolders[f] == INVALID_HANDLE_VALUE) {
            return 0;
        }
    }
    return 1;
}

/* A folder that is still there (the reset could not remove it, or someone
   created it during the pause) is used only when the launcher's token owns
   it; its access list is then replaced and it is emptied again. The owner
   is checked through the handle for a folder just created too, since
   another could stand in its place by the time it is held. Whatever else
   stands there, a folder of someone else's or a link, gives no handle, and
   nothing is written; nor does a folder with anything in use in it, or
   anything that cannot be deleted. */
enum WorkspaceState CreateWorkspace(Workspace* workspace) {
    WorkspaceSecurity security;  // the protected access list
    if (!BuildWorkspaceSecurity(&security)) {
        return WORKSPACE_UNSAFE;
    }
    SECURITY_ATTRIBUTES attributes;  // the descriptor, not inheritable by child processes
    memset(&attributes, 0, sizeof attributes);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = security.descriptor;
    int created = CreateDirectoryA(workspace->path, &attributes);
    workspace->folder = HoldFolder(workspace->path);  // open without delete sharing from here on
    if (workspace->folder == INVALID_HANDLE_VALUE) {
        return WORKSPACE_UNSAFE;
    }
    enum ClearResult cleared = CLEAR_NO_FOLDER;  // what emptying it again came to
    if (IsOwnedByToken(workspace->folder) &&
        (created || ProtectObject(workspace->folder, &security))) {
        cleared = ClearHeldFolder(workspace->folder, workspace->path);
    }
    if (cleared != CLEAR_EMPTIED || !CreateSubfolders(workspace, &attributes)) {
        ReleaseWorkspace(workspace);
        return cleared == CLEAR_IN_USE ? WORKSPACE_BUSY : WORKSPACE_UNSAFE;
    }
    return WORKSPACE_READY;
}

void ReleaseWorkspace(Workspace* workspace) {
    HANDLE* held[SUBFOLDER_COUNT + 1] = {&workspace->folder};  // every hold, the workspace's first
    for (int f = 0; f < SUBFOLDER_COUNT; f++) {
        held[f + 1] = &workspace->subfolders[f];
    }
    for (int h = 0; h < SUBFOLDER_COUNT + 1; h++) {
        if (*held[h] != INVALID_HANDLE_VALUE) {
            CloseHandle(*held[h]);
            *held[h] = INVALID_HANDLE_VALUE;
        }
    }
}
