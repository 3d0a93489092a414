// The settings file beside the exe, and the service name formed from it.
#pragma once

#include <windows.h>

// The keys of the settings file, with their defaults.
const char kSectionProduct[] = "Product";
const char kSectionSettings[] = "Settings";
const char kKeyModel[] = "Model";
const char kKeyDisplayName[] = "ServiceDisplayName";
const char kKeyDescription[] = "ServiceDescription";
const char kKeyBluetoothPattern[] = "BTHWID";
const char kKeyWifiPattern[] = "WiFiHWID";
const char kDefaultModel[] = "QM5520";
const char kDefaultDisplayName[] = "Verdin Service";
const char kDefaultDescription[] = "";
const char kDefaultPattern[] = "";
const char kServiceNamePrefix[] = "Tolvane_";
// Where every service's key is, under HKEY_LOCAL_MACHINE.
const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
// The service's exe; the check tool beside it reads the settings it reads.
const char kServiceExeName[] = "tolvane.exe";

// Capacities of the callers' buffers, terminator included.
const DWORD kModelCapacity = 64;
const DWORD kDisplayNameCapacity = 128;
const DWORD kDescriptionCapacity = 512;
const DWORD kPatternCapacity = 64;
const DWORD kServiceNameCapacity = 64;

// The exe's path as read, terminator included. Far beyond MAX_PATH, so a
// cut read is told apart from a whole one.
const DWORD kExePathCapacity = 1024;
// Room for the settings path: the exe path with ".ini" appended at most.
const DWORD kSettingsPathCapacity = kExePathCapacity + 4;
// The profile read yields at most this many bytes, terminator included.
const DWORD kSettingValueCapacity = 256;

// The exe's path with its file extension replaced by "ini"; ".ini" is
// appended when the file name has no "." (a "." in a folder name is never
// taken for the extension's). Returns 1, or 0 when the result does not fit
// `capacity` (out is then untouched).
int SettingsPathFromExePath(const char* exePath, char* out, DWORD capacity);

// The length of path's folder, up to and with its last "\" (0 when it has
// none). Scanned forward, so a trail byte is never taken for a separator:
// in code page 932 one may be 0x5C, the "\".
DWORD ExeFolderLength(const char* path);

// Results of ReadExePath.
const int kExePathRead = 1;
const int kExePathUnread = 0;       // it cannot be read, or does not fit
const int kExePathUnspelled = -1;   // the ANSI code page cannot spell it

// The exe's full path in the ANSI code page into path (kExePathCapacity
// bytes): kExePathRead, or another result with path empty. A cut path, or
// one whose characters the code page lacks, could name another file or none.
int ReadExePath(char* path);

// Whose settings file is read: null (the default) for this exe's own, or
// the exe of that file name in this exe's folder. The check tool names the
// service's exe, so both read one file. Set before any other thread exists.
void ReadSettingsOf(const char* exeName);

// The exe whose settings are read (see ReadSettingsOf) into path
// (kExePathCapacity bytes). ReadExePath's result, kExePathUnread also when
// the named exe's path does not fit; path is empty unless it is read.
int SettingsExePath(char* path);

// The profile read opens no file whose path, terminator included, does not
// fit in MAX_PATH UTF-16 characters (this exe declares no long-path
// support): it answers the default as if the file were missing, on Windows
// as under Wine. A double-byte character counts once.
const DWORD kSettingsFileReach = MAX_PATH;

// Results of LocateSettingsFile.
const int kSettingsFileNamed = 1;
const int kSettingsExeUnread = 0;        // this exe's path cannot be read whole
const int kSettingsFileOutOfReach = -1;  // the file's path does not fit kSettingsFileReach
const int kSettingsExeUnspelled = -2;    // the ANSI code page cannot spell this exe's path

// The settings file in force into path (kSettingsPathCapacity bytes): the
// settings exe's path with "ini" for its extension. kSettingsFileNamed;
// kSettingsExeUnread or kSettingsExeUnspelled with path empty; or
// kSettingsFileOutOfReach with path
// holding the file the profile read cannot open, so a report can show it.
int LocateSettingsFile(char* path);

// LocateSettingsFile as 1 when the file is named, else 0 with path empty:
// a file out of reach is refused like an exe path that cannot be read, as
// its defaults could name another installation's service.
int SettingsFilePath(char* path);

// Reads one key of the settings file afresh into dest (`capacity` bytes),
// or the default when the file, section or key is missing. The file is
// never written. A value that does not fit is refused, never cut: dest then
// holds the empty string and the result is 0. So is every read while the
// settings file cannot be named or opened (SettingsFilePath): the defaults
// could name another installation's service and match every device.
// Otherwise the result is 1.
int ReadSetting(const char* section, const char* key, const char* def, char* dest,
                DWORD capacity);

// The service's registered name: "Tolvane_" and the model. Formed once per
// process by DeriveServiceName before any other thread exists.
extern char ServiceName[kServiceNameCapacity];

// Returns 1, or 0 when the model is refused or too long for the name; the
// name is then empty, so nothing is ever registered under a cut name.
int DeriveServiceName();

// How UTF-16 text is written in the ANSI code page acp when a character it
// lacks must be refused, never replaced. A UTF-8 code page spells every
// character but a lone surrogate, and refuses the other flags and the
// lack's check: there the flag that refuses a surrogate is taken, which is
// documented only with CP_UTF8 named, not CP_ACP.
struct StrictAnsi {
    UINT codePage;
    DWORD flags;
    int checksLack;  // lpUsedDefaultChar is passed and says what is lacking
};
inline StrictAnsi StrictAnsiFor(UINT acp) {
    return acp == CP_UTF8 ? StrictAnsi{CP_UTF8, WC_ERR_INVALID_CHARS, 0}
                          : StrictAnsi{CP_ACP, WC_NO_BEST_FIT_CHARS, 1};
}

// "Tolvane_" and model, in the ANSI code page, into name
// (kServiceNameCapacity bytes). Returns 1, or 0 when they do not fit: name
// is then empty. The one rule for the service name's length.
int FormServiceName(char* name, const char* model);

// The longest model a service name holds.
const DWORD kModelNameLimit = kServiceNameCapacity - sizeof kServiceNamePrefix;

// The settings file's keys, in the order they are shown.
enum SettingIndex {
    kSettingModel,
    kSettingDisplayName,
    kSettingDescription,
    kSettingBluetoothPattern,
    kSettingWifiPattern,
    kSettingCount
};

// Where a key lives, its default and the room its reader gives the value
// (terminator included): a longer value is refused.
struct SettingRule {
    const char* section;
    const char* key;
    const char* def;
    DWORD capacity;
};
extern const SettingRule kSettingRules[kSettingCount];

// 1 when value, in the ANSI code page, fits the room its reader gives the
// setting (a SettingIndex) and so is read whole; else 0.
int SettingFits(int setting, const char* value);
