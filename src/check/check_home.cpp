#include "check/check_home.h"

#include <cstddef>
#include <cstring>

#include "check/text_out.h"
#include "config/text_join.h"
#include "devices/device_text.h"
#include "platform/win32_api.h"
#include "service/commands.h"
#include "service/options.h"

namespace {

// The most a query for the owner and the access list can answer: the
// descriptor's header, the largest SID and the largest list (its size is a
// 16-bit count).
const DWORD kDescriptorCapacity =
    sizeof(SECURITY_DESCRIPTOR_RELATIVE) + SECURITY_MAX_SID_SIZE + 0x10000;
// Deny entries remembered while a list is walked; more count for nothing.
const DWORD kDenyCapacity = 16;
// A SID's fixed part: revision, count, authority.
const DWORD kSidHeader = 8;

// The accounts a service's files may be changed by: SYSTEM, Administrators,
// TrustedInstaller, CREATOR OWNER.
struct KnownSid {
    BYTE authority;
    BYTE count;
    DWORD sub[6];
};
const int kTrustedCreatorOwner = 3;  // stands for the owner: never one itself
const KnownSid kTrusted[] = {
    {5, 1, {18}},
    {5, 2, {32, 544}},
    {5, 6, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u}},
    {3, 1, {0}},
};

DWORD SidLength(const SID* sid) { return kSidHeader + 4 * sid->SubAuthorityCount; }

DWORD SubAuthority(const SID* sid, DWORD i) {
    DWORD value;
    std::memcpy(&value, reinterpret_cast<const BYTE*>(sid) + kSidHeader + 4 * i, sizeof value);
    return value;
}

bool IsSid(const SID* sid, const KnownSid& k) {
    const BYTE* a = sid->IdentifierAuthority.Value;
    if (sid->SubAuthorityCount != k.count || a[0] || a[1] || a[2] || a[3] || a[4] ||
        a[5] != k.authority)
        return false;
    DWORD i = 0;
    while (i < k.count && SubAuthority(sid, i) == k.sub[i]) ++i;
    return i == k.count;
}

bool IsTrusted(const SID* sid) {
    for (const KnownSid& k : kTrusted)
        if (IsSid(sid, k)) return true;
    return false;
}

struct Deny {
    const SID* sid;
    DWORD mask;
};

// Walks the list the way an access check does, in order; an entry that
// does not fit in the list ends the walk.
int Walk(const ACL* acl, DWORD changeRights, const SID** who, DWORD* rights) {
    const BYTE* base = reinterpret_cast<const BYTE*>(acl);
    Deny denies[kDenyCapacity];
    DWORD denyCount = 0;
    DWORD at = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        const ACE_HEADER* h = reinterpret_cast<const ACE_HEADER*>(base + at);
        if (at + sizeof(ACE_HEADER) > acl->AclSize || h->AceSize < sizeof(ACE_HEADER) ||
            at + h->AceSize > acl->AclSize)
            break;
        at += h->AceSize;
        // A condition may hold for someone: its allow entry counts.
        const bool allow =
            h->AceType == ACCESS_ALLOWED_ACE_TYPE || h->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        const bool deny = h->AceType == ACCESS_DENIED_ACE_TYPE;
        // All three kinds: header, mask, SID (a condition after it).
        const DWORD sidAt = offsetof(ACCESS_ALLOWED_ACE, SidStart);
        if ((!allow && !deny) || (h->AceFlags & INHERIT_ONLY_ACE) ||
            h->AceSize < sidAt + kSidHeader)
            continue;
        const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(h);
        const SID* sid = reinterpret_cast<const SID*>(&ace->SidStart);
        const DWORD sidLength = SidLength(sid);
        if (sid->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES || sidAt + sidLength > h->AceSize)
            continue;
        if (deny) {
            if (denyCount < kDenyCapacity) denies[denyCount++] = {sid, ace->Mask};
            continue;
        }
        DWORD granted = ace->Mask & changeRights;
        for (DWORD d = 0; d < denyCount; ++d) {
            if (SidLength(denies[d].sid) == sidLength &&
                std::memcmp(denies[d].sid, sid, sidLength) == 0)
                granted &= ~denies[d].mask;
        }
        if (granted == 0 || IsTrusted(sid)) continue;
        *who = sid;
        *rights = granted;
        return kAccessOthers;
    }
    return kAccessTrusted;
}

// The account as Windows names it, else its SID.
void NameAccount(const SID* sid, char* account) {
    char name[kAccountCapacity];
    char domain[kAccountCapacity];
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    if (Win().LookupAccountSidA(nullptr, const_cast<SID*>(sid), name, &nameSize, domain,
                                &domainSize, &use) &&
        JoinText(account, kAccountCapacity, domain, domain[0] ? "\\" : "", name))
        return;
    FormatSid(sid, account);
}

void ReadAccess(HomeObject* o, DWORD changeRights, BYTE* descriptor) {
    DWORD needed = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    PSID owner = nullptr;
    if (o->path[0] == '\0') return;
    if (!Win().GetFileSecurityA(o->path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                descriptor, kDescriptorCapacity, &needed) ||
        !Win().GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) ||
        !Win().GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
        o->error = Win().GetLastError();
        return;
    }
    const SID* who = nullptr;
    o->access = WhoMayChange(present ? acl : nullptr, changeRights, &who, &o->rights);
    // The owner may rewrite the list, whatever it grants: named first.
    if (o->access != kAccessNoList && owner != nullptr &&
        OwnerOutsideTrusted(static_cast<const SID*>(owner))) {
        o->access = kAccessOthers;
        o->byOwner = 1;
        o->rights = WRITE_DAC;
        who = static_cast<const SID*>(owner);
    }
    if (o->access == kAccessOthers) NameAccount(who, o->account);
}

// Just after the next "\" from `at` on, a trail byte never taken for one;
// 0 when there is none, or a name before it is empty.
DWORD AfterName(const char* path, DWORD at) {
    for (DWORD i = at; path[i] != '\0';) {
        if (path[i] == '\\') return i > at ? i + 1 : 0;
        i += Win().IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0' ? 2 : 1;
    }
    return 0;
}

bool StartsWith(const char* path, const char* prefix) {
    const size_t length = std::strlen(prefix);
    for (size_t i = 0; i < length; ++i) {
        const char c = path[i] >= 'a' && path[i] <= 'z' ? static_cast<char>(path[i] - 32) : path[i];
        if (c != prefix[i]) return false;
    }
    return true;
}

// The length of the root a path starts with, its last "\" included: a
// drive's ("C:\", "\\?\C:\") or a share's ("\\server\share\",
// "\\?\UNC\server\share\"), which nothing can rename; 0 for none.
DWORD RootLength(const char* path) {
    const DWORD prefix = StartsWith(path, "\\\\?\\") || StartsWith(path, "\\??\\") ? 4 : 0;
    const char* p = path + prefix;
    if (p[0] != '\0' && p[1] == ':' && p[2] == '\\') return prefix + 3;
    const DWORD server = prefix == 0 && StartsWith(path, "\\\\") ? 2
                         : prefix != 0 && StartsWith(p, "UNC\\") ? prefix + 4
                                                                  : 0;
    const DWORD share = server == 0 ? 0 : AfterName(path, server);
    return share == 0 ? 0 : AfterName(path, share);
}

// The folder a path stands in: its path before the last "\", which stays
// after a root ("C:\", "\\server\share\"); folder is left as it is when
// there is none.
void FolderOf(const char* path, char* folder) {
    const DWORD end = ExeFolderLength(path);  // just after the last "\"
    if (end < 2) return;
    const DWORD cut = end <= RootLength(path) ? end : end - 1;
    std::memcpy(folder, path, cut);
    folder[cut] = '\0';
}

}  // namespace

bool OwnerOutsideTrusted(const SID* owner) {
    return !IsTrusted(owner) || IsSid(owner, kTrusted[kTrustedCreatorOwner]);
}

void ReadRequiredPrivileges(SC_HANDLE service, BYTE* block, DWORD capacity, PrivilegeFacts* f) {
    DWORD needed = 0;
    if (!Win().QueryServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, block,
                                    capacity, &needed))
        return;
    f->read = 1;
    // The names lie in the block after the record; none is read past it.
    const char* end = reinterpret_cast<const char*>(block) + capacity;
    const char* name =
        reinterpret_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOA*>(block)->pmszRequiredPrivileges;
    if (name < reinterpret_cast<const char*>(block) || name >= end) return;
    DWORD used = 0;
    for (DWORD length; name < end && (length = BoundedTextLength(name, end - name)) > 0 &&
                       name + length < end;
         name += length + 1) {
        // Kept while they fit whole, with the list's final null after them.
        if (f->kept == f->count && used + length + 1 < sizeof f->names) {
            std::memcpy(f->names + used, name, length + 1);
            used += length + 1;
            ++f->kept;
        }
        ++f->count;
    }
}

bool LeastPrivileges(const PrivilegeFacts& f) {
    // Windows takes privilege names in any case: ASCII, as options are.
    return f.count == 1 && SameOption(f.names, kRequiredPrivileges);
}

int WhoMayChange(const ACL* acl, DWORD changeRights, const SID** who, DWORD* rights) {
    *rights = 0;
    if (acl == nullptr) return kAccessNoList;
    return Walk(acl, changeRights, who, rights);
}

void FormatSid(const SID* sid, char* text) {
    // The authority in decimal, or in hex past 32 bits, as Windows writes it.
    const BYTE* a = sid->IdentifierAuthority.Value;
    char authority[15] = "0x";
    if (a[0] || a[1]) {
        const char kDigits[] = "0123456789ABCDEF";
        for (int i = 0; i < 12; ++i)
            authority[2 + i] = kDigits[(a[i / 2] >> (i % 2 ? 0 : 4)) & 0xF];
        authority[14] = '\0';
    } else {
        FormatDecimal(static_cast<DWORD>(a[2]) << 24 | a[3] << 16 | a[4] << 8 | a[5], authority);
    }
    JoinText(text, kSidTextCapacity, "S-1-", authority);
    // The most, 15 parts of 10 digits after a 14-character authority, fit.
    DWORD length = static_cast<DWORD>(std::strlen(text));
    for (DWORD i = 0; i < sid->SubAuthorityCount; ++i) {
        text[length++] = '-';
        FormatDecimal(SubAuthority(sid, i), text + length);
        length += static_cast<DWORD>(std::strlen(text + length));
    }
}

void GatherHome(const char* exe, HomeFacts* home) {
    std::memset(home, 0, sizeof *home);
    HomeObject* o = home->objects;
    // No path formed: nothing is named that is not the service's.
    if (exe[0] == '\0' || !JoinText(o[kHomeExe].path, sizeof o[kHomeExe].path, exe)) return;
    FolderOf(exe, o[kHomeFolder].path);
    SettingsPathFromExePath(exe, o[kHomeSettings].path, sizeof o[kHomeSettings].path);
    // Each folder above the last, until a root ("C:\", "\\server\share\"),
    // which has none.
    char folder[kSettingsPathCapacity];
    std::memcpy(folder, o[kHomeFolder].path, std::strlen(o[kHomeFolder].path) + 1);
    int count = kHomeParent;
    for (size_t length; (length = std::strlen(folder)) > 0 && folder[length - 1] != '\\';) {
        char above[kSettingsPathCapacity] = "";
        FolderOf(folder, above);
        if (above[0] == '\0') break;
        if (count < kHomeCount) {
            std::memcpy(o[count].path, above, std::strlen(above) + 1);
            o[count++].parent = 1;
        } else {
            ++home->aboveNotJudged;
        }
        std::memcpy(folder, above, std::strlen(above) + 1);
    }
    home->count = count;

    HANDLE heap = Win().GetProcessHeap();
    BYTE* descriptor = static_cast<BYTE*>(Win().HeapAlloc(heap, 0, kDescriptorCapacity));
    for (int i = 0; i < count; ++i) {
        const size_t length = std::strlen(o[i].path);
        const DWORD changeRights = i == kHomeFolder ? kFolderChangeRights
                                   : i < kHomeParent ? kFileChangeRights
                                   : o[i].path[length - 1] == '\\' ? kRootChangeRights
                                                                    : kParentChangeRights;
        if (descriptor == nullptr) o[i].error = ERROR_NOT_ENOUGH_MEMORY;
        else ReadAccess(&o[i], changeRights, descriptor);
    }
    if (descriptor != nullptr) Win().HeapFree(heap, 0, descriptor);
}
