// The plain report: one section per concern, labels in one column and
// values from column 22, each line within kOutWidth. Identifiers a user
// copies are never broken: one that does not fit beside its label goes
// whole on a line of its own.
#include <cstring>

#include "check/check_decide.h"
#include "check/check_render.h"
#include "config/text_join.h"
#include "platform/win32_api.h"

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
    OutWrapped(out, value, kValueColumn, Win().IsDBCSLeadByte);
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
    if (error == ERROR_ACCESS_DENIED) {
        OutText(out, "unknown: access denied to this user (error 5)");
    } else {
        OutText(out, what);
        OutText(out, " (error ");
        OutDecimal(out, error);
        OutChar(out, ')');
    }
    OutChar(out, '\n');
}

void HostSection(const HostFacts& h, Out* out) {
    Heading(out, "Host");
    Label(out, "Windows version");
    if (h.versionRead) {
        OutDecimal(out, h.version.major);
        OutChar(out, '.');
        OutDecimal(out, h.version.minor);
        OutText(out, ", build ");
        OutDecimal(out, h.version.build);
        OutText(out, ", platform ");
        OutDecimal(out, h.version.platformId);
        OutText(out, ", product type ");
        OutDecimal(out, h.version.productType);
    } else {
        OutText(out, "unreadable");
    }
    OutChar(out, '\n');
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
}

void SettingsSection(const SettingsFacts& s, Out* out) {
    Heading(out, "Settings");
    if (s.file[0]) IdRow(out, "File", s.file);
    else Row(out, "File", "(cannot be named: this program's path is too long)");
    if (s.located == kSettingsFileOutOfReach) {
        Label(out, "Exists");
        OutText(out, "not looked at: its path is over ");
        OutDecimal(out, kSettingsFileReach - 1);
        OutText(out, " characters\n");
    } else if (s.fileError != 0 && s.fileError != ERROR_FILE_NOT_FOUND &&
               s.fileError != ERROR_PATH_NOT_FOUND) {
        Label(out, "Exists");
        Failure(out, "unknown", s.fileError);
    } else {
        Row(out, "Exists", YesNo(s.fileExists != 0));
    }
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingFacts& k = s.keys[i];
        Label(out, kSettingRules[i].key);
        OutText(out, k.fromFile ? "file" : "default");
        OutPadTo(out, kValueColumn + 9);
        if (!k.read) {
            OutText(out, "refused: longer than ");
            OutDecimal(out, kSettingRules[i].capacity - 1);
            OutText(out, " characters");
        } else if (k.value[0] == '\0') {
            OutText(out, "(empty)");
        } else if (i == kSettingDisplayName || i == kSettingDescription) {
            OutWrapped(out, k.value, kValueColumn + 9, Win().IsDBCSLeadByte);
        } else {
            OutIdentifier(out, k.value, kIdentifierIndent);
        }
        OutChar(out, '\n');
    }
    if (s.nameDerived) {
        IdRow(out, "Service name", s.serviceName);
    } else {
        Label(out, "Service name");
        OutText(out, "(none: Model must be ");
        OutDecimal(out, kModelNameLimit);
        OutText(out, " characters or fewer)\n");
    }
}

// Room for one piece of the recovery row ("restart in 4294967295 ms").
const DWORD kPieceCapacity = 48;

// A piece after its separator ("," or ";"): on the same line when it
// fits, else whole on the next at the value column.
void OutPiece(Out* out, const char* separator, const char* piece) {
    if (separator != nullptr) {
        OutText(out, separator);
        if (out->column + 1 + std::strlen(piece) > kOutWidth) {
            OutChar(out, '\n');
            OutPadTo(out, kValueColumn);
        } else {
            OutChar(out, ' ');
        }
    }
    OutText(out, piece);
}

// "restart in 5 s, restart in 5 s, none; reset after 1 day"
void RecoveryRow(const ServiceFacts& f, Out* out) {
    Label(out, "Recovery");
    if (!f.recoveryRead || f.recoveryActionCount == 0) {
        OutText(out, f.recoveryRead ? "none registered\n" : "unreadable\n");
        return;
    }
    char piece[kPieceCapacity];
    char number[kDecimalTextCapacity];
    char delay[kPieceCapacity];
    for (DWORD i = 0; i < f.recoveryActionCount && i < kRecoveryActionCapacity; ++i) {
        const SC_ACTION& a = f.recoveryActions[i];
        const bool wholeSeconds = a.Delay % 1000 == 0;
        FormatDecimal(wholeSeconds ? a.Delay / 1000 : a.Delay, number);
        JoinText(delay, sizeof delay, " in ", number, wholeSeconds ? " s" : " ms");
        JoinText(piece, sizeof piece, RecoveryActionName(a.Type),
                 a.Type == SC_ACTION_NONE ? "" : delay);
        OutPiece(out, i > 0 ? "," : nullptr, piece);
    }
    if (f.recoveryActionCount > kRecoveryActionCapacity) {
        FormatDecimal(f.recoveryActionCount - kRecoveryActionCapacity, number);
        JoinText(piece, sizeof piece, "and ", number, " more");
        OutPiece(out, ",", piece);
    }
    const DWORD kDay = 24 * 60 * 60;
    const DWORD period = f.recoveryResetSeconds;
    if (period == INFINITE) {
        JoinText(piece, sizeof piece, "never reset");
    } else {
        FormatDecimal(period % kDay ? period : period / kDay, number);
        JoinText(piece, sizeof piece, "reset after ", number,
                 period % kDay ? " s" : period == kDay ? " day" : " days");
    }
    OutPiece(out, ";", piece);
    OutChar(out, '\n');
}

// "SeChangeNotifyPrivilege", or all of LocalSystem's when none is asked for.
void PrivilegesRow(const PrivilegeFacts& p, Out* out) {
    Label(out, "Privileges");
    if (!p.read || p.count == 0) {
        OutText(out, p.read ? "all of LocalSystem's: none asked for\n" : "unreadable\n");
        return;
    }
    const char* name = p.names;
    for (DWORD i = 0; i < p.kept; name += std::strlen(name) + 1, ++i)
        OutPiece(out, i > 0 ? "," : nullptr, name);
    if (p.count > p.kept) {
        char number[kDecimalTextCapacity];
        char piece[kPieceCapacity];
        FormatDecimal(p.count - p.kept, number);
        JoinText(piece, sizeof piece, "and ", number, " more");
        OutPiece(out, p.kept > 0 ? "," : nullptr, piece);
    }
    OutChar(out, '\n');
}

void ServiceSection(const ServiceFacts& f, Out* out) {
    Heading(out, "Service");
    if (f.displayNameOwner[0]) {
        Label(out, "Display name");
        OutText(out, "taken by ");
        OutIdentifier(out, f.displayNameOwner, kIdentifierIndent);
        OutChar(out, '\n');
    }
    if (!f.named) {
        Row(out, "Registered", "unknown: no service name to look for");
        return;
    }
    if (!f.managerOpened) {
        Label(out, "Registered");
        Failure(out, "unknown: the service manager does not open", f.managerError);
        return;
    }
    if (!f.registered) {
        Label(out, "Registered");
        if (f.openError == ERROR_SERVICE_DOES_NOT_EXIST) OutText(out, "no\n");
        else Failure(out, "unknown: it does not open", f.openError);
        return;
    }
    Row(out, "Registered", "yes");
    if (f.statusError) {
        Label(out, "State");
        Failure(out, "unknown: it cannot be queried", f.statusError);
    } else {
        Row(out, "State", ServiceStateName(f.state));
    }
    RecoveryRow(f, out);
    PrivilegesRow(f.privileges, out);
    if (!f.configRead) {
        Label(out, "Image path");
        if (f.configError) Failure(out, "(unreadable)", f.configError);
        else OutText(out, "(unreadable)\n");
        return;
    }
    IdRow(out, "Image path", f.imagePath);
    Row(out, "Beside settings", YesNo(f.besideSettings != 0));
    if (!f.besideSettings && f.settingsFile[0]) IdRow(out, "It reads", f.settingsFile);
}

// Each file or folder, and who besides the trusted accounts may change it.
void HomeSection(const HomeFacts& h, Out* out) {
    Heading(out, "Home (the service runs as LocalSystem)");
    for (int i = 0; i < kHomeCount; ++i) {
        const HomeObject& o = h.objects[i];
        if (!o.path[0]) continue;
        static const char* const kLabels[kHomeCount] = {"Exe", "Folder", "Settings file"};
        IdRow(out, kLabels[i], o.path);
        Label(out, "Changed by");
        if (o.access == kAccessUnread) Failure(out, "unknown", o.error);
        else if (o.access == kAccessNoList) OutText(out, "anyone: it has no access list\n");
        else if (o.access == kAccessTrusted)
            OutText(out, "SYSTEM, Administrators, TrustedInstaller only\n");
        else {
            OutWrapped(out, o.account, kValueColumn, Win().IsDBCSLeadByte);
            OutText(out, " as well\n");
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

// sendState is shown for Bluetooth only (adapter false).
void ClassSection(const ClassFacts& c, const Suggestion& suggestion, bool adapter, int sendState,
                  Out* out) {
    OutChar(out, '\n');
    OutText(out, c.className);
    OutText(out, " class, ");
    OutText(out, c.key);
    OutText(out, " ");
    if (!c.patternRead) {
        OutText(out, "refused");
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
        Row(out, "Stands",
            c.patternRead ? "none: no device matches" : "none: the pattern is refused");
    } else {
        Label(out, "Stands");
        OutChar(out, '#');
        OutDecimal(out, static_cast<DWORD>(c.standing) + 1);
        OutText(out, c.standingStarted ? ", started" : ", not started");
        if (c.payload.DisplayName[0]) {
            OutText(out, ", ");
            OutWrapped(out, c.payload.DisplayName, kValueColumn, Win().IsDBCSLeadByte);
        }
        OutChar(out, '\n');
    }

    if (!adapter) {
        Row(out, "A send carries", sendState ? "1 (Bluetooth on)" : "0 (Bluetooth off)");
    } else if (c.standing >= 0) {
        // A registry key to read, not a value to copy into the settings, and
        // under the network class longer than a line: broken after a "\".
        Row(out, "Name read from", c.nameKey[0] ? c.nameKey : "(no driver key)");
        if (c.nameKey[0])
            IdRow(out, c.nameValue, c.payload.InstanceId[0] ? c.payload.InstanceId : "-");
        if (c.payload.DevicePath[0]) IdRow(out, "Device path", c.payload.DevicePath);
        else Row(out, "Device path", "(cannot be resolved)");
        if (c.payload.DevicePath[0]) {
            Label(out, "Path opens");
            if (!c.standingStarted) OutText(out, "not tried: the adapter is not started\n");
            else if (c.pathOpens) OutText(out, "yes\n");
            else Failure(out, "no", c.pathError);
        }
    }

    if (suggestion.found) IdRow(out, "Suggested pattern", suggestion.pattern);
    else Row(out, "Suggested pattern", suggestion.why);
}

void WarningsSection(const CheckVerdict& v, Out* out) {
    Heading(out, "Warnings");
    if (v.warningCount == 0) OutText(out, "  none\n");
    for (int i = 0; i < v.warningCount; ++i) {
        OutText(out, "  ! ");
        const char* subject = WarningSubject(v.warnings[i]);
        if (subject != nullptr) {
            OutIdentifier(out, subject, 4);
            OutChar(out, ' ');
        }
        char text[kWarningTextCapacity];
        WarningText(v.warnings[i], text);
        OutWrapped(out, text, 4, Win().IsDBCSLeadByte);
        OutChar(out, '\n');
    }
}

}  // namespace

void RenderText(const CheckFacts& f, const CheckVerdict& v, Out* out) {
    OutText(out, "Tolvane check: what the service sees on this machine\n");
    HostSection(f.host, out);
    SettingsSection(f.settings, out);
    ServiceSection(f.service, out);
    HomeSection(f.home, out);
    ClassSection(f.bluetooth, v.bluetooth, false, v.sendState, out);
    ClassSection(f.net, v.net, true, 0, out);
    WarningsSection(v, out);
    OutText(out, "\nResult ");
    OutDecimal(out, static_cast<DWORD>(v.exitCode));
    OutText(out, ": ");
    OutWrapped(out, ExitCodeText(v.exitCode), 2, Win().IsDBCSLeadByte);
    OutChar(out, '\n');
}
