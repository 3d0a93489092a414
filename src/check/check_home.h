// What the service's safety rests on, as the check tool reads it. The
// service runs as LocalSystem: the privileges it keeps are LocalSystem's
// unless it asks for fewer, and whoever may change its exe, the folder it
// stands in or its settings file runs code as LocalSystem or decides
// which driver is told what.
#pragma once

#include <windows.h>

#include "config/settings.h"

// ---- required privileges ----

// Room for the names kept from the manager's list, each with its null.
const DWORD kPrivilegeNamesCapacity = 512;

struct PrivilegeFacts {
    int read;    // the manager answered (it does from Windows Vista on)
    DWORD count;  // names in its list; none asked for leaves all of LocalSystem's
    DWORD kept;   // the first ones, whole, in names
    char names[kPrivilegeNamesCapacity];
};

// The service's required privileges into f, the manager's answer going into
// block (`capacity` bytes). The service handle needs the query right.
void ReadRequiredPrivileges(SC_HANDLE service, BYTE* block, DWORD capacity, PrivilegeFacts* f);

// The list is the one /install sets: SeChangeNotifyPrivilege alone, in any case.
bool LeastPrivileges(const PrivilegeFacts& f);

// ---- access lists ----

// The rights that change a file: write, append, delete, change the access
// list, take ownership, and the generic rights that hold them. On a folder
// the first two add a file and a subfolder, and deleting a child is one more.
const DWORD kFileChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC |
                                WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const DWORD kFolderChangeRights = kFileChangeRights | FILE_DELETE_CHILD;
// Each folder above the home, up to the drive's root: whoever may delete or
// rename it (DELETE on it, or deleting a child in the folder above it), or
// give himself that right, may put another folder, and another exe, in the
// home's place. A drive's root cannot be renamed: its own DELETE counts for
// nothing.
const DWORD kRootChangeRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
const DWORD kParentChangeRights = kRootChangeRights | DELETE;

// Who may change a file or folder.
const int kAccessUnread = 0;   // its access list could not be read
const int kAccessTrusted = 1;  // SYSTEM, Administrators, TrustedInstaller and creator-owner only
const int kAccessNoList = 2;   // it has none, which lets everyone do everything
const int kAccessOthers = 3;   // another account may

// The first entry of acl (null when there is none) that gives an account
// other than the trusted ones any of changeRights: kAccessOthers, with *who
// its SID and *rights those rights. Else kAccessTrusted, or kAccessNoList.
// An allow entry counts for what no deny entry of the same account before
// it takes away; a conditional allow entry counts as one whose condition
// holds, a conditional deny for nothing. Entries that only pass to
// children, and other kinds, count for nothing.
int WhoMayChange(const ACL* acl, DWORD changeRights, const SID** who, DWORD* rights);

// An owner other than SYSTEM, Administrators and TrustedInstaller: its owner
// may always rewrite an object's access list, whatever the list says.
bool OwnerOutsideTrusted(const SID* owner);

// A SID as text ("S-1-5-32-545") into text (kSidTextCapacity bytes).
const DWORD kSidTextCapacity = 192;
void FormatSid(const SID* sid, char* text);

// Folders above the home judged, nearest first; a home deeper than this
// has the rest, up to the root, counted and not judged.
const int kFoldersAboveCapacity = 32;

// The files and folders, in the report's order: the folders above follow
// from kHomeParent on.
enum HomeIndex { kHomeExe, kHomeFolder, kHomeSettings, kHomeParent };
const int kHomeCount = kHomeParent + kFoldersAboveCapacity;

// "DOMAIN\name" as Windows names the account, or its SID as text.
const DWORD kAccountCapacity = kSidTextCapacity;

struct HomeObject {
    char path[kSettingsPathCapacity];  // empty when it cannot be formed
    int access;     // kAccessUnread ...
    DWORD error;    // why the list could not be read
    DWORD rights;   // the change rights another account holds
    char account[kAccountCapacity];
    int byOwner;    // the account is its owner, outside the trusted ones
    int parent;     // a folder above the home
};

struct HomeFacts {
    HomeObject objects[kHomeCount];
    int count;                // objects formed, the folders above included
    DWORD aboveNotJudged;     // folders above, up to the root, past the capacity
};

// Reads the owners and access lists of exe (the service's), of the folder
// it stands in, of the settings file beside it and of every folder above,
// up to the drive's root.
void GatherHome(const char* exe, HomeFacts* home);
