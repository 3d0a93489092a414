// The /json report: the plain report's facts under stable key names (listed
// in README.md). Numbers that are codes are strings in hex ("0xFFF10220").
#include <cstring>

#include "check/check_decide.h"
#include "check/check_render.h"
#include "check/json_writer.h"
#include "config/text_join.h"
#include "platform/win32_api.h"

namespace {

// Codes as the plain report shows them.
void JsonHex(JsonWriter* w, const char* key, DWORD value) {
    char text[kHexTextCapacity];
    FormatHex(value, text);
    JsonString(w, key, text);
}

const char* LookupName(int lookup) {
    switch (lookup) {
        case kDeviceFound: return "found";
        case kDeviceNotFound: return "not-found";
        case kNoDeviceList: return "no-device-list";
        case kClassUnresolved: return "class-unresolved";
        default: return "pattern-refused";
    }
}

void HostObject(JsonWriter* w, const HostFacts& h) {
    JsonBeginObject(w, "host");
    JsonBool(w, "versionRead", h.versionRead != 0);
    JsonNumber(w, "major", static_cast<long>(h.version.major));
    JsonNumber(w, "minor", static_cast<long>(h.version.minor));
    JsonNumber(w, "build", static_cast<long>(h.version.build));
    JsonNumber(w, "platformId", static_cast<long>(h.version.platformId));
    JsonNumber(w, "productType", h.version.productType);
    JsonNumber(w, "hostCode", h.code);
    JsonString(w, "hostName", HostCodeName(h.code));
    JsonBool(w, "amd64", h.amd64);
    JsonBool(w, "wow64", h.wow64);
    JsonBool(w, "wow64Known", h.wow64Known);
    JsonHex(w, "requestCode", h.requestCode);
    JsonHex(w, "baseCode", h.baseCode);
    JsonBool(w, "valueInHeapBlock", h.heapBlock != 0);
    JsonEndObject(w);
}

void SettingsObject(JsonWriter* w, const SettingsFacts& s) {
    JsonBeginObject(w, "settings");
    JsonString(w, "file", s.file[0] ? s.file : nullptr);
    JsonBool(w, "fileInReach", s.located == kSettingsFileNamed);
    JsonBool(w, "exists", s.fileExists != 0);
    JsonNumber(w, "fileError", static_cast<long>(s.fileError));
    JsonBeginArray(w, "keys");
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingFacts& k = s.keys[i];
        JsonBeginObject(w, nullptr);
        JsonString(w, "section", kSettingRules[i].section);
        JsonString(w, "key", kSettingRules[i].key);
        JsonString(w, "value", k.read ? k.value : nullptr);
        JsonString(w, "source", k.fromFile ? "file" : "default");
        JsonBool(w, "refused", k.read == 0);
        JsonNumber(w, "maxLength", static_cast<long>(kSettingRules[i].capacity - 1));
        JsonEndObject(w);
    }
    JsonEndArray(w);
    JsonString(w, "serviceName", s.nameDerived ? s.serviceName : nullptr);
    JsonEndObject(w);
}

void ServiceObject(JsonWriter* w, const ServiceFacts& f) {
    JsonBeginObject(w, "service");
    JsonBool(w, "managerOpened", f.managerOpened != 0);
    // False also when it cannot be told: openError says which.
    JsonBool(w, "registered", f.registered != 0);
    JsonString(w, "state", f.registered && !f.statusError ? ServiceStateName(f.state) : nullptr);
    JsonString(w, "imagePath", f.configRead ? f.imagePath : nullptr);
    JsonBool(w, "besideSettings", f.besideSettings != 0);
    JsonString(w, "settingsFile", f.settingsFile[0] ? f.settingsFile : nullptr);
    if (!f.recoveryRead) {
        JsonNull(w, "recovery");
    } else {
        JsonBeginObject(w, "recovery");
        if (f.recoveryResetSeconds == INFINITE) JsonNull(w, "resetSeconds");
        else JsonNumber(w, "resetSeconds", static_cast<long>(f.recoveryResetSeconds));
        JsonBeginArray(w, "actions");
        for (DWORD i = 0; i < f.recoveryActionCount && i < kRecoveryActionCapacity; ++i) {
            JsonBeginObject(w, nullptr);
            JsonString(w, "type", RecoveryActionName(f.recoveryActions[i].Type));
            JsonNumber(w, "delayMs", static_cast<long>(f.recoveryActions[i].Delay));
            JsonEndObject(w);
        }
        JsonEndArray(w);
        JsonEndObject(w);
    }
    if (!f.privileges.read) {
        JsonNull(w, "requiredPrivileges");
    } else {
        // Empty when none is asked for: the service then has all of LocalSystem's.
        JsonBeginArray(w, "requiredPrivileges");
        const char* name = f.privileges.names;
        for (DWORD i = 0; i < f.privileges.kept; name += std::strlen(name) + 1, ++i)
            JsonString(w, nullptr, name);
        JsonEndArray(w);
        JsonNumber(w, "requiredPrivilegeCount", static_cast<long>(f.privileges.count));
    }
    JsonString(w, "displayNameOwner", f.displayNameOwner[0] ? f.displayNameOwner : nullptr);
    JsonNumber(w, "managerError", static_cast<long>(f.managerError));
    JsonNumber(w, "openError", static_cast<long>(f.openError));
    JsonNumber(w, "statusError", static_cast<long>(f.statusError));
    JsonNumber(w, "configError", static_cast<long>(f.configError));
    JsonEndObject(w);
}

const char* AccessName(int access) {
    switch (access) {
        case kAccessTrusted: return "administrators-only";
        case kAccessNoList: return "no-access-list";
        case kAccessOthers: return "others-may-change";
        default: return nullptr;
    }
}

void HomeJson(JsonWriter* w, const HomeFacts& h) {
    JsonBeginObject(w, "home");
    const char* const keys[kHomeCount] = {"exe", "folder", "settingsFile"};
    for (int i = 0; i < kHomeCount; ++i) {
        const HomeObject& o = h.objects[i];
        JsonBeginObject(w, keys[i]);
        JsonString(w, "path", o.path[0] ? o.path : nullptr);
        JsonString(w, "access", AccessName(o.access));
        JsonString(w, "account", o.access == kAccessOthers ? o.account : nullptr);
        JsonNumber(w, "error", static_cast<long>(o.error));
        JsonEndObject(w);
    }
    JsonEndObject(w);
}

// sendState is written for Bluetooth only (adapter false).
void ClassObject(JsonWriter* w, const char* name, const ClassFacts& c, const Suggestion& suggestion,
                 bool adapter, int sendState) {
    JsonBeginObject(w, name);
    JsonString(w, "class", c.className);
    JsonString(w, "key", c.key);
    JsonString(w, "pattern", c.patternRead ? c.pattern : nullptr);
    JsonBool(w, "patternRefused", c.patternRead == 0);
    JsonString(w, "lookup", LookupName(c.lookup));
    JsonNumber(w, "present", static_cast<long>(c.present));
    JsonNumber(w, "matches", static_cast<long>(c.matches));
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
        JsonNumber(w, "index", c.standing);
        JsonBool(w, "started", c.standingStarted != 0);
        JsonString(w, "name", c.payload.DisplayName);
        if (adapter) {
            JsonString(w, "nameKey", c.nameKey[0] ? c.nameKey : nullptr);
            JsonString(w, "nameValue", c.nameKey[0] ? c.nameValue : nullptr);
            JsonString(w, "netCfgInstanceId",
                       c.payload.InstanceId[0] ? c.payload.InstanceId : nullptr);
            JsonString(w, "devicePath", c.payload.DevicePath[0] ? c.payload.DevicePath : nullptr);
            JsonBool(w, "pathOpens", c.pathOpens != 0);
            JsonNumber(w, "pathError", static_cast<long>(c.pathError));
        }
        JsonEndObject(w);
    }
    if (!adapter) JsonNumber(w, "sendState", sendState);
    JsonString(w, "suggestedPattern", suggestion.found ? suggestion.pattern : nullptr);
    JsonEndObject(w);
}

}  // namespace

void RenderJson(const CheckFacts& f, const CheckVerdict& v, Out* out) {
    JsonWriter writer;
    JsonWriter* w = &writer;
    JsonStart(w, out, Win().IsDBCSLeadByte, Win().MultiByteToWideChar);
    JsonBeginObject(w, nullptr);
    JsonNumber(w, "exitCode", v.exitCode);
    JsonString(w, "result", ExitCodeName(v.exitCode));
    HostObject(w, f.host);
    SettingsObject(w, f.settings);
    ServiceObject(w, f.service);
    HomeJson(w, f.home);
    ClassObject(w, "bluetooth", f.bluetooth, v.bluetooth, false, v.sendState);
    ClassObject(w, "net", f.net, v.net, true, 0);

    JsonBeginArray(w, "warnings");
    for (int i = 0; i < v.warningCount; ++i) {
        const char* key = v.warnings[i].about ? v.warnings[i].about->key : nullptr;
        const char* subject = WarningSubject(v.warnings[i]);
        char body[kWarningTextCapacity];
        WarningText(v.warnings[i], body);
        char text[kWarningTextCapacity + kSettingsPathCapacity];
        JoinText(text, sizeof text, subject ? subject : "", subject ? " " : "", body);
        JsonBeginObject(w, nullptr);
        JsonString(w, "id", WarningName(v.warnings[i].kind));
        JsonString(w, "key", key);
        JsonString(w, "text", text);
        JsonEndObject(w);
    }
    JsonEndArray(w);
    JsonEndObject(w);
}
