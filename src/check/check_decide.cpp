#include "check/check_decide.h"

#include <cstring>

#include "config/text_join.h"
#include "check/text_out.h"

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
    {"access-denied", "the adapter's device path is refused to this user (run elevated)"},
};

// A warning's text: before, the limit it states (none when 0), after.
struct WarningRule {
    const char* name;
    const char* before;
    DWORD limit;
    const char* after;
};

const WarningRule kWarnings[kWarnKindCount] = {
    {"settings-unreadable",
     "The settings cannot be read: this program's path is too long. The service "
     "refuses every setting in the same case and finds no device.", 0, ""},
    {"settings-path-too-long", "The settings file's path is longer than ", kSettingsFileReach - 1,
     " characters, more than Windows opens it by: the service refuses every setting "
     "in the same case and finds no device. Install to a shorter folder."},
    {"service-name-refused", "Model is too long for a service name (over ", kModelNameLimit,
     " characters): /install creates nothing and the other commands address no service."},
    {"service-access-denied",
     "This user may not query the service (access denied): whether it is registered, "
     "and how, shows only to an administrator.", 0, ""},
    {"service-elsewhere",
     "The registered service runs an exe in another folder: it reads that "
     "folder's settings file, not this one.", 0, ""},
    {"display-name-in-use",
     "Another service already has the display name ServiceDisplayName gives: the "
     "service manager refuses a second one, so /install fails with -2.", 0, ""},
    {"pattern-refused", "is longer than ", kPatternCapacity - 1,
     " characters: the service refuses it and looks for no device."},
    {"pattern-lower-case",
     "has lower-case letters: hardware IDs are compared upper-cased, so it never matches.", 0,
     ""},
    {"empty-pattern-matches-several",
     "is empty, so it matches every device of the class: only the last one counts.", 0, ""},
    {"several-matches", "matches more than one device: only the last one counts.", 0, ""},
    {"path-unresolved",
     "names a started adapter whose device path cannot be resolved: the service cannot "
     "tell it.", 0, ""},
    {"path-does-not-open",
     "names a started adapter whose device path does not open: the service cannot tell it.", 0,
     ""},
    {"path-access-denied",
     "names a started adapter whose device path this user may not open (access denied): "
     "the service, as LocalSystem, may. Run the check as an administrator to know.", 0, ""},
    {"privileges-not-limited",
     "The service's required privileges are not SeChangeNotifyPrivilege alone, as /install "
     "and the package set them: it keeps LocalSystem's other privileges, which it never uses. "
     "sc privs with its name and SeChangeNotifyPrivilege mends it.", 0, ""},
    // The text that follows the account; no access list at all reads otherwise.
    {"home-writable-by-users", "may be changed by ", 0,
     ", and the service runs as LocalSystem: let only administrators change it."},
};
const char kNoAccessList[] = "has no access list, so anyone may change it";

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
        if (f.settings.located == kSettingsFileNamed) Add(warnings, count, kWarnPatternRefused, &c);
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
    if (f.settings.located != kSettingsFileNamed || !f.net.patternRead) return kCheckNoSettings;
    if (f.net.standing < 0) return kCheckNoAdapterMatch;
    if (!f.net.standingStarted) return kCheckAdapterNotStarted;
    if (f.net.payload.DevicePath[0] == '\0') return kCheckPathUnresolved;
    if (!f.net.pathOpens)
        return f.net.pathError == ERROR_ACCESS_DENIED ? kCheckAccessDenied : kCheckPathDoesNotOpen;
    return kCheckWouldTell;
}

int CollectWarnings(const CheckFacts& f, CheckWarning* warnings) {
    int count = 0;
    if (f.settings.located == kSettingsExeUnread)
        Add(warnings, &count, kWarnSettingsUnreadable, nullptr);
    else if (f.settings.located == kSettingsFileOutOfReach)
        Add(warnings, &count, kWarnSettingsPathTooLong, nullptr);
    else if (!f.settings.nameDerived) Add(warnings, &count, kWarnServiceNameRefused, nullptr);
    if (f.service.managerError == ERROR_ACCESS_DENIED || f.service.openError == ERROR_ACCESS_DENIED)
        Add(warnings, &count, kWarnServiceAccessDenied, nullptr);
    if (f.service.configRead && !f.service.besideSettings)
        Add(warnings, &count, kWarnServiceElsewhere, nullptr);
    if (f.service.displayNameOwner[0] != '\0')
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
            Add(warnings, &count, kWarnPathAccessDenied, &f.net);
        else if (!f.net.pathOpens) Add(warnings, &count, kWarnPathDoesNotOpen, &f.net);
    }
    return count;
}

const char* WarningName(int kind) {
    return kind >= 0 && kind < kWarnKindCount ? kWarnings[kind].name : "unknown";
}

const char* WarningSubject(const CheckWarning& w) {
    if (w.about != nullptr) return w.about->key;
    return w.home != nullptr ? w.home->path : nullptr;
}

void WarningText(const CheckWarning& w, char* text) {
    text[0] = '\0';
    if (w.kind < 0 || w.kind >= kWarnKindCount) return;
    const WarningRule& rule = kWarnings[w.kind];
    char limit[kDecimalTextCapacity] = "";
    if (rule.limit != 0) FormatDecimal(rule.limit, limit);
    const char* before = rule.before;
    const char* middle = limit;
    if (w.home != nullptr) {
        if (w.home->access == kAccessNoList) before = kNoAccessList;
        middle = w.home->account;
    }
    JoinText(text, kWarningTextCapacity, before, middle, rule.after);
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

int SuggestedPattern(const ClassFacts& c, LeadByteTest isLead, char* out) {
    out[0] = '\0';
    const long meant = MeantDevice(c);
    if (meant < 0 || c.present > kListedDeviceCapacity) return 0;
    const char* ids[kListedDeviceCapacity];
    for (DWORD i = 0; i < c.present; ++i)
        ids[i] = c.devices[i].valid ? c.devices[i].hardwareId : nullptr;
    return SuggestPattern(ids, c.present, static_cast<DWORD>(meant), isLead, out);
}

namespace {

void Suggest(const ClassFacts& c, LeadByteTest isLead, Suggestion* s) {
    s->found = SuggestedPattern(c, isLead, s->pattern);
    s->why = "none: no field of its hardware ID names it alone";
    if (c.present == 0) s->why = "none: no device is present";
    else if (MeantDevice(c) < 0) s->why = "none: several devices and none matches";
    else if (c.present > kListedDeviceCapacity) s->why = "none: too many devices to compare";
}

}  // namespace

void DecideVerdict(const CheckFacts& f, LeadByteTest isLead, CheckVerdict* v) {
    v->exitCode = CheckExitCode(f);
    v->warningCount = CollectWarnings(f, v->warnings);
    Suggest(f.bluetooth, isLead, &v->bluetooth);
    Suggest(f.net, isLead, &v->net);
    v->sendState = f.bluetooth.standing >= 0 && f.bluetooth.standingStarted ? 1 : 0;
}

const char* HostCodeName(int code) {
    const int known = static_cast<int>(sizeof kHostNames / sizeof kHostNames[0]);
    return code >= 0 && code < known ? kHostNames[code] : "unknown";
}

const char* ServiceStateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "starting";
        case SERVICE_STOP_PENDING: return "stopping";
        case SERVICE_RUNNING: return "running";
        case SERVICE_CONTINUE_PENDING: return "continuing";
        case SERVICE_PAUSE_PENDING: return "pausing";
        case SERVICE_PAUSED: return "paused";
        default: return "unknown";
    }
}

const char* RecoveryActionName(DWORD type) {
    switch (type) {
        case SC_ACTION_NONE: return "none";
        case SC_ACTION_RESTART: return "restart";
        case SC_ACTION_REBOOT: return "reboot";
        case SC_ACTION_RUN_COMMAND: return "run-command";
        default: return "other";
    }
}
