// What the check tool finds on the machine, gathered once through the
// platform seam by the same modules the service runs, then only read by
// the decisions and the two renderers.
#pragma once

#include <windows.h>

#include "check/check_home.h"
#include "check/check_machine.h"
#include "check/check_version.h"
#include "config/settings.h"
#include "devices/adapter_names.h"
#include "devices/device_lookup.h"
#include "devices/device_record.h"
#include "host/host_classify.h"
#include "radio/driver_status.h"
#include "service/commands.h"

// Devices listed per class; more are counted, not listed.
const DWORD kListedDeviceCapacity = 32;
// QueryServiceConfigA's largest answer.
const DWORD kServiceConfigCapacity = 8192;
// Failure actions kept from the manager's answer; more are counted.
const DWORD kRecoveryActionCapacity = 8;
// DeviceLookup's result when the pattern was refused and no lookup was made.
const int kLookupSkipped = 0;

struct HostFacts {
    VersionFields version;
    int versionRead;
    int code;  // the host code; 0 is unsupported
    bool amd64;
    bool wow64;
    bool wow64Known;  // kernel32 exports IsWow64Process
    DWORD baseCode;   // the family of a send's request code
    DWORD requestCode;
    int heapBlock;    // the value travels in a heap block of its own
    int elevated;       // the check runs elevated, or before Vista as an administrator
    int administrator;  // a member of Administrators in force (elevated, from Vista on)
};

struct SettingFacts {
    char value[kSettingValueCapacity];
    int read;      // ReadSetting's result; 0: refused, value empty
    int fromFile;  // the file holds the key (else the default is in force)
};

struct SettingsFacts {
    // The service exe whose settings are read; when the code page cannot
    // spell its path, this program's path as the "A" call gives it.
    char exePath[kExePathCapacity];
    int located;  // LocateSettingsFile's result: only a named file is read
    char file[kSettingsPathCapacity];  // empty when it cannot be named
    int fileExists;
    int fileOpens;    // it opens for reading, as the profile read opens it
    DWORD fileError;  // why it does not (2: it does not exist; 5: refused to this user)
    int refused;      // refused to this user: its values, as the service reads them, are unknown
    int utf8Mark;     // a UTF-8 byte-order mark stands before a section header
    SettingFacts keys[kSettingCount];
    int nameDerived;  // DeriveServiceName's result
    char serviceName[kServiceNameCapacity];
};

// Windows errors (GetLastError) are kept as they came, 0 where the call
// succeeded or was not made: access denied (5) reads otherwise than "not
// there", since a standard user may be refused what LocalSystem is given.
struct ServiceFacts {
    int named;  // the settings give a service name to look for
    int managerOpened;
    DWORD managerError;
    int registered;  // the service named by the settings opens
    int markedForDelete;  // it is gone once it stops and its last handle closes
    DWORD openError;
    DWORD state;     // SERVICE_STOPPED ...; 0 when unknown
    DWORD statusError;
    int configRead;  // imagePath holds the registered image path whole
    DWORD configError;
    char imagePath[kImagePathCapacity];
    int besideSettings;  // the image path names the exe whose settings are read
    char settingsFile[kSettingsPathCapacity];  // the file the registered exe reads
    // The failure actions as the manager reports them (the query rights suffice).
    int recoveryRead;
    DWORD recoveryError;
    DWORD recoveryResetSeconds;  // INFINITE: the count is never reset
    DWORD recoveryActionCount;
    SC_ACTION recoveryActions[kRecoveryActionCapacity];
    PrivilegeFacts privileges;  // as the manager reports them
    // Another service has the display name in force: the manager refuses a
    // second service of the same display name. Its key name, empty when the
    // manager's answer does not fit.
    int displayNameTaken;
    char displayNameOwner[kServiceKeyNameCapacity];
    // The Application log's source of the service's name (read once the
    // image path is): EventMessageFile as stored, and whether it names the
    // registered exe. The error is 2 when the source is not registered.
    int eventSourceRead;
    DWORD eventSourceError;
    char eventMessageFile[kExePathCapacity];
    int eventSourceHere;
};

struct ListedDevice {
    char hardwareId[kPropertyBufferSize + 1];  // upper-cased first hardware ID
    int valid;                                 // 0: not valid text in the code page
    int matched;
    int started;
};

struct ClassFacts {
    const char* className;  // the setup class: "Bluetooth", "Net"
    const char* key;        // the settings key of its pattern
    int patternRead;        // 0: refused or unknown; the service then looks for no device
    int patternUnknown;     // the settings file is refused to this user
    int patternChanges;     // upper-casing changes the pattern: it never matches
    char pattern[kPatternCapacity];
    int lookup;      // DeviceLookup's result, or kLookupSkipped
    DWORD present;   // devices enumerated
    DWORD matches;
    long standing;   // enumeration index of the last match, -1 for none
    int standingStarted;
    DevicePayload payload;  // the device that stands, as the lookup describes it
    // Net: where the adapter's name is read (empty without a driver key),
    // and whether the device path opens as a send opens it.
    char nameKey[kAdapterKeyCapacity];
    const char* nameValue;
    int pathOpens;
    DWORD pathError;  // the open's error; 0 when it opened or was not tried
    ListedDevice devices[kListedDeviceCapacity];
};

// The settings file's first bytes, read to find a byte-order mark.
const DWORD kSettingsHeadCapacity = 64;

// Windows' profile read takes a UTF-16 byte-order mark for one, and a
// UTF-8 one for part of the first line: a section header after it is not
// found, and that section's keys read as their defaults. Returns 1 when the
// `length` bytes start with that mark, then blanks, then "[".
int Utf8MarkBeforeSection(const BYTE* head, DWORD length);

// The service's last exchange with the Wi-Fi driver, as its Status key
// holds it; the verdict judges it.
// Readings of a status being written before the check says so.
const int kStatusReadTries = 8;

struct LastRequestFacts {
    int named;    // the settings give a service name to look under
    int read;     // the key holds a whole status
    int beingWritten;  // at each reading, the service was writing it
    DWORD error;  // why not; ERROR_FILE_NOT_FOUND with no incompleteAt: there is no key
    // The first value the key lacks or holds as another type or size (error
    // says which); null when the key is whole or was not read.
    const char* incompleteAt;
    DWORD numbers[kStatusNumberCount];  // by StatusNumber
    char failedAt[kFailedAtCapacity];
    char adapter[kDevicePathSlot];
    char timeUtc[kStatusTimeCapacity];
    char timeLocal[kStatusTimeCapacity];  // empty when TimeUtc is not a time
    char retryUtc[kStatusTimeCapacity];    // empty when no retry is timed
    char retryLocal[kStatusTimeCapacity];  // empty when RetryUtc is not a time
};

struct CheckFacts {
    HostFacts host;
    SettingsFacts settings;
    ServiceFacts service;
    ClassFacts bluetooth;
    ClassFacts net;
    LastRequestFacts lastRequest;
    HomeFacts home;  // the registered exe's, else the one beside this tool
    MachineFacts machine;
    VersionFacts versions;
};

// Fills facts from the machine. Nothing is changed and no request is
// sent; every handle opened is closed.
void GatherFacts(CheckFacts* facts);
