#include "check/check_last_request.h"

#include <cstring>

#include "platform/win32_api.h"

namespace {

// One value of the expected type; a string must fit with its terminator.
LONG ReadValue(HKEY key, const char* name, DWORD type, void* data, DWORD capacity) {
    DWORD got = 0;
    DWORD size = capacity;
    const LONG result =
        Win().RegQueryValueExA(key, name, nullptr, &got, static_cast<BYTE*>(data), &size);
    if (result != ERROR_SUCCESS) return result;
    const char* text = static_cast<const char*>(data);
    const bool whole = type == REG_DWORD ? size == sizeof(DWORD) : size > 0 && !text[size - 1];
    return got == type && whole ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

// TimeUtc moved to local time into local; empty when it is not a time.
void LocalTime(const char* utc, char* local) {
    local[0] = '\0';
    SYSTEMTIME t;
    SYSTEMTIME localTime = {};
    // By the zone's rules for that date: daylight saving as it was then.
    if (ParseStatusTime(utc, &t) &&
        Win().SystemTimeToTzSpecificLocalTime(nullptr, &t, &localTime))
        FormatStatusTime(localTime, local);
}

}  // namespace

void GatherLastRequest(const char* serviceName, LastRequestFacts* f) {
    std::memset(f, 0, sizeof *f);
    char path[kStatusKeyCapacity];
    HKEY key = nullptr;
    f->error = ERROR_FILE_NOT_FOUND;
    if (!StatusKeyPath(serviceName, path)) return;
    f->error = static_cast<DWORD>(
        Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key));
    if (f->error != ERROR_SUCCESS) return;
    struct Wanted {
        const char* name;
        DWORD type;
        void* data;
        DWORD capacity;
    };
    const Wanted kText[] = {{kStatusFailedAt, REG_SZ, f->failedAt, sizeof f->failedAt},
                            {kStatusAdapter, REG_SZ, f->adapter, sizeof f->adapter},
                            {kStatusTimeUtc, REG_SZ, f->timeUtc, sizeof f->timeUtc}};
    LONG result = ERROR_SUCCESS;
    for (int i = 0; i < kStatusNumberCount + 3 && result == ERROR_SUCCESS; ++i) {
        const Wanted w = i < kStatusNumberCount
                             ? Wanted{kStatusNumberNames[i], REG_DWORD, &f->numbers[i], sizeof(DWORD)}
                             : kText[i - kStatusNumberCount];
        result = ReadValue(key, w.name, w.type, w.data, w.capacity);
        // The key is there: a value it lacks makes it incomplete, not absent.
        if (result != ERROR_SUCCESS) f->incompleteAt = w.name;
    }
    Win().RegCloseKey(key);
    f->error = static_cast<DWORD>(result);
    f->read = result == ERROR_SUCCESS;
    if (f->read) LocalTime(f->timeUtc, f->timeLocal);
}
