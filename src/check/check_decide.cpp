#include "check/check_decide.h"

#include <cstring>

#include "config/text_join.h"

namespace {

struct Named {
    const char* name;
    const char* text;
};

const CodeWord kExitCodeNames[] = {
    {kCheckWouldTell, "would-tell"}, {kCheckNoSettings, "no-settings"},
    {kCheckNoAdapterMatch, "no-adapter-match"}, {kCheckAdapterNotStarted, "adapter-not-started"},
    {kCheckPathUnresolved, "path-unresolved"}, {kCheckPathDoesNotOpen, "path-does-not-open"},
    {kCheckUnknownOption, "unknown-option"}, {kCheckAccessDenied, "access-denied"},
    {kCheckDriverRefused, "driver-refused"}, {kCheckServiceNotRegistered, "service-not-registered"},
    {kCheckServiceNotRunning, "service-not-running"},
};
const CodeWord kExitCodeTexts[] = {
    {kCheckWouldTell, "the service runs and would tell the Wi-Fi driver"},
    {kCheckNoSettings, "no settings readable, or WiFiHWID refused as too long"},
    {kCheckNoAdapterMatch, "no Wi-Fi adapter matches WiFiHWID"},
    {kCheckAdapterNotStarted, "the adapter that matches is not started"},
    {kCheckPathUnresolved, "the adapter's device path cannot be resolved"},
    {kCheckPathDoesNotOpen, "the adapter's device path does not open"},
    {kCheckUnknownOption, "unknown option (the usage is printed, or with /json one object)"},
    {kCheckAccessDenied,
     "the settings file, the adapter's device path or the service is refused to this user "
     "(run elevated)"},
    {kCheckDriverRefused,
     "the driver refused the last request; it is sent again by itself or at the next device event"},
    {kCheckServiceNotRegistered,
     "the service of the settings' name is not registered, or only marked for deletion"},
    {kCheckServiceNotRunning, "the service is registered but not running"},
};

// The limits the texts quote are the settings' own.
static_assert(kSettingsFileReach - 1 == 259, "settings-path-too-long quotes 259");
static_assert(kModelNameLimit == 55, "service-name-refused quotes 55");
static_assert(kPatternCapacity - 1 == 63, "pattern-refused quotes 63");

const Named kWarnings[kWarnKindCount] = {
    {"settings-unreadable",
     "The settings cannot be read: this program's path is too long. The service "
     "refuses every setting in the same case and finds no device."},
    {"exe-folder-unspelled",
     "The ANSI code page cannot spell this program's folder: the service refuses every "
     "setting in the same case, finds no device and /install registers nothing. Install "
     "to a folder whose name the code page can spell."},
    {"settings-path-too-long",
     "The settings file's path is longer than 259 characters, more than Windows opens it "
     "by: the service refuses every setting in the same case and finds no device. Install "
     "to a shorter folder."},
    {"settings-access-denied",
     "The settings file is refused to this user (access denied): the service, as "
     "LocalSystem, may read it. Run the check elevated to see its values."},
    {"settings-refused-elevated",
     "The settings file is refused to this user even elevated (access denied): the "
     "service, as LocalSystem, may read it, but what it reads shows only to an account "
     "the file's access list lets read it."},
    {"settings-utf8-mark",
     "The settings file starts with a UTF-8 byte-order mark before a section: Windows "
     "reads the mark as part of the first line, so that section is not found and its "
     "keys read as their defaults. Save the file as ANSI, or as UTF-16 (\"Unicode\"), "
     "which Windows reads."},
    {"service-name-refused",
     "Model is too long for a service name (over 55 characters): /install creates nothing "
     "and the other commands address no service."},
    {"service-access-denied",
     "This user may not query the service (access denied): whether it is registered, "
     "and how, shows only to an administrator."},
    {"service-elsewhere",
     "The registered service runs an exe in another folder: it reads that "
     "folder's settings file, not this one."},
    {"display-name-in-use",
     "Another service already has the display name ServiceDisplayName gives: the "
     "service manager refuses a second one, so /install fails with -2."},
    {"pattern-refused",
     "is longer than 63 characters: the service refuses it and looks for no device."},
    {"pattern-lower-case",
     "has lower-case letters: hardware IDs are compared upper-cased, so it never matches."},
    {"empty-pattern-matches-several",
     "is empty, so it matches every device of the class: only the last one counts."},
    {"several-matches", "matches more than one device: only the last one counts."},
    {"path-unresolved",
     "names a started adapter whose device path cannot be resolved: the service cannot "
     "tell it."},
    {"path-does-not-open",
     "names a started adapter whose device path does not open: the service cannot tell it."},
    {"path-access-denied",
     "names a started adapter whose device path this user may not open (access denied): "
     "the service, as LocalSystem, may. Run the check as an administrator to know."},
    {"path-refused-to-administrator",
     "names a started adapter whose device path the driver refuses even to an "
     "administrator (access denied): it may admit only LocalSystem, or refuse every open."},
    {"last-request-elsewhere",
     "names another adapter than the one the service's last request went to."},
    {"privileges-not-limited",
     "The service's required privileges are not SeChangeNotifyPrivilege alone, as /install "
     "and the package set them: it keeps LocalSystem's other privileges, which it never uses. "
     "sc privs with its name and SeChangeNotifyPrivilege mends it."},
    {"event-source-missing",
     "The service's event source is not registered: its events reach the Application log "
     "without their text. A repair of the package registers it; without the package, "
     "tolvane.exe /stop, /uninstall, then /install (/install alone refuses an installed "
     "service)."},
    {"event-source-elsewhere",
     "The service's event source takes its messages from another exe than the registered "
     "one: its events may show no text or wrong text. A repair of the package registers it "
     "anew; without the package, tolvane.exe /stop, /uninstall, then /install from the "
     "service's folder."},
    // The text that follows who may change it.
    {"home-writable-by-users",
     ", and the service runs as LocalSystem: let only administrators change it."},
    {"version-differs",
     "The service's exe is another version than this check, as after a partial upgrade or "
     "a hand-copied exe: the service may not be the build this check describes. Install "
     "both from one package."},
};
const char kNoAccessList[] = "has no access list, so anyone may change it";
const char kOwnedBy[] = "is owned by ";
const char kOwnerMay[] = ", who may change its access list whatever it says";
const char kChangedBy[] = "may be changed by ";
// After who may change, delete or rename a folder above the home.
const char kParentSwap[] = "; the service's folder under it may then be swapped for another";

const CodeWord kHostNames[] = {
    {0, "unsupported (older than Windows 95 and NT 4.0)"}, {1, "Windows 95"}, {2, "Windows 98"},
    {3, "Windows 98 SE"}, {4, "Windows Me"}, {5, "Windows NT 4.0"}, {6, "Windows 2000"},
    {7, "Windows XP"}, {8, "64-bit Windows XP or Server 2003"}, {9, "Windows Server 2003"},
    {10, "Windows Vista"}, {11, "64-bit Windows Vista"}, {12, "Windows 7 or later"},
    {13, "64-bit Windows 7 or later"}, {14, "Windows Server 2008"},
};

const CodeWord kStateNames[] = {
    {SERVICE_STOPPED, "stopped"},           {SERVICE_START_PENDING, "starting"},
    {SERVICE_STOP_PENDING, "stopping"},     {SERVICE_RUNNING, "running"},
    {SERVICE_CONTINUE_PENDING, "continuing"}, {SERVICE_PAUSE_PENDING, "pausing"},
    {SERVICE_PAUSED, "paused"},
};

const CodeWord kRecoveryNames[] = {
    {SC_ACTION_NONE, "none"}, {SC_ACTION_RESTART, "restart"},
    {SC_ACTION_REBOOT, "reboot"}, {SC_ACTION_RUN_COMMAND, "run-command"},
};

// Errors a driver request plausibly ends with.
const CodeWord kErrorNames[] = {
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"}, {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"}, {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"}, {ERROR_NOT_READY, "ERROR_NOT_READY"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"}, {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"}, {ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {ERROR_INVALID_NAME, "ERROR_INVALID_NAME"}, {ERROR_BUSY, "ERROR_BUSY"},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"}, {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
    {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
    {ERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER"},
    {ERROR_IO_PENDING, "ERROR_IO_PENDING"}, {ERROR_TIMEOUT, "ERROR_TIMEOUT"},
};

// kWarnKindCount stands for none.
void Add(CheckWarning* warnings, int* count, int kind, const ClassFacts* about = nullptr,
         const HomeObject* home = nullptr) {
    if (kind < kWarnKindCount && *count < kWarningCapacity)
        warnings[(*count)++] = {kind, about, home};
}

void ClassWarnings(const CheckFacts& f, const ClassFacts& c, CheckWarning* warnings,
                   int* count) {
    // Unreadable settings refuse every pattern: that warning says it all.
    if (!c.patternRead) {
        if (f.settings.located == kSettingsFileNamed && !c.patternUnknown)
            Add(warnings, count, kWarnPatternRefused, &c);
        return;
    }
    if (c.patternChanges) Add(warnings, count, kWarnPatternLowerCase, &c);
    if (c.matches > 1)
        Add(warnings, count,
            c.pattern[0] == '\0' ? kWarnEmptyPatternMatchesSeveral : kWarnSeveralMatches, &c);
}

// Whether text holds the candidate anywhere on a character boundary.
bool Occurs(const char* text, const char* candidate, LeadByteTest isLead) {
    const int length = static_cast<int>(std::strlen(text));
    return ContainsOnCharBoundary(text, length, candidate, isLead) != 0;
}

// ids[index]'s first `length` bytes into out when no other ID holds them.
bool TryField(const char* const* ids, DWORD count, DWORD index, DWORD start, DWORD length,
              LeadByteTest isLead, char* out) {
    if (length == 0 || length >= kPatternCapacity) return false;
    std::memcpy(out, ids[index] + start, length);
    out[length] = '\0';
    for (DWORD j = 0; j < count; ++j) {
        if (j != index && ids[j] != nullptr && Occurs(ids[j], out, isLead)) return false;
    }
    return true;
}

// The exit code and the warning, if any, of each AdapterStep.
struct StepOutcome {
    int exitCode;
    int warning;  // kWarnKindCount for none
};
const StepOutcome kStepOutcomes[kAdapterStepCount] = {
    {kCheckNoSettings, kWarnKindCount},            {kCheckNoAdapterMatch, kWarnKindCount},
    {kCheckAdapterNotStarted, kWarnKindCount},     {kCheckPathUnresolved, kWarnPathUnresolved},
    {kCheckPathDoesNotOpen, kWarnPathDoesNotOpen}, {kCheckAccessDenied, kWarnPathAccessDenied},
    // Elevation is no remedy for one elevated already, nor for an administrator.
    {kCheckPathDoesNotOpen, kWarnPathAccessDenied},
    {kCheckPathDoesNotOpen, kWarnPathRefusedToAdministrator}, {kCheckWouldTell, kWarnKindCount},
};

int AdapterLadder(const CheckFacts& f) {
    const ClassFacts& n = f.net;
    if (!n.patternRead) return kAdapterNotSought;
    if (n.standing < 0) return kAdapterNoMatch;
    if (!n.standingStarted) return kAdapterNotStarted;
    if (n.payload.DevicePath[0] == '\0') return kAdapterPathUnresolved;
    if (n.pathOpens) return kAdapterOpens;
    if (n.pathError != ERROR_ACCESS_DENIED) return kAdapterDoesNotOpen;
    if (f.host.administrator) return kAdapterRefusedToAdministrator;
    return f.host.elevated ? kAdapterRefusedElevated : kAdapterRefusedToUser;
}

// The service's links, once the devices' hold: registered (not only
// marked for deletion), then running. A user refused the query does not
// know: elevation is the remedy, as for the settings and the path.
int ServiceLink(const CheckFacts& f) {
    const ServiceFacts& s = f.service;
    if (s.registered && !s.markedForDelete)
        return s.state == SERVICE_RUNNING ? kCheckWouldTell : kCheckServiceNotRunning;
    const bool refused =
        s.managerError == ERROR_ACCESS_DENIED || s.openError == ERROR_ACCESS_DENIED;
    return refused && !f.host.elevated ? kCheckAccessDenied : kCheckServiceNotRegistered;
}

int CollectWarnings(const CheckFacts& f, const CheckVerdict& v, CheckWarning* warnings) {
    int count = 0;
    const int located = f.settings.located;
    if (located == kSettingsExeUnread) Add(warnings, &count, kWarnSettingsUnreadable);
    else if (located == kSettingsExeUnspelled) Add(warnings, &count, kWarnExeFolderUnspelled);
    else if (located == kSettingsFileOutOfReach) Add(warnings, &count, kWarnSettingsPathTooLong);
    else if (f.settings.refused)
        Add(warnings, &count,
            f.host.elevated ? kWarnSettingsRefusedElevated : kWarnSettingsAccessDenied);
    else if (!f.settings.nameDerived) Add(warnings, &count, kWarnServiceNameRefused);
    if (f.settings.utf8Mark) Add(warnings, &count, kWarnSettingsUtf8Mark);
    if (f.service.managerError == ERROR_ACCESS_DENIED || f.service.openError == ERROR_ACCESS_DENIED)
        Add(warnings, &count, kWarnServiceAccessDenied);
    if (f.service.configRead && !f.service.besideSettings)
        Add(warnings, &count, kWarnServiceElsewhere);
    if (f.service.displayNameTaken) Add(warnings, &count, kWarnDisplayNameInUse);
    if (f.service.registered && f.service.privileges.read && !LeastPrivileges(f.service.privileges))
        Add(warnings, &count, kWarnPrivilegesNotLimited);
    if (f.service.configRead && f.service.eventSourceError == ERROR_FILE_NOT_FOUND)
        Add(warnings, &count, kWarnEventSourceMissing);
    if (f.service.eventSourceRead && !f.service.eventSourceHere)
        Add(warnings, &count, kWarnEventSourceElsewhere);
    for (int i = 0; i < f.home.count; ++i) {
        const HomeObject& o = f.home.objects[i];
        if (o.access == kAccessOthers || o.access == kAccessNoList)
            Add(warnings, &count, kWarnHomeWritable, nullptr, &o);
    }
    ClassWarnings(f, f.bluetooth, warnings, &count);
    ClassWarnings(f, f.net, warnings, &count);
    Add(warnings, &count, kStepOutcomes[v.net.adapter].warning, &f.net);
    if (VersionsDiffer(f.versions)) Add(warnings, &count, kWarnVersionDiffers);
    // The last request went to another adapter than the started one found now.
    if (f.lastRequest.read && v.net.adapter >= kAdapterDoesNotOpen &&
        std::strcmp(f.lastRequest.adapter, f.net.payload.DevicePath) != 0)
        Add(warnings, &count, kWarnRequestElsewhere, &f.net);
    return count;
}

}  // namespace

const char* WordOf(const CodeWord* table, DWORD count, long code, const char* fallback) {
    for (DWORD i = 0; i < count; ++i)
        if (table[i].code == code) return table[i].word;
    return fallback;
}

const char* ExitCodeName(int code) { return WordOf(kExitCodeNames, code, "unknown"); }
const char* ExitCodeText(int code) { return WordOf(kExitCodeTexts, code, "unknown"); }

const char* WarningName(int kind) {
    return kind >= 0 && kind < kWarnKindCount ? kWarnings[kind].name : "unknown";
}

const char* WarningSubject(const CheckWarning& w) {
    if (w.about != nullptr) return w.about->key;
    return w.home != nullptr ? w.home->path : nullptr;
}

void WarningText(const CheckWarning& w, char* text, bool withSubject) {
    const char* body = w.kind >= 0 && w.kind < kWarnKindCount ? kWarnings[w.kind].text : "";
    char home[kWarningTextCapacity];
    if (w.home != nullptr) {
        const HomeObject& o = *w.home;
        const bool noList = o.access == kAccessNoList;
        char who[kWarningTextCapacity];
        JoinText(who, sizeof who, noList ? kNoAccessList : o.byOwner ? kOwnedBy : kChangedBy,
                 noList ? "" : o.account, o.byOwner ? kOwnerMay : "");
        JoinText(home, sizeof home, who, o.parent ? kParentSwap : "", body);
        body = home;
    }
    const char* subject = withSubject ? WarningSubject(w) : nullptr;
    JoinText(text, kWarningTextCapacity, subject ? subject : "", subject ? " " : "", body);
}

int SuggestPattern(const char* const* ids, DWORD count, DWORD index, LeadByteTest isLead,
                   char* out) {
    out[0] = '\0';
    const char* id = ids[index];
    if (id == nullptr) return 0;
    const DWORD length = static_cast<DWORD>(std::strlen(id));

    // Piece ends on character boundaries: a trail byte may look like a separator.
    DWORD partStart = 0;
    bool enumerator = false;
    const DWORD kEndCapacity = kPropertyBufferSize;
    DWORD ends[kEndCapacity];
    DWORD pieces = 0;
    for (DWORD i = 0; i < length;) {
        const char c = id[i];
        if (c == '\\' && !enumerator) {
            enumerator = true;
            partStart = i + 1;
            pieces = 0;
        } else if ((c == '\\' || c == '&') && pieces + 1 < kEndCapacity) {
            ends[pieces++] = i;
        }
        i += (isLead(static_cast<BYTE>(c)) && i + 1 < length) ? 2 : 1;
    }
    ends[pieces++] = length;

    for (DWORD k = pieces >= 2 ? 1 : 0; k < pieces; ++k) {
        if (TryField(ids, count, index, partStart, ends[k] - partStart, isLead, out)) return 1;
    }
    if (enumerator && TryField(ids, count, index, 0, length, isLead, out)) return 1;
    out[0] = '\0';
    return 0;
}

const char* SuggestedPattern(const ClassFacts& c, LeadByteTest isLead, char* out) {
    out[0] = '\0';
    const long meant = c.standing >= 0 ? c.standing : c.present == 1 ? 0 : -1;
    if (c.present == 0) return "none: no device is present";
    if (meant < 0) return "none: several devices and none matches";
    if (c.present > kListedDeviceCapacity) return "none: too many devices to compare";
    const char* ids[kListedDeviceCapacity];
    for (DWORD i = 0; i < c.present; ++i)
        ids[i] = c.devices[i].valid ? c.devices[i].hardwareId : nullptr;
    return SuggestPattern(ids, c.present, static_cast<DWORD>(meant), isLead, out)
               ? nullptr
               : "none: no field of its hardware ID names it alone";
}

void DecideVerdict(const CheckFacts& f, LeadByteTest isLead, CheckVerdict* v) {
    const LastRequestFacts& r = f.lastRequest;
    v->bluetooth.why = SuggestedPattern(f.bluetooth, isLead, v->bluetooth.pattern);
    v->net.why = SuggestedPattern(f.net, isLead, v->net.pattern);
    // The state a send would carry now: 1 when a Bluetooth device stands started.
    v->bluetooth.sendState = f.bluetooth.standing >= 0 && f.bluetooth.standingStarted;
    v->net.sendState = -1;
    v->net.adapter = AdapterLadder(f);
    // A refused state waits while Bluetooth is still in it: the driver does
    // not hold what the service sees.
    v->retry = !r.read || !r.numbers[kStatusRetryWaiting] ? kRetryNone
               : r.numbers[kStatusState] == static_cast<DWORD>(v->bluetooth.sendState)
                   ? kRetryWaiting
                   : kRetryNoneNow;
    v->fromLastRun = !f.service.registered || f.service.state != SERVICE_RUNNING;
    v->recordUnfinished =
        r.beingWritten && f.service.registered && f.service.state == SERVICE_STOPPED;
    // Elevation is the remedy for a refused settings file only where the
    // check is not elevated; elevated, the settings are simply not read.
    v->exitCode = f.settings.refused && !f.host.elevated ? kCheckAccessDenied
                                                         : kStepOutcomes[v->net.adapter].exitCode;
    if (v->exitCode == kCheckWouldTell) v->exitCode = ServiceLink(f);
    if (v->exitCode == kCheckWouldTell && v->retry == kRetryWaiting)
        v->exitCode = kCheckDriverRefused;
    v->warningCount = CollectWarnings(f, *v, v->warnings);
    const ServiceFacts& s = f.service;
    v->recoveryAsInstalled = s.recoveryRead && s.recoveryResetSeconds == kFailureResetSeconds &&
                             s.recoveryActionCount == kFailureActionCount;
    for (DWORD i = 0; i < kFailureActionCount && v->recoveryAsInstalled; ++i)
        v->recoveryAsInstalled = s.recoveryActions[i].Type == kFailureActions[i].Type &&
                                 s.recoveryActions[i].Delay == kFailureActions[i].Delay;
}

const char* HostCodeName(int code) { return WordOf(kHostNames, code, "unknown"); }
const char* ServiceStateName(DWORD state) { return WordOf(kStateNames, state, "unknown"); }
const char* RecoveryActionName(DWORD type) { return WordOf(kRecoveryNames, type, "other"); }
const char* WindowsErrorName(DWORD error) { return WordOf(kErrorNames, error, nullptr); }
