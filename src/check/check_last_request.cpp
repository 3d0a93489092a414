#include "check/check_last_request.h"

#include <cstring>

#include "check/check_facts.h"
#include "config/text_join.h"
#include "platform/win32_api.h"

namespace {

// Errors a driver request plausibly ends with.
struct ErrorName {
    DWORD error;
    const char* name;
};
const ErrorName kErrorNames[] = {
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_NOT_READY, "ERROR_NOT_READY"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
    {ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},
    {ERROR_BUSY, "ERROR_BUSY"},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
    {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
    {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
    {ERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER"},
};

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
void LocalTime(const char* utc, char* localText) {
    localText[0] = '\0';
    WORD fields[6] = {};
    int field = 0;
    for (int i = 0; kStatusTimeShape[i] != '\0'; ++i) {
        const char c = utc[i];
        if (kStatusTimeShape[i] != '0') {
            if (c != kStatusTimeShape[i]) return;
            ++field;
        } else if (c >= '0' && c <= '9') {
            fields[field] = static_cast<WORD>(fields[field] * 10 + (c - '0'));
        } else {
            return;
        }
    }
    if (utc[kStatusTimeCapacity - 1] != '\0') return;
    SYSTEMTIME t = {};
    t.wYear = fields[0];
    t.wMonth = fields[1];
    t.wDay = fields[2];
    t.wHour = fields[3];
    t.wMinute = fields[4];
    t.wSecond = fields[5];
    // By the zone's rules for that date: daylight saving as it was then.
    SYSTEMTIME local = {};
    if (Win().SystemTimeToTzSpecificLocalTime(nullptr, &t, &local))
        FormatStatusTime(local, localText);
}

}  // namespace

void GatherLastRequest(const char* serviceName, LastRequestFacts* f) {
    std::memset(f, 0, sizeof *f);
    char service[kStartedServiceKeyCapacity];
    char path[kStatusKeyCapacity];
    HKEY key = nullptr;
    f->error = ERROR_FILE_NOT_FOUND;
    if (serviceName[0] == '\0' ||
        !JoinText(service, sizeof service, kServicesKey, "\\", serviceName) ||
        !JoinText(path, sizeof path, service, "\\", kStatusSubKey))
        return;
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

int WouldSendState(const CheckFacts& f) {
    return f.bluetooth.standing >= 0 && f.bluetooth.standingStarted ? 1 : 0;
}

int RefusalWaiting(const CheckFacts& f) {
    const LastRequestFacts& r = f.lastRequest;
    return r.read && r.numbers[kStatusRetryWaiting] == 1 &&
           r.numbers[kStatusState] == static_cast<DWORD>(WouldSendState(f));
}

int RequestElsewhere(const CheckFacts& f) {
    const LastRequestFacts& r = f.lastRequest;
    return r.read && f.net.standing >= 0 && f.net.standingStarted &&
           f.net.payload.DevicePath[0] != '\0' && std::strcmp(r.adapter, f.net.payload.DevicePath);
}

int StatusFromLastRun(const CheckFacts& f) {
    return !f.service.registered || f.service.state != SERVICE_RUNNING;
}

const char* WindowsErrorName(DWORD error) {
    for (const ErrorName& e : kErrorNames)
        if (e.error == error) return e.name;
    return nullptr;
}
