#include "check/check_decide.h"

#include <cstring>

#include "config/text_join.h"

namespace {

struct Named {
    const char* name;
    const char* text;
};

const Named kExitCodes[kCheckExitCodeCount] = {
    {"would-tell", "the service would tell the Wi-Fi driver"},
    {"no-settings", "no settings readable, or WiFiHWID refused as too long"},
    {"no-adapter-match", "no Wi-Fi adapter matches WiFiHWID"},
    {"adapter-not-started", "the adapter that matches is not started"},
    {"path-unresolved", "the adapter's device path cannot be resolved"},
    {"path-does-not-open", "the adapter's device path does not open"},
    {"unknown-option", "unknown option (the usage is printed)"},
    {"access-denied",
     "the settings file or the adapter's device path is refused to this user (run elevated)"},
    {"driver-refused", "the driver refused the last request; it waits for the next device event"},
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
    // The text that follows who may change it.
    {"home-writable-by-users",
     ", and the service runs as LocalSystem: let only administrators change it."},
};
const char kNoAccessList[] = "has no access list, so anyone may change it";
const char kOwnedBy[] = "is owned by ";
const char kOwnerMay[] = ", who may change its access list whatever it says";
const char kChangedBy[] = "may be changed by ";
// After who may change the folder above the home.
const char kParentSwap[] = "; the service's folder in it may then be swapped for another";

const char* const kHostNames[] = {
    "unsupported (older than Windows 95 and NT 4.0)",
    "Windows 95",
    "Windows 98",
    "Windows 98 SE",
    "Windows Me",
    "Windows NT 4.0",
    "Windows 2000",
    "Windows XP",
    "64-bit Windows XP or Server 2003",
    "Windows Server 2003",
    "Windows Vista",
    "64-bit Windows Vista",
    "Windows 7 or later",
    "64-bit Windows 7 or later",
    "Windows Server 2008",
};

void Add(CheckWarning* warnings, int* count, int kind, const ClassFacts* about,
         const HomeObject* home = nullptr) {
    if (*count < kWarningCapacity) warnings[(*count)++] = {kind, about, home};
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

}  // namespace

const char* ExitCodeName(int code) {
    return code >= 0 && code < kCheckExitCodeCount ? kExitCodes[code].name : "unknown";
}

const char* ExitCodeText(int code) {
    return code >= 0 && code < kCheckExitCodeCount ? kExitCodes[code].text : "unknown";
}

int CheckExitCode(const CheckFacts& f) {
    // Elevation is the remedy only where the check is not elevated.
    if (f.settings.refused) return f.host.elevated ? kCheckNoSettings : kCheckAccessDenied;
    if (f.settings.located != kSettingsFileNamed || !f.net.patternRead) return kCheckNoSettings;
    if (f.net.standing < 0) return kCheckNoAdapterMatch;
    if (!f.net.standingStarted) return kCheckAdapterNotStarted;
    if (f.net.payload.DevicePath[0] == '\0') return kCheckPathUnresolved;
    // An administrator refused is not helped by elevation.
    if (!f.net.pathOpens)
        return f.net.pathError == ERROR_ACCESS_DENIED && !f.host.elevated ? kCheckAccessDenied
                                                                          : kCheckPathDoesNotOpen;
    return RefusalWaiting(f) ? kCheckDriverRefused : kCheckWouldTell;
}

int CollectWarnings(const CheckFacts& f, CheckWarning* warnings) {
    int count = 0;
    const int located = f.settings.located;
    if (located == kSettingsExeUnread) Add(warnings, &count, kWarnSettingsUnreadable, nullptr);
    else if (located == kSettingsExeUnspelled) Add(warnings, &count, kWarnExeFolderUnspelled, nullptr);
    else if (located == kSettingsFileOutOfReach)
        Add(warnings, &count, kWarnSettingsPathTooLong, nullptr);
    else if (f.settings.refused)
        Add(warnings, &count,
            f.host.elevated ? kWarnSettingsRefusedElevated : kWarnSettingsAccessDenied, nullptr);
    else if (!f.settings.nameDerived) Add(warnings, &count, kWarnServiceNameRefused, nullptr);
    if (f.settings.utf8Mark) Add(warnings, &count, kWarnSettingsUtf8Mark, nullptr);
    if (f.service.managerError == ERROR_ACCESS_DENIED || f.service.openError == ERROR_ACCESS_DENIED)
        Add(warnings, &count, kWarnServiceAccessDenied, nullptr);
    if (f.service.configRead && !f.service.besideSettings)
        Add(warnings, &count, kWarnServiceElsewhere, nullptr);
    if (f.service.displayNameTaken)
        Add(warnings, &count, kWarnDisplayNameInUse, nullptr);
    if (f.service.registered && f.service.privileges.read && !LeastPrivileges(f.service.privileges))
        Add(warnings, &count, kWarnPrivilegesNotLimited, nullptr);
    for (const HomeObject& o : f.home.objects) {
        if (o.access == kAccessOthers || o.access == kAccessNoList)
            Add(warnings, &count, kWarnHomeWritable, nullptr, &o);
    }
    ClassWarnings(f, f.bluetooth, warnings, &count);
    ClassWarnings(f, f.net, warnings, &count);
    if (f.net.standing >= 0 && f.net.standingStarted) {
        if (f.net.payload.DevicePath[0] == '\0') Add(warnings, &count, kWarnPathUnresolved, &f.net);
        else if (f.net.pathError == ERROR_ACCESS_DENIED)
            Add(warnings, &count,
                f.host.administrator ? kWarnPathRefusedToAdministrator : kWarnPathAccessDenied,
                &f.net);
        else if (!f.net.pathOpens) Add(warnings, &count, kWarnPathDoesNotOpen, &f.net);
    }
    if (RequestElsewhere(f)) Add(warnings, &count, kWarnRequestElsewhere, &f.net);
    return count;
}

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

long MeantDevice(const ClassFacts& c) {
    if (c.standing >= 0) return c.standing;
    return c.present == 1 ? 0 : -1;
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
    const long meant = MeantDevice(c);
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
    v->exitCode = CheckExitCode(f);
    v->warningCount = CollectWarnings(f, v->warnings);
    v->bluetooth.why = SuggestedPattern(f.bluetooth, isLead, v->bluetooth.pattern);
    v->net.why = SuggestedPattern(f.net, isLead, v->net.pattern);
    v->bluetooth.sendState = WouldSendState(f);
    v->net.sendState = -1;
    v->net.refusedToAdministrator = f.net.pathError == ERROR_ACCESS_DENIED && f.host.administrator;
    const ServiceFacts& s = f.service;
    v->recoveryAsInstalled = s.recoveryRead && s.recoveryResetSeconds == kFailureResetSeconds &&
                             s.recoveryActionCount == kFailureActionCount;
    for (DWORD i = 0; i < kFailureActionCount && v->recoveryAsInstalled; ++i)
        v->recoveryAsInstalled = s.recoveryActions[i].Type == kFailureActions[i].Type &&
                                 s.recoveryActions[i].Delay == kFailureActions[i].Delay;
}

const char* HostCodeName(int code) {
    const int known = static_cast<int>(sizeof kHostNames / sizeof kHostNames[0]);
    return code >= 0 && code < known ? kHostNames[code] : "unknown";
}

const char* ServiceStateName(DWORD state) {
    static const char* const kNames[] = {"stopped", "starting", "stopping", "running",
                                         "continuing", "pausing", "paused"};
    return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? kNames[state - 1] : "unknown";
}

const char* RecoveryActionName(DWORD type) {
    static const char* const kNames[] = {"none", "restart", "reboot", "run-command"};
    return type <= SC_ACTION_RUN_COMMAND ? kNames[type] : "other";
}
