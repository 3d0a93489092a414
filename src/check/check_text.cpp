// The plain report: one section per concern, labels in one column and
// values from column 22, each line within kOutWidth. Identifiers a user
// copies are never broken: one that does not fit beside its label goes
// whole on a line of its own.
#include <cstring>
#include <initializer_list>

#include "check/check_decide.h"
#include "config/text_join.h"

namespace {

const DWORD kValueColumn = 22;
// Device rows: number, match, node, then the hardware ID.
const DWORD kMatchColumn = 6;
const DWORD kNodeColumn = 13;
const DWORD kIdColumn = 22;
// Room for a row's value joined from its pieces: the longest is a path.
const DWORD kRowCapacity = kSettingsPathCapacity + 64;

void Heading(Out* out, const char* title) {
    OutChar(out, '\n');
    OutText(out, title);
    OutChar(out, '\n');
}

void Label(Out* out, const char* label) {
    OutText(out, "  ");
    OutText(out, label);
    OutPadTo(out, kValueColumn);
}

// The pieces after the `*length` bytes of value (kRowCapacity bytes), as
// many as fit whole: the room suits the longest row.
void Join(char* value, DWORD* length, std::initializer_list<const char*> pieces) {
    for (const char* piece : pieces) {
        const DWORD size = static_cast<DWORD>(std::strlen(piece));
        if (*length + size >= kRowCapacity) break;
        std::memcpy(value + *length, piece, size);
        *length += size;
    }
    value[*length] = '\0';
}

// A row: its label, then its pieces joined and wrapped from the value column.
void Row(Out* out, const char* label, std::initializer_list<const char*> pieces) {
    char value[kRowCapacity];
    DWORD length = 0;
    Join(value, &length, pieces);
    Label(out, label);
    OutWrapped(out, value, kValueColumn);
    OutChar(out, '\n');
}

void Row(Out* out, const char* label, const char* value) { Row(out, label, {value}); }

// value as text in number (kDecimalTextCapacity bytes), for a row's pieces.
const char* Decimal(DWORD value, char* number) {
    FormatDecimal(value, number);
    return number;
}

void IdRow(Out* out, const char* label, const char* identifier, const char* before = "") {
    Label(out, label);
    OutText(out, before);
    OutIdentifier(out, identifier, kIdentifierIndent);
    OutChar(out, '\n');
}

const char* YesNo(bool yes) { return yes ? "yes" : "no"; }

// Why a call failed, with the Windows error: access denied is told apart,
// as it says nothing of what an administrator would see.
void FailureRow(Out* out, const char* label, const char* what, DWORD error) {
    char number[kDecimalTextCapacity];
    Row(out, label, {error == ERROR_ACCESS_DENIED ? "unknown: access denied to this user" : what,
                     " (error ", Decimal(error, number), ")"});
}

void HostSection(const HostFacts& h, const MachineFacts& m, Out* out) {
    Heading(out, "Host");
    char n[6][kDecimalTextCapacity];
    const DWORD values[] = {h.version.major,      h.version.minor,
                            h.version.build,      h.version.platformId,
                            h.version.productType, static_cast<DWORD>(h.code)};
    for (int i = 0; i < 6; ++i) FormatDecimal(values[i], n[i]);
    if (!h.versionRead) Row(out, "Windows version", "unreadable");
    else Row(out, "Windows version", {n[0], ".", n[1], ", build ", n[2], ", platform ", n[3],
                                      ", product type ", n[4]});
    Row(out, "Host code", {n[5], ", ", HostCodeName(h.code)});
    Row(out, "AMD64", YesNo(h.amd64));
    Row(out, "WOW64", h.wow64Known ? YesNo(h.wow64) : "no (IsWow64Process is missing)");
    Row(out, "Processor", {MachineName(m.native), ", as ",
                           m.source == kMachineFromIsWow64Process2 ? "IsWow64Process2"
                                                                   : "GetNativeSystemInfo",
                           " reports it"});
    char request[kHexTextCapacity];
    char base[kHexTextCapacity];
    FormatHex(h.requestCode, request);
    FormatHex(h.baseCode, base);
    Row(out, "Request code", {request, " (family ", h.code < kHostVista ? "before" : "from",
                              " code 10, base ", base, ")"});
    Row(out, "Value sent in", h.heapBlock ? "a heap block of its own" : "the caller's buffer");
    Row(out, "Elevated", YesNo(h.elevated != 0));
    Row(out, "Administrator", YesNo(h.administrator != 0));
}

void SettingsSection(const SettingsFacts& s, bool elevated, Out* out) {
    Heading(out, "Settings");
    if (s.file[0]) IdRow(out, "File", s.file);
    else if (s.located != kSettingsExeUnspelled)
        Row(out, "File", "(cannot be named: this program's path is too long)");
    else Row(out, "File", "(cannot be named: the code page cannot spell this program's folder)");
    if (s.located == kSettingsExeUnspelled) IdRow(out, "Program", s.exePath);
    char number[kDecimalTextCapacity];
    // The limits quoted are checked where the warnings quote them. Refused
    // even elevated: running elevated is no remedy.
    if (s.refused && elevated)
        Row(out, "Readable", {"no: access denied even elevated (error ",
                              Decimal(s.fileError, number), ")"});
    else if (s.fileExists && !s.fileOpens) FailureRow(out, "Readable", "no", s.fileError);
    else Row(out, "Readable", s.fileOpens ? "yes"
                              : s.located == kSettingsFileOutOfReach
                                  ? "not looked at: its path is over 259 characters"
                              : s.located == kSettingsFileNamed ? "no: it does not exist" : "no");
    if (s.refused) return Row(out, "Values", "unknown: the file is refused to this user");
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingFacts& k = s.keys[i];
        Label(out, kSettingRules[i].key);
        OutText(out, k.fromFile ? "file" : "default");
        OutPadTo(out, kValueColumn + 9);
        char longer[kDecimalTextCapacity + 32];
        JoinText(longer, sizeof longer, "refused: longer than ",
                 Decimal(kSettingRules[i].capacity - 1, number), " characters");
        if (!k.read || k.value[0] == '\0')
            OutText(out, k.read ? "(empty)"
                         : s.located != kSettingsFileNamed ? "refused: the settings cannot be read"
                                                           : longer);
        else if (i == kSettingDisplayName || i == kSettingDescription)
            OutWrapped(out, k.value, kValueColumn + 9);
        else OutIdentifier(out, k.value, kIdentifierIndent);
        OutChar(out, '\n');
    }
    if (s.nameDerived) IdRow(out, "Service name", s.serviceName);
    else if (s.located != kSettingsFileNamed)
        Row(out, "Service name", "(none: the settings cannot be read)");
    else Row(out, "Service name", "(none: Model must be 55 characters or fewer)");
}

// "as installed" when the failure actions are the ones /install sets, else
// as the manager lists them: "restart 1500 ms, none 0 ms; reset 90 s".
void RecoveryRow(const ServiceFacts& f, bool asInstalled, Out* out) {
    if (!f.recoveryRead) return FailureRow(out, "Recovery", "unreadable", f.recoveryError);
    if (asInstalled || f.recoveryActionCount == 0)
        return Row(out, "Recovery", asInstalled ? "as installed" : "none registered");
    char text[kRowCapacity];
    DWORD length = 0;
    char number[kDecimalTextCapacity];
    for (DWORD i = 0; i < f.recoveryActionCount && i < kRecoveryActionCapacity; ++i) {
        const bool more = f.recoveryActionCount > kRecoveryActionCapacity &&
                          i + 1 == kRecoveryActionCapacity;
        Join(text, &length, {i > 0 ? ", " : "", RecoveryActionName(f.recoveryActions[i].Type),
                             " ", Decimal(f.recoveryActions[i].Delay, number), " ms",
                             more ? ", ..." : ""});
    }
    const bool never = f.recoveryResetSeconds == INFINITE;
    Join(text, &length, {"; reset ", never ? "never" : "after ",
                         never ? "" : Decimal(f.recoveryResetSeconds, number), never ? "" : " s"});
    Row(out, "Recovery", text);
}

// "SeChangeNotifyPrivilege", or all of LocalSystem's when none is asked for.
void PrivilegesRow(const PrivilegeFacts& p, Out* out) {
    if (!p.read || p.count == 0)
        return Row(out, "Privileges",
                   p.read ? "all of LocalSystem's: none asked for" : "unreadable");
    Label(out, "Privileges");
    // Broken only between names: each is an identifier.
    const char* name = p.names;
    for (DWORD i = 0; i < p.kept; name += std::strlen(name) + 1, ++i) {
        if (i > 0) OutText(out, ", ");
        OutIdentifier(out, name, kValueColumn);
    }
    if (p.count > p.kept) {
        char number[kDecimalTextCapacity];
        char more[kDecimalTextCapacity + 16];
        FormatDecimal(p.count - p.kept, number);
        JoinText(more, sizeof more, "and ", number, " more");
        if (p.kept > 0) OutText(out, ", ");
        OutIdentifier(out, more, kValueColumn);
    }
    OutChar(out, '\n');
}

void ServiceSection(const ServiceFacts& f, bool recoveryAsInstalled, Out* out) {
    Heading(out, "Service");
    if (f.displayNameTaken) {
        IdRow(out, "Display name", f.displayNameOwner[0] ? f.displayNameOwner
                                   : "a service whose name is too long to read", "taken by ");
    }
    const char* registered = "Registered";
    if (!f.named) return Row(out, registered, "unknown: no service name to look for");
    if (!f.managerOpened)
        return FailureRow(out, registered, "unknown: the service manager does not open",
                          f.managerError);
    if (f.openError == ERROR_SERVICE_DOES_NOT_EXIST) return Row(out, registered, "no");
    if (!f.registered) return FailureRow(out, registered, "unknown: it does not open", f.openError);
    if (f.markedForDelete)
        Row(out, registered, "marked for deletion: it goes once it stops and its last handle "
                             "is closed");
    else Row(out, registered, "yes");
    if (f.statusError) FailureRow(out, "State", "unknown: it cannot be queried", f.statusError);
    else Row(out, "State", ServiceStateName(f.state));
    RecoveryRow(f, recoveryAsInstalled, out);
    PrivilegesRow(f.privileges, out);
    if (!f.configRead && f.configError)
        return FailureRow(out, "Image path", "(unreadable)", f.configError);
    if (!f.configRead) return Row(out, "Image path", "(unreadable)");
    IdRow(out, "Image path", f.imagePath);
    Row(out, "Beside settings", YesNo(f.besideSettings != 0));
    if (!f.besideSettings && f.settingsFile[0]) IdRow(out, "It reads", f.settingsFile);
    if (f.eventSourceRead) IdRow(out, "Event source", f.eventMessageFile, "messages from ");
    else if (f.eventSourceError == ERROR_FILE_NOT_FOUND) Row(out, "Event source", "not registered");
    else FailureRow(out, "Event source", "unknown: it does not read", f.eventSourceError);
}

void VersionRow(Out* out, const char* label, const FileVersionFacts& f) {
    char text[kVersionTextCapacity];
    FormatVersion(f.parts, text);
    if (f.read) Row(out, label, text);
    else FailureRow(out, label, "unreadable", f.error);
}

// This program's file version and the registered exe's, which an upgrade
// keeps the same.
void VersionsSection(const VersionFacts& v, Out* out) {
    Heading(out, "Versions");
    VersionRow(out, "This check", v.check);
    if (v.serviceExeSought) VersionRow(out, "Service's exe", v.serviceExe);
    else Row(out, "Service's exe", "none: no registered exe is known");
}

// Each file or folder, and who besides the trusted accounts may change it.
void HomeSection(const HomeFacts& h, Out* out) {
    Heading(out, "Home (the service runs as LocalSystem)");
    if (!h.objects[kHomeExe].path[0]) Row(out, "Exe", "(cannot be named)");
    for (int i = 0; i < h.count; ++i) {
        const HomeObject& o = h.objects[i];
        if (!o.path[0]) continue;
        static const char* const kLabels[kHomeParent + 1] = {"Exe", "Folder", "Settings file",
                                                             "Folder above"};
        IdRow(out, kLabels[i < kHomeParent ? i : kHomeParent], o.path);
        if (o.access == kAccessUnread) FailureRow(out, "Changed by", "unknown", o.error);
        else if (o.access == kAccessNoList) Row(out, "Changed by", "anyone: it has no access list");
        else if (o.access == kAccessTrusted)
            Row(out, "Changed by", "SYSTEM, Administrators, TrustedInstaller only");
        else Row(out, "Changed by", {o.account, o.byOwner ? " as well: its owner" : " as well"});
    }
    char number[kDecimalTextCapacity];
    if (h.aboveNotJudged)
        Row(out, "Folders above", {Decimal(h.aboveNotJudged, number), " more, not judged"});
}

void DeviceRows(const ClassFacts& c, Out* out) {
    if (c.present == 0) return OutText(out, "  (no present device)\n");
    OutText(out, "   #  Match  Node     First hardware ID, upper-cased\n");
    for (DWORD i = 0; i < c.present && i < kListedDeviceCapacity; ++i) {
        const ListedDevice& d = c.devices[i];
        OutText(out, static_cast<long>(i) == c.standing ? " * " : "   ");
        OutDecimal(out, i + 1);
        OutPadTo(out, kMatchColumn);
        OutText(out, YesNo(d.matched != 0));
        OutPadTo(out, kNodeColumn);
        OutText(out, d.started ? "started" : "stopped");
        OutPadTo(out, kIdColumn);
        if (!d.valid) OutText(out, "(not valid text in the code page)");
        else if (d.hardwareId[0] == '\0') OutText(out, "(none)");
        else OutIdentifier(out, d.hardwareId, kMatchColumn);
        OutChar(out, '\n');
    }
    if (c.present > kListedDeviceCapacity) {
        OutText(out, "  and ");
        OutDecimal(out, c.present - kListedDeviceCapacity);
        OutText(out, " more, not listed\n");
    }
}

const char* StateText(DWORD state) { return state ? "1 (Bluetooth on)" : "0 (Bluetooth off)"; }

void ClassSection(const ClassFacts& c, const ClassVerdict& v, Out* out) {
    OutChar(out, '\n');
    OutText(out, c.className);
    OutText(out, " class, ");
    OutText(out, c.key);
    OutText(out, " ");
    if (!c.patternRead) {
        OutText(out, c.patternUnknown ? "unknown" : "refused");
    } else if (c.pattern[0] == '\0') {
        OutText(out, "empty (every device matches)");
    } else {
        char quoted[kPatternCapacity + 2];
        JoinText(quoted, sizeof quoted, "\"", c.pattern, "\"");
        OutIdentifier(out, quoted, 2);
    }
    OutChar(out, '\n');

    if (c.lookup == kClassUnresolved) Row(out, "Lookup", "the class is not known on this machine");
    if (c.lookup == kNoDeviceList) Row(out, "Lookup", "the device list cannot be made");
    DeviceRows(c, out);

    if (c.standing < 0) {
        Row(out, "Stands", c.patternRead      ? "none: no device matches"
                           : c.patternUnknown ? "unknown: the pattern is not readable"
                                              : "none: the pattern is refused");
    } else {
        char number[kDecimalTextCapacity];
        Row(out, "Stands", {"#", Decimal(static_cast<DWORD>(c.standing) + 1, number),
                            c.standingStarted ? ", started" : ", not started",
                            c.payload.DisplayName[0] ? ", " : "", c.payload.DisplayName});
    }

    if (v.sendState >= 0 && c.patternUnknown) {
        Row(out, "A send carries", "unknown: the pattern is not readable");
    } else if (v.sendState >= 0) {
        Row(out, "A send carries", StateText(static_cast<DWORD>(v.sendState)));
    } else if (c.standing >= 0) {
        if (c.nameKey[0]) IdRow(out, "Name read from", c.nameKey);
        else Row(out, "Name read from", "(no driver key)");
        if (c.nameKey[0])
            IdRow(out, c.nameValue, c.payload.InstanceId[0] ? c.payload.InstanceId : "-");
        if (c.payload.DevicePath[0]) IdRow(out, "Device path", c.payload.DevicePath);
        else Row(out, "Device path", "(cannot be resolved)");
        const char* opens = "Path opens";
        if (v.adapter == kAdapterNotStarted && c.payload.DevicePath[0])
            Row(out, opens, "not tried: the adapter is not started");
        else if (v.adapter == kAdapterOpens) Row(out, opens, "yes");
        else if (v.adapter == kAdapterRefusedToAdministrator)
            Row(out, opens, "no: the driver refuses an administrator (error 5)");
        else if (v.adapter >= kAdapterDoesNotOpen) FailureRow(out, opens, "no", c.pathError);
    }

    if (v.why == nullptr) IdRow(out, "Suggested pattern", v.pattern);
    else Row(out, "Suggested pattern", v.why);
}

// "refused at the control: error 31 (ERROR_GEN_FAILURE)"
void DriverAnswer(const LastRequestFacts& r, Out* out) {
    if (r.numbers[kStatusAccepted]) return Row(out, "Driver", "accepted");
    if (std::strcmp(r.failedAt, FailedAtName(kDriverNoPath)) == 0)
        return Row(out, "Driver", "not asked: no adapter path");
    char number[kDecimalTextCapacity];
    const char* name = WindowsErrorName(r.numbers[kStatusError]);
    const int timedOut = std::strcmp(r.failedAt, FailedAtName(kDriverTimedOut)) == 0;
    Row(out, "Driver", {timedOut ? "" : "refused at the ", timedOut ? "timed out" : r.failedAt,
                        ": error ",
                        Decimal(r.numbers[kStatusError], number), name ? " (" : "",
                        name ? name : "", name ? ")" : ""});
}

void LastRequestSection(const CheckFacts& f, const CheckVerdict& v, Out* out) {
    const LastRequestFacts& r = f.lastRequest;
    Heading(out, "Last request");
    char number[kDecimalTextCapacity];
    if (!r.named)
        return Row(out, "Status", "unknown: the settings give no service name to look under");
    // No writer is left to finish it: the next start removes it.
    if (v.recordUnfinished)
        return Row(out, "Status", "incomplete: the service stopped while writing it");
    if (r.beingWritten)
        return Row(out, "Status", {"being written: the service was writing it at each of ",
                                   Decimal(kStatusReadTries, number),
                                   " readings; run the check again"});
    // Never read as "nothing was sent": the key is there.
    if (r.incompleteAt != nullptr)
        return Row(out, "Status", {"incomplete: ", r.incompleteAt,
                                   " is missing or of another type (error ",
                                   Decimal(r.error, number), ")"});
    if (!r.read && r.error == ERROR_FILE_NOT_FOUND)
        return Row(out, "Status", "none kept: nothing was sent since the service last started "
                                  "or Windows last restarted");
    if (!r.read) return FailureRow(out, "Status", "unreadable", r.error);
    // Volatile keys outlive a shutdown with fast startup: only a restart ends them.
    if (v.fromLastRun)
        Row(out, "Status", "from the service's last run since Windows last restarted");
    Row(out, "Sent", StateText(r.numbers[kStatusState]));
    if (r.adapter[0]) IdRow(out, "Adapter", r.adapter);
    else Row(out, "Adapter", "(none known)");
    Row(out, "At", {r.timeLocal[0] ? r.timeLocal : r.timeUtc,
                    r.timeLocal[0] ? " local time" : " UTC"});
    DriverAnswer(r, out);
    const DWORD held = r.numbers[kStatusAcceptedState];
    Row(out, "Driver holds",
        held == kNoneAccepted ? "nothing accepted since the service started" : StateText(held));
    char sent[kDecimalTextCapacity];
    char refused[kDecimalTextCapacity];
    Row(out, "Requests", {Decimal(r.numbers[kStatusSent], sent), " sent, ",
                          Decimal(r.numbers[kStatusRefused], refused),
                          " refused since the service started"});
    if (v.retry == kRetryWaiting && r.retryUtc[0])
        return Row(out, "Retry", {"waiting: sent again at ",
                                  r.retryLocal[0] ? r.retryLocal : r.retryUtc,
                                  r.retryLocal[0] ? " local time" : " UTC"});
    Row(out, "Retry",
        v.retry == kRetryWaiting   ? "waiting: the state is sent again at the next device event"
        : v.retry == kRetryNoneNow ? "none now: Bluetooth is no longer in the refused state"
                                   : "none waiting");
}

void WarningsSection(const CheckVerdict& v, Out* out) {
    Heading(out, "Warnings");
    if (v.warningCount == 0) OutText(out, "  none\n");
    for (int i = 0; i < v.warningCount; ++i) {
        OutText(out, "  ! ");
        // A path it is about is never broken, though it may hold spaces.
        const char* subject = WarningSubject(v.warnings[i]);
        if (subject != nullptr) {
            OutIdentifier(out, subject, 4);
            OutChar(out, ' ');
        }
        char text[kWarningTextCapacity];
        WarningText(v.warnings[i], text, false);
        OutWrapped(out, text, 4);
        OutChar(out, '\n');
    }
}

}  // namespace

void RenderText(const CheckFacts& f, const CheckVerdict& v, Out* out) {
    OutText(out, "Tolvane check: what the service sees on this machine\n");
    HostSection(f.host, f.machine, out);
    SettingsSection(f.settings, f.host.elevated != 0, out);
    ServiceSection(f.service, v.recoveryAsInstalled != 0, out);
    VersionsSection(f.versions, out);
    HomeSection(f.home, out);
    ClassSection(f.bluetooth, v.bluetooth, out);
    ClassSection(f.net, v.net, out);
    LastRequestSection(f, v, out);
    WarningsSection(v, out);
    OutText(out, "\nResult ");
    OutDecimal(out, static_cast<DWORD>(v.exitCode));
    OutText(out, ": ");
    OutWrapped(out, ExitCodeText(v.exitCode), 2);
    OutChar(out, '\n');
}
