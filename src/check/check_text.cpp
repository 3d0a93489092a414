// The plain report: one section per concern, labels in one column and
// values from column 22, each line within kOutWidth. Identifiers a user
// copies are never broken: one that does not fit beside its label goes
// whole on a line of its own.
#include <cstring>

#include "check/check_decide.h"
#include "check/check_render.h"
#include "config/text_join.h"

namespace {

const DWORD kValueColumn = 22;
// Device rows: number, match, node, then the hardware ID.
const DWORD kMatchColumn = 6;
const DWORD kNodeColumn = 13;
const DWORD kIdColumn = 22;
// Where an identifier goes when it does not fit beside its label.
const DWORD kIdentifierIndent = 4;

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

void Row(Out* out, const char* label, const char* value) {
    Label(out, label);
    OutWrapped(out, value, kValueColumn);
    OutChar(out, '\n');
}

void IdRow(Out* out, const char* label, const char* identifier) {
    Label(out, label);
    OutIdentifier(out, identifier, kIdentifierIndent);
    OutChar(out, '\n');
}

const char* YesNo(bool yes) { return yes ? "yes" : "no"; }

// Why a call failed, with the Windows error: access denied is told apart,
// as it says nothing of what an administrator would see.
void Failure(Out* out, const char* what, DWORD error) {
    OutText(out, error == ERROR_ACCESS_DENIED ? "unknown: access denied to this user" : what);
    OutText(out, " (error ");
    OutDecimal(out, error);
    OutText(out, ")\n");
}

void HostSection(const HostFacts& h, Out* out) {
    Heading(out, "Host");
    Label(out, "Windows version");
    const char* const kParts[] = {"", ".", ", build ", ", platform ", ", product type "};
    const DWORD values[] = {h.version.major, h.version.minor, h.version.build,
                            h.version.platformId, h.version.productType};
    for (int i = 0; i < 5 && h.versionRead; ++i) {
        OutText(out, kParts[i]);
        OutDecimal(out, values[i]);
    }
    OutText(out, h.versionRead ? "\n" : "unreadable\n");
    Label(out, "Host code");
    OutDecimal(out, static_cast<DWORD>(h.code));
    OutText(out, ", ");
    OutText(out, HostCodeName(h.code));
    OutChar(out, '\n');
    Row(out, "AMD64", YesNo(h.amd64));
    Row(out, "WOW64", h.wow64Known ? YesNo(h.wow64) : "no (IsWow64Process is missing)");
    Label(out, "Request code");
    OutHex(out, h.requestCode);
    OutText(out, h.code < kHostVista ? " (family before code 10" : " (family from code 10");
    OutText(out, ", base ");
    OutHex(out, h.baseCode);
    OutText(out, ")\n");
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
    // The limits quoted are checked where the warnings quote them.
    Label(out, "Readable");
    // Refused even elevated: running elevated is no remedy.
    if (s.refused && elevated) {
        OutText(out, "no: access denied even elevated (error ");
        OutDecimal(out, s.fileError);
        OutText(out, ")\n");
    } else if (s.fileExists && !s.fileOpens) Failure(out, "no", s.fileError);
    else OutText(out, s.fileOpens ? "yes\n"
                      : s.located == kSettingsFileOutOfReach
                          ? "not looked at: its path is over 259 characters\n"
                          : s.located == kSettingsFileNamed ? "no: it does not exist\n" : "no\n");
    if (s.refused) {
        Row(out, "Values", "unknown: the file is refused to this user");
        return;
    }
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingFacts& k = s.keys[i];
        Label(out, kSettingRules[i].key);
        OutText(out, k.fromFile ? "file" : "default");
        OutPadTo(out, kValueColumn + 9);
        if (!k.read && s.located != kSettingsFileNamed) {
            OutText(out, "refused: the settings cannot be read");
        } else if (!k.read) {
            OutText(out, "refused: longer than ");
            OutDecimal(out, kSettingRules[i].capacity - 1);
            OutText(out, " characters");
        } else if (k.value[0] == '\0') {
            OutText(out, "(empty)");
        } else if (i == kSettingDisplayName || i == kSettingDescription) {
            OutWrapped(out, k.value, kValueColumn + 9);
        } else {
            OutIdentifier(out, k.value, kIdentifierIndent);
        }
        OutChar(out, '\n');
    }
    if (s.nameDerived) IdRow(out, "Service name", s.serviceName);
    else if (s.located != kSettingsFileNamed)
        Row(out, "Service name", "(none: the settings cannot be read)");
    else Row(out, "Service name", "(none: Model must be 55 characters or fewer)");
}

// Room for the recovery row's list: eight actions of the longest kind,
// the count's mark and the reset period.
const DWORD kRecoveryTextCapacity = 256;

// a and b after text, which stays as it is when they do not fit.
void Append(char* text, const char* a, const char* b) {
    char joined[kRecoveryTextCapacity];
    if (JoinText(joined, sizeof joined, text, a, b)) std::memcpy(text, joined, sizeof joined);
}

// "as installed" when the failure actions are the ones /install sets, else
// as the manager lists them: "restart 1500 ms, none 0 ms; reset 90 s".
void RecoveryRow(const ServiceFacts& f, bool asInstalled, Out* out) {
    Label(out, "Recovery");
    if (!f.recoveryRead) return Failure(out, "unreadable", f.recoveryError);
    if (asInstalled || f.recoveryActionCount == 0)
        return OutText(out, asInstalled ? "as installed\n" : "none registered\n");
    char text[kRecoveryTextCapacity] = "";
    char number[kDecimalTextCapacity];
    for (DWORD i = 0; i < f.recoveryActionCount && i < kRecoveryActionCapacity; ++i) {
        FormatDecimal(f.recoveryActions[i].Delay, number);
        Append(text, i > 0 ? ", " : "", RecoveryActionName(f.recoveryActions[i].Type));
        Append(text, " ", number);
        Append(text, " ms", f.recoveryActionCount > kRecoveryActionCapacity &&
                                    i + 1 == kRecoveryActionCapacity ? ", ..." : "");
    }
    char reset[kDecimalTextCapacity + 8];
    FormatDecimal(f.recoveryResetSeconds, number);
    JoinText(reset, sizeof reset, "after ", number, " s");
    Append(text, "; reset ", f.recoveryResetSeconds == INFINITE ? "never" : reset);
    OutWrapped(out, text, kValueColumn);
    OutChar(out, '\n');
}

// "SeChangeNotifyPrivilege", or all of LocalSystem's when none is asked for.
void PrivilegesRow(const PrivilegeFacts& p, Out* out) {
    Label(out, "Privileges");
    if (!p.read || p.count == 0) {
        OutText(out, p.read ? "all of LocalSystem's: none asked for\n" : "unreadable\n");
        return;
    }
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
        Label(out, "Display name");
        OutText(out, "taken by ");
        OutIdentifier(out, f.displayNameOwner[0] ? f.displayNameOwner
                                                 : "a service whose name is too long to read",
                      kIdentifierIndent);
        OutChar(out, '\n');
    }
    Label(out, "Registered");
    if (!f.named) return OutText(out, "unknown: no service name to look for\n");
    if (!f.managerOpened)
        return Failure(out, "unknown: the service manager does not open", f.managerError);
    if (f.openError == ERROR_SERVICE_DOES_NOT_EXIST) return OutText(out, "no\n");
    if (!f.registered) return Failure(out, "unknown: it does not open", f.openError);
    OutText(out, "yes\n");
    Label(out, "State");
    if (f.statusError) Failure(out, "unknown: it cannot be queried", f.statusError);
    else {
        OutText(out, ServiceStateName(f.state));
        OutChar(out, '\n');
    }
    RecoveryRow(f, recoveryAsInstalled, out);
    PrivilegesRow(f.privileges, out);
    if (!f.configRead) {
        Label(out, "Image path");
        return f.configError ? Failure(out, "(unreadable)", f.configError)
                             : OutText(out, "(unreadable)\n");
    }
    IdRow(out, "Image path", f.imagePath);
    Row(out, "Beside settings", YesNo(f.besideSettings != 0));
    if (!f.besideSettings && f.settingsFile[0]) IdRow(out, "It reads", f.settingsFile);
}

// Each file or folder, and who besides the trusted accounts may change it.
void HomeSection(const HomeFacts& h, Out* out) {
    Heading(out, "Home (the service runs as LocalSystem)");
    if (!h.objects[kHomeExe].path[0]) Row(out, "Exe", "(cannot be named)");
    for (int i = 0; i < kHomeCount; ++i) {
        const HomeObject& o = h.objects[i];
        if (!o.path[0]) continue;
        static const char* const kLabels[kHomeCount] = {"Exe", "Folder", "Settings file",
                                                        "Folder above"};
        IdRow(out, kLabels[i], o.path);
        Label(out, "Changed by");
        if (o.access == kAccessUnread) Failure(out, "unknown", o.error);
        else if (o.access == kAccessNoList) OutText(out, "anyone: it has no access list\n");
        else if (o.access == kAccessTrusted)
            OutText(out, "SYSTEM, Administrators, TrustedInstaller only\n");
        else {
            OutWrapped(out, o.account, kValueColumn);
            OutText(out, o.byOwner ? " as well: its owner\n" : " as well\n");
        }
    }
}

void DeviceRows(const ClassFacts& c, Out* out) {
    if (c.present == 0) {
        OutText(out, "  (no present device)\n");
        return;
    }
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
        Label(out, "Stands");
        OutChar(out, '#');
        OutDecimal(out, static_cast<DWORD>(c.standing) + 1);
        OutText(out, c.standingStarted ? ", started" : ", not started");
        if (c.payload.DisplayName[0]) {
            OutText(out, ", ");
            OutWrapped(out, c.payload.DisplayName, kValueColumn);
        }
        OutChar(out, '\n');
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
        if (c.payload.DevicePath[0]) {
            Label(out, "Path opens");
            if (!c.standingStarted) OutText(out, "not tried: the adapter is not started\n");
            else if (c.pathOpens) OutText(out, "yes\n");
            else if (v.refusedToAdministrator)
                OutText(out, "no: the driver refuses an administrator (error 5)\n");
            else Failure(out, "no", c.pathError);
        }
    }

    if (v.why == nullptr) IdRow(out, "Suggested pattern", v.pattern);
    else Row(out, "Suggested pattern", v.why);
}

// "refused at the control: error 31 (ERROR_GEN_FAILURE)"
void DriverAnswer(const LastRequestFacts& r, Out* out) {
    Label(out, "Driver");
    if (r.numbers[kStatusAccepted]) {
        OutText(out, "accepted\n");
        return;
    }
    if (std::strcmp(r.failedAt, FailedAtName(kDriverNoPath)) == 0) {
        OutText(out, "not asked: no adapter path\n");
        return;
    }
    OutText(out, "refused at the ");
    OutText(out, r.failedAt);
    OutText(out, ": error ");
    OutDecimal(out, r.numbers[kStatusError]);
    const char* name = WindowsErrorName(r.numbers[kStatusError]);
    if (name != nullptr) {
        OutText(out, " (");
        OutText(out, name);
        OutChar(out, ')');
    }
    OutChar(out, '\n');
}

const char kNoneKept[] =
    "none kept: nothing was sent since the service last started or Windows last restarted";

void LastRequestSection(const CheckFacts& f, Out* out) {
    const LastRequestFacts& r = f.lastRequest;
    Heading(out, "Last request");
    if (!r.read) {
        Label(out, "Status");
        if (r.incompleteAt != nullptr) {
            // Never read as "nothing was sent": the key is there.
            char number[kDecimalTextCapacity];
            char why[kDecimalTextCapacity + 48];
            char text[sizeof why + 32];
            FormatDecimal(r.error, number);
            JoinText(why, sizeof why, " is missing or of another type (error ", number, ")");
            JoinText(text, sizeof text, "incomplete: ", r.incompleteAt, why);
            OutWrapped(out, text, kValueColumn);
            OutChar(out, '\n');
        } else if (r.error == ERROR_FILE_NOT_FOUND) {
            OutWrapped(out, kNoneKept, kValueColumn);
            OutChar(out, '\n');
        } else {
            Failure(out, "unreadable", r.error);
        }
        return;
    }
    // Volatile keys outlive a shutdown with fast startup: only a restart ends them.
    if (StatusFromLastRun(f))
        Row(out, "Status", "from the service's last run since Windows last restarted");
    Row(out, "Sent", StateText(r.numbers[kStatusState]));
    if (r.adapter[0]) IdRow(out, "Adapter", r.adapter);
    else Row(out, "Adapter", "(none known)");
    Label(out, "At");
    OutText(out, r.timeLocal[0] ? r.timeLocal : r.timeUtc);
    OutText(out, r.timeLocal[0] ? " local time\n" : " UTC\n");
    DriverAnswer(r, out);
    const DWORD held = r.numbers[kStatusAcceptedState];
    Row(out, "Driver holds",
        held == kNoneAccepted ? "nothing accepted since the service started" : StateText(held));
    Label(out, "Requests");
    OutDecimal(out, r.numbers[kStatusSent]);
    OutText(out, " sent, ");
    OutDecimal(out, r.numbers[kStatusRefused]);
    OutText(out, " refused since the service started\n");
    Row(out, "Retry",
        RefusalWaiting(f) ? "waiting: the state is sent again at the next device event"
        : r.numbers[kStatusRetryWaiting] ? "none now: Bluetooth is no longer in the refused state"
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
    HostSection(f.host, out);
    SettingsSection(f.settings, f.host.elevated != 0, out);
    ServiceSection(f.service, v.recoveryAsInstalled != 0, out);
    HomeSection(f.home, out);
    ClassSection(f.bluetooth, v.bluetooth, out);
    ClassSection(f.net, v.net, out);
    LastRequestSection(f, out);
    WarningsSection(v, out);
    OutText(out, "\nResult ");
    OutDecimal(out, static_cast<DWORD>(v.exitCode));
    OutText(out, ": ");
    OutWrapped(out, ExitCodeText(v.exitCode), 2);
    OutChar(out, '\n');
}
