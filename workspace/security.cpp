// The workspace's access list and owner check, written from the documented
// byte layouts of SIDs, ACLs and self-relative security descriptors.
//
// ADVAPI32 is loaded from the system folder on first use, so the import
// table keeps naming only KERNEL32, USER32 and msvcrt; only four of its
// calls are needed, because the descriptor is built here by hand instead of
// through the ACL helper calls. The access list is replaced with
// SetKernelObjectSecurity, which (unlike SetSecurityInfo) does not walk the
// folder's children: a folder found in place may hold links planted by
// others, and it is emptied by handle right after.
#include "workspace/security.h"

#include <string.h>

#define ADVAPI_DLL "advapi32.dll"
#define SID_HEADER_SIZE 8          // revision, sub-authority count, 6-byte authority
#define DESCRIPTOR_HEADER_SIZE 20  // revision, padding, control, four offsets
#define ACL_HEADER_SIZE 8          // revision, padding, size, count, padding
#define ACE_HEADER_SIZE 8          // type, flags, size, access mask; the SID follows
#define TOKEN_BUFFER_SIZE 128      // a TOKEN_USER or TOKEN_OWNER with its SID
#define OWNER_BUFFER_SIZE 128      // a descriptor holding an owner only

typedef BOOL(WINAPI* OpenProcessTokenFn)(HANDLE process, DWORD access, HANDLE* token);
typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                            LPVOID buffer, DWORD size, DWORD* needed);
typedef BOOL(WINAPI* GetKernelObjectSecurityFn)(HANDLE object, SECURITY_INFORMATION parts,
                                                PSECURITY_DESCRIPTOR buffer, DWORD size,
                                                DWORD* needed);
typedef BOOL(WINAPI* SetKernelObjectSecurityFn)(HANDLE object, SECURITY_INFORMATION parts,
                                                PSECURITY_DESCRIPTOR descriptor);

// The ADVAPI32 calls, in the order of the table below.
enum SecurityCall {
    CALL_OPEN_PROCESS_TOKEN,
    CALL_GET_TOKEN_INFORMATION,
    CALL_GET_OBJECT_SECURITY,
    CALL_SET_OBJECT_SECURITY,
    SECURITY_CALL_COUNT
};

static const char* const SECURITY_CALL_NAMES[SECURITY_CALL_COUNT] = {
    "OpenProcessToken", "GetTokenInformation", "GetKernelObjectSecurity",
    "SetKernelObjectSecurity"};

static FARPROC g_security_calls[SECURITY_CALL_COUNT];  // all set once loaded

// The two well-known principals besides the token's user.
static const BYTE SYSTEM_SID[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
static const BYTE ADMINISTRATORS_SID[] = {1,  2, 0, 0, 0,    0,    0, 5,
                                          32, 0, 0, 0, 0x20, 0x02, 0, 0};  // S-1-5-32-544

/* Loads ADVAPI32 from the system folder and finds the four calls, once. */
static int LoadSecurityCalls(void) {
    if (g_security_calls[SECURITY_CALL_COUNT - 1] != NULL) {
        return 1;
    }
    HMODULE advapi = LoadLibraryExA(ADVAPI_DLL, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (advapi == NULL) {
        return 0;
    }
    FARPROC found[SECURITY_CALL_COUNT];  // filled in full before any is kept
    for (int i = 0; i < SECURITY_CALL_COUNT; i++) {
        found[i] = GetProcAddress(advapi, SECURITY_CALL_NAMES[i]);
        if (found[i] == NULL) {
            return 0;
        }
    }
    memcpy(g_security_calls, found, sizeof found);
    return 1;
}

/* Bytes of the SID at sid, or 0 when it is malformed or would run past
   available bytes. A SID is 8 bytes of header and 4 per sub-authority. */
static DWORD SidLength(const BYTE* sid, DWORD available) {
    if (available < SID_HEADER_SIZE || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES) {
        return 0;
    }
    DWORD length = SID_HEADER_SIZE + 4 * (DWORD)sid[1];
    return length <= available ? length : 0;
}

/* Copies the SID of one token field (TokenUser or TokenOwner, both of which
   begin with a pointer to a SID inside the returned buffer) into sid. */
static int ReadTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, BYTE* sid) {
    union {
        BYTE bytes[TOKEN_BUFFER_SIZE];
        PSID first;  // TOKEN_USER.User.Sid and TOKEN_OWNER.Owner alike
    } buffer;
    DWORD needed = 0;  // bytes the token would write
    memset(&buffer, 0, sizeof buffer);
    if (!((GetTokenInformationFn)(void*)g_security_calls[CALL_GET_TOKEN_INFORMATION])(
            token, kind, buffer.bytes, sizeof buffer.bytes, &needed)) {
        return 0;
    }
    const BYTE* found = (const BYTE*)buffer.first;  // points into buffer
    if (found < buffer.bytes || found >= buffer.bytes + sizeof buffer.bytes) {
        return 0;
    }
    DWORD length = SidLength(found, (DWORD)(buffer.bytes + sizeof buffer.bytes - found));
    if (length == 0) {
        return 0;
    }
    memcpy(sid, found, length);
    return 1;
}

/* Reads the token's user and default owner. */
static int ReadTokenSids(BYTE* user, BYTE* owner) {
    HANDLE token = NULL;  // the process's own token, for queries
    if (!LoadSecurityCalls() ||
        !((OpenProcessTokenFn)(void*)g_security_calls[CALL_OPEN_PROCESS_TOKEN])(
            GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 0;
    }
    int read = ReadTokenSid(token, TokenUser, user) && ReadTokenSid(token, TokenOwner, owner);
    CloseHandle(token);
    return read;
}

/* Appends one ACCESS_ALLOWED_ACE granting full control to sid, inherited
   by files and folders alike, at ace; returns its size. */
static DWORD WriteFullControlAce(BYTE* ace, const BYTE* sid) {
    DWORD sid_length = SidLength(sid, SID_MAX_BYTES);
    DWORD size = ACE_HEADER_SIZE + sid_length;  // a multiple of 4, as ACEs must be
    DWORD mask = FILE_ALL_ACCESS;
    ace[0] = ACCESS_ALLOWED_ACE_TYPE;
    ace[1] = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    ace[2] = (BYTE)size;
    ace[3] = (BYTE)(size >> 8);
    memcpy(ace + 4, &mask, sizeof mask);
    memcpy(ace + ACE_HEADER_SIZE, sid, sid_length);
    return size;
}

/* The descriptor is self-relative: a 20-byte header whose DACL offset
   points right behind it, no owner (the system gives the token's default
   owner), no group and no SACL. The control marks the DACL present and
   protected, so nothing is inherited from the temporary folder. */
int BuildWorkspaceSecurity(WorkspaceSecurity* security) {
    BYTE user[SID_MAX_BYTES];   // the token's user
    BYTE owner[SID_MAX_BYTES];  // its default owner, unused here
    memset(security, 0, sizeof *security);
    if (!ReadTokenSids(user, owner)) {
        return 0;
    }
    const BYTE* grantees[] = {user, SYSTEM_SID, ADMINISTRATORS_SID};
    BYTE* acl = security->descriptor + DESCRIPTOR_HEADER_SIZE;
    DWORD acl_size = ACL_HEADER_SIZE;  // grows by each ACE
    for (size_t i = 0; i < sizeof grantees / sizeof grantees[0]; i++) {
        acl_size += WriteFullControlAce(acl + acl_size, grantees[i]);
    }
    WORD control = SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_SELF_RELATIVE;
    DWORD dacl_offset = DESCRIPTOR_HEADER_SIZE;
    security->descriptor[0] = SECURITY_DESCRIPTOR_REVISION;
    memcpy(security->descriptor + 2, &control, sizeof control);
    memcpy(security->descriptor + 16, &dacl_offset, sizeof dacl_offset);
    acl[0] = ACL_REVISION;
    acl[2] = (BYTE)acl_size;
    acl[3] = (BYTE)(acl_size >> 8);
    acl[4] = (BYTE)(sizeof grantees / sizeof grantees[0]);
    security->length = DESCRIPTOR_HEADER_SIZE + acl_size;
    return 1;
}

/* Reads the object's owner from a self-relative descriptor holding only
   the owner, whose offset stands at byte 4 of the header. */
int IsOwnedByToken(HANDLE object) {
    BYTE user[SID_MAX_BYTES];   // the token's user
    BYTE owner[SID_MAX_BYTES];  // the owner it gives new objects
    BYTE descriptor[OWNER_BUFFER_SIZE];
    DWORD needed = 0;  // bytes the descriptor needs
    if (!ReadTokenSids(user, owner) ||
        !((GetKernelObjectSecurityFn)(void*)g_security_calls[CALL_GET_OBJECT_SECURITY])(
            object, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed)) {
        return 0;
    }
    WORD control = 0;        // SE_SELF_RELATIVE is required to read offsets
    DWORD owner_offset = 0;  // where the owner's SID starts
    memcpy(&control, descriptor + 2, sizeof control);
    memcpy(&owner_offset, descriptor + 4, sizeof owner_offset);
    if (!(control & SE_SELF_RELATIVE) || owner_offset < DESCRIPTOR_HEADER_SIZE ||
        owner_offset >= sizeof descriptor) {
        return 0;
    }
    const BYTE* found = descriptor + owner_offset;
    DWORD length = SidLength(found, (DWORD)(sizeof descriptor - owner_offset));
    return length != 0 &&
           ((length == SidLength(user, SID_MAX_BYTES) && memcmp(found, user, length) == 0) ||
            (length == SidLength(owner, SID_MAX_BYTES) && memcmp(found, owner, length) == 0));
}

/* Sets only the DACL; the descriptor's control carries SE_DACL_PROTECTED
   with it, which cuts the object off from its parent's inheritance. */
int ProtectObject(HANDLE object, const WorkspaceSecurity* security) {
    return LoadSecurityCalls() &&
           ((SetKernelObjectSecurityFn)(void*)g_security_calls[CALL_SET_OBJECT_SECURITY])(
               object, DACL_SECURITY_INFORMATION, (PSECURITY_DESCRIPTOR)security->descriptor);
}
