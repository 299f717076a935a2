// Who may use the workspace. A deployment tool may run the launcher as SYSTEM
// in a temporary folder where every local user may create files and folders;
// the workspace therefore carries a protected access list of its own that
// admits only the launcher's user, SYSTEM and Administrators, and a folder
// that someone else owns is never used.
#pragma once

#include "platform/platform.h"

#define SID_MAX_BYTES 68  // a SID with the most sub-authorities Windows allows (15)
#define WORKSPACE_SECURITY_SIZE (20 + 8 + 3 * (8 + SID_MAX_BYTES))  // descriptor, ACL, 3 ACEs

// The self-relative security descriptor that the workspace is created with
// and that replaces the access list of a workspace found in place.
struct WorkspaceSecurity {
    BYTE descriptor[WORKSPACE_SECURITY_SIZE];
    DWORD length;  // bytes of descriptor in use
};

// Builds the workspace's descriptor from the launcher's token: a protected
// DACL (nothing inherited from the temporary folder) granting full control
// to the token's user, SYSTEM and Administrators, inherited by every file
// and sub-folder. Returns 1, or 0 when the token cannot be read.
int BuildWorkspaceSecurity(WorkspaceSecurity* security);

// True when the object open as handle (with READ_CONTROL) is owned by the
// launcher's token: its user, or the owner that the token gives new objects
// (Administrators for an elevated token). Both are granted full control by
// the workspace's descriptor anyway, so neither can plant anything the other
// could not.
int IsOwnedByToken(HANDLE object);

// Replaces the access list of the object open as handle (with WRITE_DAC) by
// the descriptor's protected one. Children are not touched: the caller
// empties the folder after this.
int ProtectObject(HANDLE object, const WorkspaceSecurity* security);
