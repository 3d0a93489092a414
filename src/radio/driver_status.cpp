#include "radio/driver_status.h"

#include <cstring>

#include "config/text_join.h"
#include "platform/win32_api.h"

const char* const kStatusNumberNames[kStatusNumberCount] = {
    "State", "Accepted", "Error", "AcceptedState", "Sent", "Refused", "RetryWaiting"};

namespace {

DWORD g_sent = 0;
DWORD g_refused = 0;
DWORD g_acceptedState = kNoneAccepted;

}  // namespace

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

    char path[kStatusKeyCapacity];
    HKEY key = nullptr;
    if (ServiceName[0] == '\0' || !JoinText(path, sizeof path, kStatusKeyPrefix, ServiceName,
                                            kStatusKeySuffix) ||
        Win().RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;

    const DWORD numbers[kStatusNumberCount] = {
        static_cast<DWORD>(state), static_cast<DWORD>(accepted), reply.error, g_acceptedState,
        g_sent, g_refused, static_cast<DWORD>(retryWaiting)};
    for (int i = 0; i < kStatusNumberCount; ++i)
        Win().RegSetValueExA(key, kStatusNumberNames[i], 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&numbers[i]), sizeof(DWORD));
    SYSTEMTIME now;
    Win().GetSystemTime(&now);
    char time[kStatusTimeCapacity];
    FormatStatusTime(now, time);
    const char* const names[] = {kStatusFailedAt, kStatusAdapter, kStatusTimeUtc};
    const char* const texts[] = {FailedAtName(reply.step), adapterPath, time};
    for (int i = 0; i < 3; ++i)
        Win().RegSetValueExA(key, names[i], 0, REG_SZ, reinterpret_cast<const BYTE*>(texts[i]),
                             static_cast<DWORD>(std::strlen(texts[i]) + 1));
    Win().RegCloseKey(key);
}

void ResetExchangeCounts() {
    g_sent = 0;
    g_refused = 0;
    g_acceptedState = kNoneAccepted;
}
