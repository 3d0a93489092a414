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

DWORD ExeFolderLength(const char* path) {
    DWORD end = 0;
    for (DWORD i = 0; path[i] != '\0';) {
        if (path[i] == '\\') end = i + 1;
        i += Win().IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0' ? 2 : 1;
    }
    return end;
}

int ReadExePath(char* path) {
    // Not GetModuleFileNameA: it gives a character the code page lacks as
    // "?" or a best-fit look-alike, a path that names no file or another
    // folder's. The UTF-16 path is converted here with neither, and refused
    // when the code page cannot spell it.
    WCHAR wide[kExePathCapacity];
    BOOL lacking = FALSE;
    const StrictAnsi to = StrictAnsiFor(Win().GetACP());
    // A path that does not fit comes back cut, the whole size reported.
    const DWORD units = Win().GetModuleFileNameW(nullptr, wide, kExePathCapacity);
    const bool whole = units > 0 && units < kExePathCapacity;
    const int bytes =
        !whole ? 0
               : Win().WideCharToMultiByte(to.codePage, to.flags, wide, static_cast<int>(units),
                                           path, kExePathCapacity - 1, nullptr,
                                           to.checksLack ? &lacking : nullptr);
    if (!to.checksLack && whole && bytes == 0 &&
        Win().GetLastError() == ERROR_NO_UNICODE_TRANSLATION)
        lacking = TRUE;
    path[bytes > 0 && !lacking ? bytes : 0] = '\0';
    if (lacking) return kExePathUnspelled;
    return bytes > 0 ? kExePathRead : kExePathUnread;
}

void ReadSettingsOf(const char* exeName) { g_settingsExeName = exeName; }

int SettingsExePath(char* path) {
    const int read = ReadExePath(path);
    if (read != kExePathRead || g_settingsExeName == nullptr) return read;
    // The named exe replaces this one's file name, in the same folder.
    char own[kExePathCapacity];
    std::memcpy(own, path, std::strlen(path) + 1);
    own[ExeFolderLength(own)] = '\0';
    return JoinText(path, kExePathCapacity, own, g_settingsExeName) ? kExePathRead
                                                                    : kExePathUnread;
}

int LocateSettingsFile(char* path) {
    char exePath[kExePathCapacity];
    const int read = SettingsExePath(exePath);
    if (read != kExePathRead || !SettingsPathFromExePath(exePath, path, kSettingsPathCapacity)) {
        path[0] = '\0';
        return read == kExePathUnspelled ? kSettingsExeUnspelled : kSettingsExeUnread;
    }
    // Windows measures the path in UTF-16 characters, terminator included.
    const int units = Win().MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (units <= 0 || static_cast<DWORD>(units) > kSettingsFileReach)
        return kSettingsFileOutOfReach;
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
    return FormServiceName(ServiceName, model);
}

