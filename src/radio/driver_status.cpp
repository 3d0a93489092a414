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
const int kStatusValueCount = kStatusNumberCount + kStatusTextCount;
struct WrittenValue {
    DWORD size;
    BYTE data[kDevicePathSlot];  // the longest value: an adapter path
};
WrittenValue g_written[kStatusValueCount];
// The last Sequence set: odd before a record's values, even after them.
DWORD g_sequence = 0;

struct StatusValue {
    const char* name;
    DWORD type;
    const void* data;
    DWORD size;
};

bool Unchanged(const StatusValue& v, const WrittenValue& written) {
    return written.size == v.size && std::memcmp(written.data, v.data, v.size) == 0;
}

void SetIfChanged(HKEY key, const StatusValue& v, WrittenValue* written) {
    if (Unchanged(v, *written)) return;
    written->size = 0;
    if (v.size > sizeof written->data ||
        Win().RegSetValueExA(key, v.name, 0, v.type, static_cast<const BYTE*>(v.data), v.size) !=
            ERROR_SUCCESS)
        return;
    std::memcpy(written->data, v.data, v.size);
    written->size = v.size;
}

LONG SetSequence(HKEY key) {
    ++g_sequence;
    return Win().RegSetValueExA(key, kStatusSequence, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&g_sequence), sizeof g_sequence);
}

// The values that changed, between an odd Sequence and the next even one,
// so that a reader can tell a finished record from one being written. When
// the odd one cannot be set, nothing is.
void WriteRecord(HKEY key, const StatusValue* values) {
    int i = 0;
    while (i < kStatusValueCount && Unchanged(values[i], g_written[i])) ++i;
    if (i == kStatusValueCount) return;
    if (g_sequence % 2 == 0 && SetSequence(key) != ERROR_SUCCESS) {
        --g_sequence;
        return;
    }
    for (; i < kStatusValueCount; ++i) SetIfChanged(key, values[i], &g_written[i]);
    if (SetSequence(key) != ERROR_SUCCESS) --g_sequence;
}

// The started service's own key, opened with `sam` to add or remove its
// Status key; null when there is none to open.
HKEY OpenServiceKey(REGSAM sam) {
    char path[kStartedServiceKeyCapacity];
    HKEY key = nullptr;
    if (!ServiceKeyPath(g_service, path) ||
        Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

}  // namespace

void BeginStatus(const char* serviceName) {
    if (serviceName == nullptr || !JoinText(g_service, sizeof g_service, serviceName))
        g_service[0] = '\0';
    std::memset(g_written, 0, sizeof g_written);
    g_sequence = 0;
    // The rights a removal with subkeys asks of the key it is given, and the
    // right to change values, which it asks of a key that has some (the
    // service's own does).
    HKEY service =
        OpenServiceKey(DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE);
    const LONG removed = service == nullptr ? ERROR_ACCESS_DENIED
                                            : Win().RegDeleteTreeA(service, kStatusSubKey);
    if (service != nullptr) Win().RegCloseKey(service);
    // A key that stays would be reused as it is, perhaps not volatile:
    // nothing is written then.
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) g_service[0] = '\0';
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

int ServiceKeyPath(const char* serviceName, char* path) {
    path[0] = '\0';
    return serviceName[0] != '\0' &&
           JoinText(path, kStartedServiceKeyCapacity, kServicesKey, "\\", serviceName);
}

int StatusKeyPath(const char* serviceName, char* path) {
    char service[kStartedServiceKeyCapacity];
    path[0] = '\0';
    return ServiceKeyPath(serviceName, service) &&
           JoinText(path, kStatusKeyCapacity, service, "\\", kStatusSubKey);
}

int ParseStatusTime(const char* text, SYSTEMTIME* t) {
    WORD fields[6] = {};
    // The shape's terminator is compared too: nothing may follow.
    for (DWORD i = 0, field = 0; i < kStatusTimeCapacity; ++i) {
        const char c = text[i];
        if (kStatusTimeShape[i] == '0' && c >= '0' && c <= '9')
            fields[field] = static_cast<WORD>(fields[field] * 10 + (c - '0'));
        else if (kStatusTimeShape[i] == c) ++field;
        else return 0;
    }
    std::memset(t, 0, sizeof *t);
    WORD* const out[] = {&t->wYear, &t->wMonth, &t->wDay, &t->wHour, &t->wMinute, &t->wSecond};
    for (int i = 0; i < 6; ++i) *out[i] = fields[i];
    return 1;
}

const char* FailedAtName(int step) {
    static const char* const kNames[] = {"", "no-path", "open", "control", "timed-out"};
    return kNames[step];
}

void AddSeconds(SYSTEMTIME* t, DWORD seconds) {
    DWORD total = t->wSecond + t->wMinute * 60u + t->wHour * 3600u + seconds;
    DWORD days = total / 86400;
    total %= 86400;
    t->wHour = static_cast<WORD>(total / 3600);
    t->wMinute = static_cast<WORD>(total / 60 % 60);
    t->wSecond = static_cast<WORD>(total % 60);
    for (; days > 0; --days) {
        const int y = t->wYear;
        const int leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        static const WORD kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const WORD length = static_cast<WORD>(kDays[(t->wMonth + 11) % 12] + (t->wMonth == 2 && leap));
        if (++t->wDay <= length) continue;
        t->wDay = 1;
        if (++t->wMonth > 12) {
            t->wMonth = 1;
            ++t->wYear;
        }
    }
    t->wDayOfWeek = 0;
    t->wMilliseconds = 0;
}

namespace {

// Creates or opens the Status key to set values; null when it cannot.
HKEY OpenStatusKey() {
    HKEY service = OpenServiceKey(KEY_CREATE_SUB_KEY);
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LONG made = service == nullptr
                          ? ERROR_FILE_NOT_FOUND
                          : Win().RegCreateKeyExA(service, kStatusSubKey, 0, nullptr,
                                                  REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                                                  &key, &disposition);
    if (service != nullptr) Win().RegCloseKey(service);
    if (made != ERROR_SUCCESS) return nullptr;
    // A key made anew gets every value, after an odd Sequence of its own.
    if (disposition != REG_OPENED_EXISTING_KEY) {
        std::memset(g_written, 0, sizeof g_written);
        g_sequence += g_sequence % 2;
    }
    return key;
}

const char* const kTextNames[kStatusTextCount] = {kStatusFailedAt, kStatusAdapter, kStatusTimeUtc,
                                                  kStatusRetryUtc};

StatusValue Number(int i, const DWORD* number) {
    return StatusValue{kStatusNumberNames[i], REG_DWORD, number, sizeof(DWORD)};
}

StatusValue Text(int i, const char* text) {
    return StatusValue{kTextNames[i], REG_SZ, text, static_cast<DWORD>(std::strlen(text) + 1)};
}

}  // namespace

void RecordExchange(int state, const char* adapterPath, const DriverReply& reply,
                    int retryWaiting, DWORD retryInMs) {
    const int accepted = reply.step == kDriverAccepted;
    if (reply.step != kDriverNoPath) {
        ++g_sent;
        if (!accepted) ++g_refused;
    }
    if (accepted) g_acceptedState = static_cast<DWORD>(state);

    HKEY key = OpenStatusKey();
    if (key == nullptr) return;
    SYSTEMTIME now;
    Win().GetSystemTime(&now);
    char time[kStatusTimeCapacity];
    FormatStatusTime(now, time);
    char retry[kStatusTimeCapacity] = "";
    if (retryInMs != 0) {
        // To the second after it: never announced earlier than it comes.
        AddSeconds(&now, (retryInMs + now.wMilliseconds + 999) / 1000);
        FormatStatusTime(now, retry);
    }
    const DWORD numbers[kStatusNumberCount] = {
        static_cast<DWORD>(state), static_cast<DWORD>(accepted), reply.error, g_acceptedState,
        g_sent, g_refused, static_cast<DWORD>(retryWaiting)};
    const char* const texts[kStatusTextCount] = {FailedAtName(reply.step), adapterPath, time,
                                                 retry};
    StatusValue values[kStatusValueCount];
    for (int i = 0; i < kStatusNumberCount; ++i) values[i] = Number(i, &numbers[i]);
    for (int i = 0; i < kStatusTextCount; ++i) values[kStatusNumberCount + i] = Text(i, texts[i]);
    WriteRecord(key, values);
    Win().RegCloseKey(key);
}

void RecordRetryDropped() {
    HKEY key = OpenStatusKey();
    if (key == nullptr) return;
    // The rest of the record as it stands: only these two change.
    StatusValue values[kStatusValueCount];
    const DWORD none = 0;
    for (int i = 0; i < kStatusValueCount; ++i) {
        const WrittenValue& w = g_written[i];
        values[i] = i < kStatusNumberCount
                        ? StatusValue{kStatusNumberNames[i], REG_DWORD, w.data, w.size}
                        : StatusValue{kTextNames[i - kStatusNumberCount], REG_SZ, w.data, w.size};
    }
    values[kStatusRetryWaiting] = Number(kStatusRetryWaiting, &none);
    values[kStatusNumberCount + kStatusTextCount - 1] = Text(kStatusTextCount - 1, "");
    WriteRecord(key, values);
    Win().RegCloseKey(key);
}

void ResetExchangeCounts() {
    g_service[0] = '\0';
    g_sequence = 0;
    g_sent = 0;
    g_refused = 0;
    g_acceptedState = kNoneAccepted;
    std::memset(g_written, 0, sizeof g_written);
}
