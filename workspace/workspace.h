// The launcher's workspace, %TEMP%\qelvor: named, emptied and removed,
// created again as the launcher's own, and held with its two sub-folders
// from then until setup.exe has been started.
#pragma once

#include "payload/payload.h"
#include "platform/platform.h"

#define WORKSPACE_NAME "qelvor"  // the folder in the user's temporary folder

// Whether the workspace may be used, as the reset and the creation leave it.
enum WorkspaceState {
    WORKSPACE_READY,  // created or emptied, the launcher's own, held: nothing else in it
    WORKSPACE_BUSY,   // something in it is in use: it was left as it was
    WORKSPACE_UNSAFE  // it cannot be named, held, owned or emptied
};

// The workspace and what holds it.
struct Workspace {
    char path[MAX_PATH];                 // %TEMP%\qelvor, without a trailing backslash
    HANDLE folder;                       // the workspace itself, or INVALID_HANDLE_VALUE
    HANDLE subfolders[SUBFOLDER_COUNT];  // Style and lang, the same; in SUBFOLDERS' order
};

// Names the workspace: the user's temporary folder (SYSTEM's own where
// Windows has one) with "qelvor" appended, in ANSI characters that reach
// it. Returns 0, with nothing held, when there is no such name or it is too
// long for the paths built from it.
int NameWorkspace(Workspace* workspace);

// Empties the old workspace and removes it with its sub-folders. Returns
// WORKSPACE_BUSY, with nothing deleted, when anything in it is in use;
// else WORKSPACE_READY (what resists deletion is found again by
// CreateWorkspace).
enum WorkspaceState ResetWorkspace(const Workspace* workspace);

// Creates the workspace and its sub-folders with an access list of their
// own and holds them. Returns WORKSPACE_READY only when the workspace is
// the launcher's own, holds nothing but the two sub-folders and is held;
// otherwise nothing stays held.
enum WorkspaceState CreateWorkspace(Workspace* workspace);

// Lets go of the workspace and its sub-folders.
void ReleaseWorkspace(Workspace* workspace);
