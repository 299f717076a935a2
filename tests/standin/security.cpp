// Owners and access lists of files and folders, and the launcher's token:
// the ADVAPI32 calls that the launcher loads at run time, and the test
// controls that set a token or plant someone else's folder.
//
// A file's owner, the control bits and the DACL are set when the stand-in
// creates it (from the descriptor given, else inherited from its folder, the
// owner being the token's default owner) and kept in an extended attribute
// of the file itself, so that they live and die with it. A file or folder
// without that attribute (made by a test directly, or a link, which cannot
// carry one) is owned by the token's user. Access is never checked against
// the DACL: tests run as one POSIX user. What is modelled is what the
// launcher's guards rely on: the owner a folder has, whether its DACL is
// protected, what it grants and what it passes on.
#include "state.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstring>
#include <sstream>

namespace {

const char SECURITY_ATTRIBUTE[] = "user.qelvor.security";  // where a file's record is kept
const size_t SID_HEADER_SIZE = 8;                          // revision, count, 6-byte authority
const size_t DESCRIPTOR_HEADER_SIZE = 20;                  // self-relative descriptor header
const size_t ACL_HEADER_SIZE = 8;
const char DEFAULT_USER[] = "S-1-5-21-1-2-3-1001";  // the token's user until a test sets one

// What the stand-in keeps of one file's security.
struct SecurityRecord {
    std::vector<BYTE> owner;  // the owner's SID
    WORD control = 0;         // SE_DACL_PRESENT, SE_DACL_PROTECTED
    std::vector<BYTE> acl;    // the DACL, header included; empty for none
};

std::mutex token_lock;          // guards the two below
std::vector<BYTE> token_user;   // TokenUser
std::vector<BYTE> token_owner;  // TokenOwner, the owner of new objects

/* The binary SID for "S-1-<authority>-<sub>-...". */
std::vector<BYTE> SidFromText(const std::string& text) {
    std::vector<uint64_t> parts;  // revision, authority, sub-authorities
    std::stringstream in(text.substr(2));
    std::string part;
    while (std::getline(in, part, '-')) {
        parts.push_back(std::stoull(part));
    }
    std::vector<BYTE> sid = {BYTE(parts[0]), BYTE(parts.size() - 2), 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6; i++) {
        sid[2 + i] = BYTE(parts[1] >> (8 * (5 - i)));
    }
    for (size_t i = 2; i < parts.size(); i++) {
        for (int b = 0; b < 4; b++) {
            sid.push_back(BYTE(parts[i] >> (8 * b)));
        }
    }
    return sid;
}

/* Bytes of the SID at sid, or 0 when it does not fit available. */
size_t SidLength(const BYTE* sid, size_t available) {
    if (available < SID_HEADER_SIZE) {
        return 0;
    }
    size_t length = SID_HEADER_SIZE + 4 * size_t(sid[1]);
    return length <= available ? length : 0;
}

std::string TextFromSid(const std::vector<BYTE>& sid) {
    uint64_t authority = 0;
    for (int i = 0; i < 6; i++) {
        authority = (authority << 8) | sid[2 + i];
    }
    std::string text = "S-";
    text += std::to_string(sid[0]);
    text += "-";
    text += std::to_string(authority);
    for (size_t i = SID_HEADER_SIZE; i + 4 <= sid.size(); i += 4) {
        uint32_t sub = 0;
        memcpy(&sub, &sid[i], 4);
        text += '-';
        text += std::to_string(sub);
    }
    return text;
}

/* The token's SIDs, set to the defaults on first use. */
std::vector<BYTE> TokenSid(bool owner) {
    std::lock_guard<std::mutex> hold(token_lock);
    if (token_user.empty()) {
        token_user = token_owner = SidFromText(DEFAULT_USER);
    }
    return owner ? token_owner : token_user;
}

/* Reads a file's record; false when it has none. */
bool ReadRecord(const std::string& posix, SecurityRecord* record) {
    BYTE stored[1024];  // owner length, owner, control, ACL
    ssize_t got = lgetxattr(posix.c_str(), SECURITY_ATTRIBUTE, stored, sizeof stored);
    if (got < 3 || size_t(got) < 3u + stored[0]) {
        return false;
    }
    record->owner.assign(stored + 1, stored + 1 + stored[0]);
    memcpy(&record->control, stored + 1 + stored[0], 2);
    record->acl.assign(stored + 3 + stored[0], stored + got);
    return true;
}

void WriteRecord(const std::string& posix, const SecurityRecord& record) {
    std::vector<BYTE> stored = {BYTE(record.owner.size())};
    stored.insert(stored.end(), record.owner.begin(), record.owner.end());
    stored.push_back(BYTE(record.control));
    stored.push_back(BYTE(record.control >> 8));
    stored.insert(stored.end(), record.acl.begin(), record.acl.end());
    lsetxattr(posix.c_str(), SECURITY_ATTRIBUTE, stored.data(), stored.size(), 0);
}

/* The record of a file, or the default one: owned by the token's user. */
SecurityRecord RecordOf(const std::string& posix) {
    SecurityRecord record;
    if (!ReadRecord(posix, &record)) {
        record.owner = TokenSid(false);
    }
    return record;
}

/* Takes the control and DACL of a self-relative descriptor; false when it
   is not one or its DACL runs past its end (size unknown: the ACL's own). */
bool TakeDacl(const BYTE* descriptor, SecurityRecord* record) {
    WORD control = 0;
    DWORD dacl_offset = 0;
    memcpy(&control, descriptor + 2, 2);
    memcpy(&dacl_offset, descriptor + 16, 4);
    if (!(control & SE_SELF_RELATIVE) || !(control & SE_DACL_PRESENT) || dacl_offset == 0) {
        return false;
    }
    const BYTE* acl = descriptor + dacl_offset;
    WORD size = 0;
    memcpy(&size, acl + 2, 2);
    record->control = control & (SE_DACL_PRESENT | SE_DACL_PROTECTED);
    record->acl.assign(acl, acl + size);
    return true;
}

/* Calls visit(offset, size) for each ACE of the ACL, as many as its header
   counts (AceCount, at byte 4), as Windows reads them: bytes after the
   counted ACEs are not ACEs. Stops at an ACE that does not fit. */
template <typename Visit>
void ForEachAce(const std::vector<BYTE>& acl, Visit visit) {
    if (acl.size() < ACL_HEADER_SIZE) {
        return;
    }
    WORD count = WORD(acl[4] | acl[5] << 8);
    size_t at = ACL_HEADER_SIZE;
    for (WORD i = 0; i < count && at + 8 <= acl.size(); i++) {
        WORD size = WORD(acl[at + 2] | acl[at + 3] << 8);
        if (size < 8 || at + size > acl.size()) {
            return;
        }
        visit(at, size);
        at += size;
    }
}

/* The ACEs of a folder's DACL that a new child inherits: those meant for
   folders (container) or files (object), marked inherited; a file keeps
   no inheritance flags of its own. */
std::vector<BYTE> InheritedAcl(const std::vector<BYTE>& parent, bool folder) {
    std::vector<BYTE> acl(parent.begin(), parent.begin() + ACL_HEADER_SIZE);
    WORD count = 0;
    ForEachAce(parent, [&](size_t at, WORD size) {
        BYTE flags = parent[at + 1];
        if (flags & (folder ? CONTAINER_INHERIT_ACE : OBJECT_INHERIT_ACE)) {
            size_t start = acl.size();
            acl.insert(acl.end(), parent.begin() + at, parent.begin() + at + size);
            acl[start + 1] = BYTE((folder ? flags : 0) | INHERITED_ACE);
            count++;
        }
    });
    WORD size = WORD(acl.size());
    memcpy(&acl[2], &size, 2);
    memcpy(&acl[4], &count, 2);
    return acl;
}

/* Handle rights that include one of wanted. */
bool Grants(DWORD access, DWORD wanted) {
    return (access & (wanted | GENERIC_ALL)) != 0;
}

}  // namespace

void AssignSecurity(const std::string& posix_path, const void* descriptor) {
    struct stat info;
    if (lstat(posix_path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) {
        return;
    }
    SecurityRecord record;
    record.owner = TokenSid(true);
    if (!descriptor || !TakeDacl(static_cast<const BYTE*>(descriptor), &record)) {
        size_t slash = posix_path.find_last_of('/');
        SecurityRecord parent;
        if (slash != std::string::npos &&
            ReadRecord(posix_path.substr(0, slash == 0 ? 1 : slash), &parent) &&
            parent.acl.size() >= ACL_HEADER_SIZE) {
            record.control = SE_DACL_PRESENT;
            record.acl = InheritedAcl(parent.acl, S_ISDIR(info.st_mode));
        }
    }
    WriteRecord(posix_path, record);
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

/* A token handle for the current process only. */
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    LOG_CALL("OpenProcessToken", {std::to_string(access)});
    if (process != GetCurrentProcess() || !token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto object = std::make_shared<KernelObject>();
    object->kind = OBJ_TOKEN;
    object->access = access;
    *token = NewHandle(object);
    return TRUE;
}

/* TokenUser and TokenOwner: the record, then the SID it points to. */
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                         DWORD* needed) {
    std::shared_ptr<KernelObject> object = FindHandle(token, OBJ_TOKEN);
    if (!object || !(object->access & TOKEN_QUERY) || (kind != TokenUser && kind != TokenOwner)) {
        SetLastError(object ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::vector<BYTE> sid = TokenSid(kind == TokenOwner);
    size_t head = kind == TokenUser ? sizeof(TOKEN_USER) : sizeof(TOKEN_OWNER);
    *needed = DWORD(head + sid.size());
    if (size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE* bytes = static_cast<BYTE*>(buffer);
    memset(bytes, 0, head);
    memcpy(bytes + head, sid.data(), sid.size());
    *reinterpret_cast<PSID*>(bytes) = bytes + head;  // TOKEN_USER.User.Sid, TOKEN_OWNER.Owner
    return TRUE;
}

/* A self-relative descriptor with the owner and, when asked, the DACL. The
   handle needs READ_CONTROL (GENERIC_READ carries it). */
BOOL GetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR buffer,
                             DWORD size, DWORD* needed) {
    LOG_CALL("GetKernelObjectSecurity", {HandleText(object), std::to_string(parts)});
    std::shared_ptr<KernelObject> file = FindHandle(object, OBJ_FILE);
    if (!file || !Grants(file->access, READ_CONTROL | GENERIC_READ)) {
        SetLastError(file ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SecurityRecord record = RecordOf(file->path);
    std::vector<BYTE> out(DESCRIPTOR_HEADER_SIZE, 0);
    WORD control = SE_SELF_RELATIVE;
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    if (parts & OWNER_SECURITY_INFORMATION) {
        DWORD offset = DWORD(out.size());
        memcpy(&out[4], &offset, 4);
        out.insert(out.end(), record.owner.begin(), record.owner.end());
    }
    if ((parts & DACL_SECURITY_INFORMATION) && !record.acl.empty()) {
        DWORD offset = DWORD(out.size());
        memcpy(&out[16], &offset, 4);
        out.insert(out.end(), record.acl.begin(), record.acl.end());
        control |= record.control;
    }
    memcpy(&out[2], &control, 2);
    *needed = DWORD(out.size());
    if (size < out.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, out.data(), out.size());
    return TRUE;
}

/* Only the DACL can be set, with the handle's WRITE_DAC; the descriptor's
   SE_DACL_PROTECTED goes with it. */
BOOL SetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION parts,
                             PSECURITY_DESCRIPTOR descriptor) {
    LOG_CALL("SetKernelObjectSecurity", {HandleText(object), std::to_string(parts)});
    std::shared_ptr<KernelObject> file = FindHandle(object, OBJ_FILE);
    if (!file || !Grants(file->access, WRITE_DAC)) {
        SetLastError(file ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SecurityRecord record = RecordOf(file->path);
    if (parts != DACL_SECURITY_INFORMATION ||
        !TakeDacl(static_cast<const BYTE*>(descriptor), &record)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WriteRecord(file->path, record);
    return TRUE;
}

void PlatformSetToken(const char* user, const char* owner) {
    std::lock_guard<std::mutex> hold(token_lock);
    if (!user && !owner) {
        token_user.clear();  // the defaults, filled in when first used
        token_owner.clear();
        return;
    }
    token_user = SidFromText(user ? user : DEFAULT_USER);
    token_owner = SidFromText(owner ? owner : user ? user : DEFAULT_USER);
}

void PlatformSetOwner(const char* path, const char* sid) {
    std::string posix = PosixPath(path);
    SecurityRecord record = RecordOf(posix);
    record.owner = SidFromText(sid);
    WriteRecord(posix, record);
}

PlatformSecurity PlatformSecurityOf(const char* path) {
    SecurityRecord record = RecordOf(PosixPath(path));
    PlatformSecurity security;
    security.owner = TextFromSid(record.owner);
    security.dacl_protected = (record.control & SE_DACL_PROTECTED) != 0;
    ForEachAce(record.acl, [&](size_t at, WORD size) {
        PlatformAce ace;
        ace.flags = record.acl[at + 1];
        memcpy(&ace.mask, &record.acl[at + 4], 4);
        std::vector<BYTE> sid(record.acl.begin() + at + 8, record.acl.begin() + at + size);
        sid.resize(SidLength(sid.data(), sid.size()));
        ace.sid = TextFromSid(sid);
        security.dacl.push_back(ace);
    });
    return security;
}
