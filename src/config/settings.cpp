#include "config/settings.h"

#include <cstring>

#include "config/text_join.h"
#include "platform/win32_api.h"

char ServiceName[kServiceNameCapacity];

namespace {
const char* g_settingsExeName = nullptr;  // null: this exe's own settings
}  // namespace

int SettingsPathFromExePath(const char* exePath, char* out, DWORD capacity) {
    size_t length = std::strlen(exePath);
    // Only a "." in the file name itself marks the extension; the scan stops
    // at the first separator so a dotted folder is never cut.
    size_t cut = length;
    bool hasDot = false;
    for (size_t i = length; i > 0 && !hasDot; --i) {
        char c = exePath[i - 1];
        if (c == '\\' || c == '/' || c == ':') break;
        if (c == '.') {
            cut = i;  // just after the "."
            hasDot = true;
        }
    }
    const char* suffix = hasDot ? "ini" : ".ini";
    size_t suffixLength = std::strlen(suffix);
    if (cut + suffixLength + 1 > capacity) return 0;
    std::memcpy(out, exePath, cut);
    std::memcpy(out + cut, suffix, suffixLength + 1);
    return 1;
}

int ReadExePath(char* path) {
    // A path that does not fit comes back as the whole buffer, cut (and on
    // some systems unterminated).
    DWORD length = Win().GetModuleFileNameA(nullptr, path, kExePathCapacity);
    if (length == 0 || length >= kExePathCapacity) {
        path[0] = '\0';
        return 0;
    }
    path[length] = '\0';
    return 1;
}

void ReadSettingsOf(const char* exeName) { g_settingsExeName = exeName; }

int SettingsExePath(char* path) {
    if (!ReadExePath(path)) return 0;
    if (g_settingsExeName == nullptr) return 1;
    // The named exe replaces this one's file name, in the same folder.
    char own[kExePathCapacity];
    std::memcpy(own, path, std::strlen(path) + 1);
    size_t folder = std::strlen(own);
    for (; folder > 0; --folder) {
        const char c = own[folder - 1];
        if (c == '\\' || c == '/' || c == ':') break;
    }
    own[folder] = '\0';
    return JoinText(path, kExePathCapacity, own, g_settingsExeName);
}

int LocateSettingsFile(char* path) {
    char exePath[kExePathCapacity];
    if (!SettingsExePath(exePath) ||
        !SettingsPathFromExePath(exePath, path, kSettingsPathCapacity)) {
        path[0] = '\0';
        return kSettingsExeUnread;
    }
    if (std::strlen(path) + 1 > kSettingsFileReach) return kSettingsFileOutOfReach;
    return kSettingsFileNamed;
}

int SettingsFilePath(char* path) {
    if (LocateSettingsFile(path) == kSettingsFileNamed) return 1;
    path[0] = '\0';
    return 0;
}

int ReadSetting(const char* section, const char* key, const char* def, char* dest,
                DWORD capacity) {
    char iniPath[kSettingsPathCapacity];
    char value[kSettingValueCapacity];
    if (capacity == 0) return 0;
    dest[0] = '\0';
    if (def == nullptr) def = "";

    if (!SettingsFilePath(iniPath)) return 0;
    value[0] = '\0';
    Win().GetPrivateProfileStringA(section, key, def, value, sizeof value, iniPath);
    value[sizeof value - 1] = '\0';

    // Refused, not cut: a cut pattern or model would name something else.
    return JoinText(dest, capacity, value);
}

int DeriveServiceName() {
    char model[kModelCapacity];
    ServiceName[0] = '\0';
    if (!ReadSetting(kSectionProduct, kKeyModel, kDefaultModel, model, sizeof model)) return 0;
    // Too long, it is left empty: a cut name could be another model's service.
    return JoinText(ServiceName, sizeof ServiceName, kServiceNamePrefix, model);
}

// The description's room is larger than anything the profile read yields:
// it is cut to 255 characters there, never refused.
const SettingRule kSettingRules[kSettingCount] = {
    {kSectionProduct, kKeyModel, kDefaultModel, kModelCapacity},
    {kSectionProduct, kKeyDisplayName, kDefaultDisplayName, kDisplayNameCapacity},
    {kSectionProduct, kKeyDescription, kDefaultDescription, kSettingValueCapacity},
    {kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, kPatternCapacity},
    {kSectionSettings, kKeyWifiPattern, kDefaultPattern, kPatternCapacity},
};

static_assert(kModelCapacity <= kSettingValueCapacity &&
                  kDisplayNameCapacity <= kSettingValueCapacity &&
                  kPatternCapacity <= kSettingValueCapacity,
              "every value the service reads fits a value's slot");
static_assert(kDescriptionCapacity >= kSettingValueCapacity, "the description is never refused");
