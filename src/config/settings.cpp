#include "config/settings.h"

#include <cstdio>
#include <cstring>

#include "platform/win32_api.h"

char ServiceName[kServiceNameCapacity];

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

int ReadSetting(const char* section, const char* key, const char* def, char* dest,
                DWORD capacity) {
    char exePath[kSettingsExePathCapacity];
    char iniPath[kSettingsPathCapacity];
    char value[kSettingValueCapacity];
    value[0] = '\0';
    if (def == nullptr) def = "";

    // A path that did not fit comes back as the whole buffer, cut (and on
    // some systems unterminated). The cut text could name another file, so
    // only a complete path is used; otherwise the default stands.
    DWORD pathLength = Win().GetModuleFileNameA(nullptr, exePath, sizeof exePath);
    if (pathLength > 0 && pathLength < sizeof exePath &&
        SettingsPathFromExePath(exePath, iniPath, sizeof iniPath)) {
        Win().GetPrivateProfileStringA(section, key, def, value, sizeof value, iniPath);
    } else {
        std::snprintf(value, sizeof value, "%s", def);
    }
    value[sizeof value - 1] = '\0';

    if (capacity == 0) return 0;
    size_t length = std::strlen(value);
    if (length + 1 > capacity) {
        // Refused, not cut: a cut pattern or model would name something else.
        dest[0] = '\0';
        return 0;
    }
    std::memcpy(dest, value, length + 1);
    return 1;
}

int DeriveServiceName() {
    char model[kModelCapacity];
    ServiceName[0] = '\0';
    if (!ReadSetting(kSectionProduct, kKeyModel, kDefaultModel, model, sizeof model)) return 0;
    int written = std::snprintf(ServiceName, sizeof ServiceName, "Tolvane_%s", model);
    if (written < 0 || static_cast<DWORD>(written) >= sizeof ServiceName) {
        // Too long: a cut name could be another model's service.
        ServiceName[0] = '\0';
        return 0;
    }
    return 1;
}
