#include "radio/driver_status.h"

#include <cstring>

#include "config/text_join.h"
#include "devices/device_record.h"
#include "platform/win32_api.h"

const char* const kStatusNumberNames[kStatusNumberCount] = {
    "State", "Accepted", "Error", "AcceptedState", "Sent", "Refused", "RetryWaiting"};

namespace {

// The started service's name; empty: nothing is written.
char g_service[kServiceKeyNameCapacity];
DWORD g_sent = 0;
DWORD g_refused = 0;
DWORD g_acceptedState = kNoneAccepted;

// Each value as last set in the key, so that a request sets only what
// changed (as a rule the state, the counts and the time); a key made anew
// gets them all. Size 0: not known to be in the key.
const int kStatusValueCount = kStatusNumberCount + 3;
struct WrittenValue {
    DWORD size;
    BYTE data[kDevicePathSlot];  // the longest value: an adapter path
};
WrittenValue g_written[kStatusValueCount];

void SetIfChanged(HKEY key, const char* name, DWORD type, const void* data, DWORD size,
                  WrittenValue* written) {
    if (written->size == size && std::memcmp(written->data, data, size) == 0) return;
    written->size = 0;
    if (size > sizeof written->data ||
        Win().RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size) !=
            ERROR_SUCCESS)
        return;
    std::memcpy(written->data, data, size);
    written->size = size;
}

// The started service's own key, opened to add or remove its Status key;
// null when there is none to open.
HKEY OpenServiceKey() {
    char path[kStartedServiceKeyCapacity];
    HKEY key = nullptr;
    if (g_service[0] == '\0' || !JoinText(path, sizeof path, kServicesKey, "\\", g_service) ||
        Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_CREATE_SUB_KEY, &key) !=
            ERROR_SUCCESS)
        return nullptr;
    return key;
}

}  // namespace

void BeginStatus(const char* serviceName) {
    if (serviceName == nullptr || !JoinText(g_service, sizeof g_service, serviceName))
        g_service[0] = '\0';
    std::memset(g_written, 0, sizeof g_written);
    HKEY service = OpenServiceKey();
    if (service == nullptr) return;
    Win().RegDeleteKeyA(service, kStatusSubKey);
    Win().RegCloseKey(service);
}

void FormatStatusTime(const SYSTEMTIME& t, char* text) {
    std::memcpy(text, kStatusTimeShape, kStatusTimeCapacity);
    const WORD fields[] = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
    // The year's four digits end at 4, each later field's two 3 further on.
    for (int i = 0; i < 6; ++i) {
        unsigned value = fields[i];
        for (int at = 3 * i + 3, first = i ? at - 1 : 0; at >= first; --at, value /= 10)
            text[at] = static_cast<char>('0' + value % 10);
    }
}

const char* FailedAtName(int step) {
    static const char* const kNames[] = {"", "no-path", "open", "control"};
    return kNames[step];
}

void RecordExchange(int state, const char* adapterPath, const DriverReply& reply,
                    int retryWaiting) {
    const int accepted = reply.step == kDriverAccepted;
    if (reply.step != kDriverNoPath) {
        ++g_sent;
        if (!accepted) ++g_refused;
    }
    if (accepted) g_acceptedState = static_cast<DWORD>(state);

    HKEY service = OpenServiceKey();
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LONG made = service == nullptr
                          ? ERROR_FILE_NOT_FOUND
                          : Win().RegCreateKeyExA(service, kStatusSubKey, 0, nullptr,
                                                  REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                                                  &key, &disposition);
    if (service != nullptr) Win().RegCloseKey(service);
    if (made != ERROR_SUCCESS) return;
    if (disposition != REG_OPENED_EXISTING_KEY) std::memset(g_written, 0, sizeof g_written);

    const DWORD numbers[kStatusNumberCount] = {
        static_cast<DWORD>(state), static_cast<DWORD>(accepted), reply.error, g_acceptedState,
        g_sent, g_refused, static_cast<DWORD>(retryWaiting)};
    for (int i = 0; i < kStatusNumberCount; ++i)
        SetIfChanged(key, kStatusNumberNames[i], REG_DWORD, &numbers[i], sizeof(DWORD),
                     &g_written[i]);
    SYSTEMTIME now;
    Win().GetSystemTime(&now);
    char time[kStatusTimeCapacity];
    FormatStatusTime(now, time);
    const char* const names[] = {kStatusFailedAt, kStatusAdapter, kStatusTimeUtc};
    const char* const texts[] = {FailedAtName(reply.step), adapterPath, time};
    for (int i = 0; i < 3; ++i)
        SetIfChanged(key, names[i], REG_SZ, texts[i], static_cast<DWORD>(std::strlen(texts[i]) + 1),
                     &g_written[kStatusNumberCount + i]);
    Win().RegCloseKey(key);
}

void ResetExchangeCounts() {
    g_service[0] = '\0';
    g_sent = 0;
    g_refused = 0;
    g_acceptedState = kNoneAccepted;
    std::memset(g_written, 0, sizeof g_written);
}
