// The /json report: the plain report's facts under stable key names (listed
// in docs/running.md, "/json keys"). Numbers that are codes are strings in hex ("0xFFF10220");
// the rest, errors included, are unsigned.
#include <cstring>

#include "check/check_decide.h"
#include "check/json_writer.h"
#include "platform/win32_api.h"

namespace {

// Codes as the plain report shows them.
void JsonHex(JsonWriter* w, const char* key, DWORD value) {
    char text[kHexTextCapacity];
    FormatHex(value, text);
    JsonString(w, key, text);
}

const CodeWord kLookupNames[] = {
    {kDeviceFound, "found"},
    {kDeviceNotFound, "not-found"},
    {kNoDeviceList, "no-device-list"},
    {kClassUnresolved, "class-unresolved"},
};

void HostObject(JsonWriter* w, const HostFacts& h, const MachineFacts& m) {
    JsonBeginObject(w, "host");
    JsonBool(w, "versionRead", h.versionRead != 0);
    JsonNumber(w, "major", h.version.major);
    JsonNumber(w, "minor", h.version.minor);
    JsonNumber(w, "build", h.version.build);
    JsonNumber(w, "platformId", h.version.platformId);
    JsonNumber(w, "productType", h.version.productType);
    JsonNumber(w, "hostCode", static_cast<DWORD>(h.code));
    JsonString(w, "hostName", HostCodeName(h.code));
    JsonBool(w, "amd64", h.amd64);
    JsonBool(w, "wow64", h.wow64);
    JsonBool(w, "wow64Known", h.wow64Known);
    JsonString(w, "nativeMachine", MachineName(m.native));
    JsonString(w, "nativeMachineFrom", m.source == kMachineFromIsWow64Process2
                                           ? "IsWow64Process2"
                                           : "GetNativeSystemInfo");
    JsonHex(w, "requestCode", h.requestCode);
    JsonHex(w, "baseCode", h.baseCode);
    JsonBool(w, "valueInHeapBlock", h.heapBlock != 0);
    JsonBool(w, "elevated", h.elevated != 0);
    JsonBool(w, "administrator", h.administrator != 0);
    JsonEndObject(w);
}

// A file version as "1.0.0.0", or null when unread.
void VersionString(JsonWriter* w, const char* key, const FileVersionFacts& f) {
    char text[kVersionTextCapacity];
    FormatVersion(f.parts, text);
    JsonString(w, key, f.read ? text : nullptr);
}

// The start every object shares: its shape's version and this program's.
void JsonHead(JsonWriter* w, Out* out, const FileVersionFacts& check) {
    JsonStart(w, out, Win().MultiByteToWideChar);
    JsonBeginObject(w, nullptr);
    JsonNumber(w, "schemaVersion", kJsonSchemaVersion);
    VersionString(w, "checkVersion", check);
}

// The exe the service is registered with: its file version against this program's.
void ExeVersionMembers(JsonWriter* w, const VersionFacts& v) {
    VersionString(w, "exeVersion", v.serviceExe);
    JsonNumber(w, "exeVersionError", v.serviceExe.error);
    JsonBool(w, "exeVersionDiffers", VersionsDiffer(v));
}

void SettingsObject(JsonWriter* w, const SettingsFacts& s) {
    JsonBeginObject(w, "settings");
    JsonString(w, "exePath", s.exePath[0] ? s.exePath : nullptr);
    JsonBool(w, "exeSpelled", s.located != kSettingsExeUnspelled);
    JsonString(w, "file", s.file[0] ? s.file : nullptr);
    JsonBool(w, "fileInReach", s.located == kSettingsFileNamed);
    JsonBool(w, "exists", s.fileExists != 0);
    JsonBool(w, "readable", s.fileOpens != 0);
    JsonNumber(w, "fileError", s.fileError);
    JsonBeginArray(w, "keys");
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingFacts& k = s.keys[i];
        JsonBeginObject(w, nullptr);
        JsonString(w, "section", kSettingRules[i].section);
        JsonString(w, "key", kSettingRules[i].key);
        JsonString(w, "value", k.read && !s.refused ? k.value : nullptr);
        JsonString(w, "source", s.refused ? "unknown" : k.fromFile ? "file" : "default");
        JsonBool(w, "refused", k.read == 0);
        JsonNumber(w, "maxLength", kSettingRules[i].capacity - 1);
        JsonEndObject(w);
    }
    JsonEndArray(w);
    JsonString(w, "serviceName", s.nameDerived ? s.serviceName : nullptr);
    JsonEndObject(w);
}

void ServiceObject(JsonWriter* w, const CheckFacts& facts, bool recoveryAsInstalled) {
    const ServiceFacts& f = facts.service;
    JsonBeginObject(w, "service");
    JsonBool(w, "managerOpened", f.managerOpened != 0);
    // False also when it cannot be told: openError says which.
    JsonBool(w, "registered", f.registered != 0);
    JsonBool(w, "markedForDelete", f.markedForDelete != 0);
    JsonString(w, "state", f.registered && !f.statusError ? ServiceStateName(f.state) : nullptr);
    JsonString(w, "imagePath", f.configRead ? f.imagePath : nullptr);
    JsonBool(w, "besideSettings", f.besideSettings != 0);
    ExeVersionMembers(w, facts.versions);
    JsonString(w, "settingsFile", f.settingsFile[0] ? f.settingsFile : nullptr);
    if (!f.recoveryRead) {
        JsonNull(w, "recovery");
    } else {
        JsonBeginObject(w, "recovery");
        JsonBool(w, "asInstalled", recoveryAsInstalled);
        if (f.recoveryResetSeconds == INFINITE) JsonNull(w, "resetSeconds");
        else JsonNumber(w, "resetSeconds", f.recoveryResetSeconds);
        // The list keeps the first kRecoveryActionCapacity.
        JsonNumber(w, "actionCount", f.recoveryActionCount);
        JsonBeginArray(w, "actions");
        for (DWORD i = 0; i < f.recoveryActionCount && i < kRecoveryActionCapacity; ++i) {
            JsonBeginObject(w, nullptr);
            JsonString(w, "type", RecoveryActionName(f.recoveryActions[i].Type));
            JsonNumber(w, "delayMs", f.recoveryActions[i].Delay);
            JsonEndObject(w);
        }
        JsonEndArray(w);
        JsonEndObject(w);
    }
    if (!f.privileges.read) {
        JsonNull(w, "requiredPrivileges");
        JsonNull(w, "requiredPrivilegeCount");
    } else {
        // Empty when none is asked for: the service then has all of LocalSystem's.
        JsonBeginArray(w, "requiredPrivileges");
        const char* name = f.privileges.names;
        for (DWORD i = 0; i < f.privileges.kept; name += std::strlen(name) + 1, ++i)
            JsonString(w, nullptr, name);
        JsonEndArray(w);
        JsonNumber(w, "requiredPrivilegeCount", f.privileges.count);
    }
    JsonBool(w, "eventSourceRegistered", f.eventSourceRead != 0);
    JsonString(w, "eventMessageFile", f.eventSourceRead ? f.eventMessageFile : nullptr);
    JsonNumber(w, "eventSourceError", f.eventSourceError);
    JsonBool(w, "displayNameTaken", f.displayNameTaken != 0);
    JsonString(w, "displayNameOwner", f.displayNameOwner[0] ? f.displayNameOwner : nullptr);
    JsonNumber(w, "managerError", f.managerError);
    JsonNumber(w, "openError", f.openError);
    JsonNumber(w, "statusError", f.statusError);
    JsonNumber(w, "configError", f.configError);
    JsonNumber(w, "recoveryError", f.recoveryError);
    JsonEndObject(w);
}

const CodeWord kRetryNames[] = {
    {kRetryWaiting, "waiting"},
    {kRetryNoneNow, "none-now"},
    {kRetryNone, "none-waiting"},
};

const CodeWord kAccessNames[] = {
    {kAccessTrusted, "administrators-only"},
    {kAccessNoList, "no-access-list"},
    {kAccessOthers, "others-may-change"},
};

void HomeMember(JsonWriter* w, const char* key, const HomeObject& o) {
    JsonBeginObject(w, key);
    JsonString(w, "path", o.path[0] ? o.path : nullptr);
    // Its owner may change it whatever its list says.
    JsonString(w, "access", o.byOwner ? "owned-by-others" : WordOf(kAccessNames, o.access, nullptr));
    JsonString(w, "account", o.access == kAccessOthers ? o.account : nullptr);
    JsonNumber(w, "error", o.error);
    JsonEndObject(w);
}

void HomeJson(JsonWriter* w, const HomeFacts& h) {
    JsonBeginObject(w, "home");
    const char* const keys[kHomeParent + 1] = {"exe", "folder", "settingsFile", "folderAbove"};
    for (int i = 0; i <= kHomeParent; ++i) HomeMember(w, keys[i], h.objects[i]);
    // Every folder above judged, nearest first, up to the root.
    JsonBeginArray(w, "foldersAbove");
    for (int i = kHomeParent; i < h.count; ++i) HomeMember(w, nullptr, h.objects[i]);
    JsonEndArray(w);
    JsonNumber(w, "foldersAboveNotJudged", h.aboveNotJudged);
    JsonEndObject(w);
}

void ClassObject(JsonWriter* w, const char* name, const ClassFacts& c, const ClassVerdict& v) {
    JsonBeginObject(w, name);
    JsonString(w, "class", c.className);
    JsonString(w, "key", c.key);
    JsonString(w, "pattern", c.patternRead ? c.pattern : nullptr);
    JsonBool(w, "patternRefused", c.patternRead == 0 && !c.patternUnknown);
    JsonString(w, "lookup", WordOf(kLookupNames, c.lookup, "pattern-refused"));
    JsonNumber(w, "present", c.present);
    JsonNumber(w, "matches", c.matches);
    JsonBeginArray(w, "devices");
    for (DWORD i = 0; i < c.present && i < kListedDeviceCapacity; ++i) {
        const ListedDevice& d = c.devices[i];
        JsonBeginObject(w, nullptr);
        JsonString(w, "hardwareId", d.valid ? d.hardwareId : nullptr);
        JsonBool(w, "matched", d.matched != 0);
        JsonBool(w, "started", d.started != 0);
        JsonBool(w, "stands", static_cast<long>(i) == c.standing);
        JsonEndObject(w);
    }
    JsonEndArray(w);
    if (c.standing < 0) {
        JsonNull(w, "standing");
    } else {
        JsonBeginObject(w, "standing");
        JsonNumber(w, "index", static_cast<DWORD>(c.standing));
        JsonBool(w, "started", c.standingStarted != 0);
        JsonString(w, "name", c.payload.DisplayName);
        if (v.sendState < 0) {
            JsonString(w, "nameKey", c.nameKey[0] ? c.nameKey : nullptr);
            JsonString(w, "nameValue", c.nameKey[0] ? c.nameValue : nullptr);
            JsonString(w, "netCfgInstanceId",
                       c.payload.InstanceId[0] ? c.payload.InstanceId : nullptr);
            JsonString(w, "devicePath", c.payload.DevicePath[0] ? c.payload.DevicePath : nullptr);
            JsonBool(w, "pathOpens", c.pathOpens != 0);
            JsonNumber(w, "pathError", c.pathError);
        }
        JsonEndObject(w);
    }
    // Unknown while the pattern is: the file is refused to this user.
    if (v.sendState >= 0 && c.patternUnknown) JsonNull(w, "sendState");
    else if (v.sendState >= 0) JsonNumber(w, "sendState", static_cast<DWORD>(v.sendState));
    JsonString(w, "suggestedPattern", v.why ? nullptr : v.pattern);
    JsonEndObject(w);
}

void LastRequestObject(JsonWriter* w, const CheckFacts& f, const CheckVerdict& v) {
    const LastRequestFacts& r = f.lastRequest;
    JsonString(w, "lastRequestKept", r.read                          ? "whole"
                                     : !r.named                       ? "unknown"
                                     : v.recordUnfinished             ? "incomplete"
                                     : r.beingWritten                 ? "being-written"
                                     : r.incompleteAt != nullptr      ? "incomplete"
                                     : r.error == ERROR_FILE_NOT_FOUND ? "none"
                                                                       : "unreadable");
    if (!r.read) return JsonNull(w, "lastRequest");
    const bool accepted = r.numbers[kStatusAccepted] != 0;
    const DWORD held = r.numbers[kStatusAcceptedState];
    JsonBeginObject(w, "lastRequest");
    JsonNumber(w, "state", r.numbers[kStatusState]);
    JsonString(w, "adapter", r.adapter[0] ? r.adapter : nullptr);
    JsonString(w, "timeUtc", r.timeUtc);
    JsonString(w, "timeLocal", r.timeLocal[0] ? r.timeLocal : nullptr);
    JsonBool(w, "accepted", accepted);
    JsonString(w, "failedAt", accepted ? nullptr : r.failedAt);
    JsonNumber(w, "error", r.numbers[kStatusError]);
    JsonString(w, "errorName", WindowsErrorName(r.numbers[kStatusError]));
    if (held == kNoneAccepted) JsonNull(w, "acceptedState");
    else JsonNumber(w, "acceptedState", held);
    JsonNumber(w, "sent", r.numbers[kStatusSent]);
    JsonNumber(w, "refused", r.numbers[kStatusRefused]);
    JsonBool(w, "retryWaiting", v.retry == kRetryWaiting);
    JsonString(w, "retry", WordOf(kRetryNames, v.retry, nullptr));
    JsonString(w, "retryUtc", r.retryUtc[0] ? r.retryUtc : nullptr);
    JsonString(w, "retryLocal", r.retryLocal[0] ? r.retryLocal : nullptr);
    JsonBool(w, "fromLastRun", v.fromLastRun != 0);
    JsonEndObject(w);
}

}  // namespace

void RenderJson(const CheckFacts& f, const CheckVerdict& v, Out* out) {
    JsonWriter writer;
    JsonWriter* w = &writer;
    JsonHead(w, out, f.versions.check);
    JsonNumber(w, "exitCode", static_cast<DWORD>(v.exitCode));
    JsonString(w, "result", ExitCodeName(v.exitCode));
    HostObject(w, f.host, f.machine);
    SettingsObject(w, f.settings);
    ServiceObject(w, f, v.recoveryAsInstalled != 0);
    HomeJson(w, f.home);
    ClassObject(w, "bluetooth", f.bluetooth, v.bluetooth);
    ClassObject(w, "net", f.net, v.net);
    LastRequestObject(w, f, v);

    JsonBeginArray(w, "warnings");
    for (int i = 0; i < v.warningCount; ++i) {
        char text[kWarningTextCapacity];
        WarningText(v.warnings[i], text);
        JsonBeginObject(w, nullptr);
        JsonString(w, "id", WarningName(v.warnings[i].kind));
        JsonString(w, "key", v.warnings[i].about ? v.warnings[i].about->key : nullptr);
        JsonString(w, "text", text);
        JsonEndObject(w);
    }
    JsonEndArray(w);
    JsonEndObject(w);
}

void RenderJsonRefusal(const FileVersionFacts& check, const char* option, Out* out) {
    JsonWriter writer;
    JsonHead(&writer, out, check);
    JsonNumber(&writer, "exitCode", static_cast<DWORD>(kCheckUnknownOption));
    JsonString(&writer, "result", ExitCodeName(kCheckUnknownOption));
    JsonString(&writer, "unknownOption", option);
    JsonEndObject(&writer);
}
