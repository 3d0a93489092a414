#include "config/settings.h"

#include <cstdio>
#include <cstring>

#include "platform/win32_api.h"

char ServiceName[kServiceNameCapacity];

namespace {
// The profile read yields at most this many characters.
const DWORD kValueCapacity = 256;
}  // namespace

int SettingsPathFromExePath(const char* exePath, char* out, DWORD capacity) {
    size_t length = std::strlen(exePath);
    // Only a "." in the file name itself marks the extension.
    size_t cut = length;
    for (size_t i = length; i > 0; --i) {
        char c = exePath[i - 1];
        if (c == '\\' || c == '/' || c == ':') break;
        if (c == '.') {
            cut = i;  // just after the "."
            break;
        }
    }
    const char* suffix = cut == length ? ".ini" : "ini";
    if (cut + std::strlen(suffix) + 1 > capacity) return 0;
    std::memcpy(out, exePath, cut);
    std::strcpy(out + cut, suffix);
    return 1;
}

int ReadSetting(const char* section, const char* key, const char* def, char* dest,
                DWORD capacity) {
    char exePath[kSettingsExePathCapacity];
    char iniPath[kSettingsExePathCapacity + 4];
    char value[kValueCapacity];

    DWORD length = Win().GetModuleFileNameA(nullptr, exePath, sizeof exePath);
    if (length == 0 || length >= sizeof exePath ||
        !SettingsPathFromExePath(exePath, iniPath, sizeof iniPath)) {
        // A cut path could name another file: read nothing and take the default.
        iniPath[0] = '\0';
    }

    if (iniPath[0] != '\0') {
        Win().GetPrivateProfileStringA(section, key, def, value, sizeof value, iniPath);
    } else {
        std::snprintf(value, sizeof value, "%s", def);
    }

    size_t n = std::strlen(value);
    if (n + 1 > capacity) {
        dest[0] = '\0';
        return 0;
    }
    std::memcpy(dest, value, n + 1);
    return 1;
}

int DeriveServiceName() {
    char model[kModelCapacity];
    ServiceName[0] = '\0';
    if (!ReadSetting("Product", "Model", "QM5520", model, sizeof model)) return 0;
    int n = std::snprintf(ServiceName, sizeof ServiceName, "Tolvane_%s", model);
    if (n < 0 || static_cast<DWORD>(n) >= sizeof ServiceName) {
        ServiceName[0] = '\0';
        return 0;
    }
    return 1;
}
