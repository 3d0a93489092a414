#include "radio/event_trail.h"

#include "config/settings.h"
#include "config/text_join.h"
#include "event_messages.h"
#include "platform/win32_api.h"
#include "radio/coordinator.h"
#include "radio/driver_status.h"

namespace {

HANDLE g_log = nullptr;
const char* g_source = "";  // the started name, for the started event
DWORD g_rowStart = 0;        // when the refusals in a row began
DWORD g_rowWritten = 0;      // when that row's last event was written
DWORD g_windowStart = 0;     // when the hour the count below is in began
DWORD g_windowCount = 0;
DWORD g_leftOut = 0;
const DWORD kMaxInserts = 6;

DWORD Now() {
    SYSTEMTIME t;
    Win().GetSystemTime(&t);
    return TrailSeconds(t);
}

// A clock set back counts as no time passed.
DWORD Since(DWORD then, DWORD now) { return now >= then ? now - then : 0; }

// An hour since then, or the clock set back before it (a time zone put
// right at boot, say), which would otherwise hold events back until it
// caught up.
bool HourPassed(DWORD then, DWORD now) { return now < then || now - then >= kEventHourSeconds; }

// One event, unless the hour's share is spent. The window opens with the
// first event after an hour, with the count of those left out before it.
void Write(DWORD now, DWORD id, const char* const* inserts, WORD count) {
    if (HourPassed(g_windowStart, now)) {
        g_windowStart = now;
        g_windowCount = 0;
        if (g_leftOut != 0) {
            char number[kDecimalTextCapacity];
            FormatDecimal(g_leftOut, number);
            const char* left[1] = {number};
            g_leftOut = 0;
            Write(now, EVENT_LEFT_OUT, left, 1);
        }
    }
    if (g_windowCount >= kEventsPerHour) {
        ++g_leftOut;
        return;
    }
    ++g_windowCount;
    // The type follows the message's severity bits.
    static const WORD kTypes[4] = {EVENTLOG_SUCCESS, EVENTLOG_INFORMATION_TYPE,
                                   EVENTLOG_WARNING_TYPE, EVENTLOG_ERROR_TYPE};
    Win().ReportEventA(g_log, kTypes[id >> 30], 0, id, nullptr, count, 0,
                       const_cast<LPCSTR*>(inserts), nullptr);
}

// Numbers as text for the inserts, in the order given.
struct Numbers {
    char text[kMaxInserts][kDecimalTextCapacity];
};
const char* Number(Numbers* n, int i, DWORD value) {
    FormatDecimal(value, n->text[i]);
    return n->text[i];
}

DWORD Seconds(DWORD ms) { return (ms + 999) / 1000; }

}  // namespace

DWORD TrailSeconds(const SYSTEMTIME& t) {
    // Days from 2000-03-01, the year taken from March so the leap day ends it.
    const DWORD y = t.wYear - (t.wMonth <= 2 ? 2001u : 2000u);
    const DWORD m = t.wMonth <= 2 ? t.wMonth + 9u : t.wMonth - 3u;
    const DWORD days = y * 365 + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + t.wDay - 1;
    return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60 + t.wSecond;
}

void OpenEventTrail(const char* source) {
    g_log = nullptr;
    if (source == nullptr || source[0] == '\0') return;
    g_source = source;
    g_log = Win().RegisterEventSourceA(nullptr, source);
}

void CloseEventTrail() {
    if (g_log != nullptr) Win().DeregisterEventSource(g_log);
    g_log = nullptr;
}

void NoteStart(int wifiFound, int wifiStarted) {
    if (g_log == nullptr) return;
    const DWORD now = Now();
    char file[kSettingsPathCapacity];
    Numbers n;
    if (LocateSettingsFile(file) != kSettingsFileNamed) {
        const char* inserts[1] = {file};
        Write(now, EVENT_SETTINGS_OUT_OF_REACH, inserts, 1);
    } else {
        for (int i = 0; i < kRadioClassCount; ++i) {
            if (PatternRead[i]) continue;
            const char* inserts[3] = {kRadioClasses[i].key, file,
                                      Number(&n, i, kPatternCapacity - 1)};
            Write(now, EVENT_SETTING_REFUSED, inserts, 3);
        }
    }
    const char* started[5] = {g_source, Number(&n, 2, static_cast<DWORD>(CoordinatorHostCode)),
                              ProbedPattern[kRadioBluetooth], ProbedPattern[kRadioWifi],
                              wifiStarted ? AdapterPath : "none"};
    Write(now, EVENT_STARTED, started, 5);
    const char* pattern[1] = {ProbedPattern[kRadioWifi]};
    if (!wifiFound) Write(now, EVENT_NO_ADAPTER, pattern, 1);
    if (wifiFound && !wifiStarted) Write(now, EVENT_ADAPTER_NOT_STARTED, pattern, 1);
}

void NoteExchange(int state, const char* adapterPath, const DriverReply& reply,
                  DWORD refusalsBefore, DWORD retryInMs) {
    // An accepted request after none refused, the common case, costs this test.
    if (g_log == nullptr || (reply.step == kDriverAccepted && refusalsBefore == 0)) return;
    const DWORD now = Now();
    Numbers n;
    const char* stateText = Number(&n, 0, static_cast<DWORD>(state));
    if (reply.step == kDriverAccepted) {
        const char* inserts[4] = {stateText, Number(&n, 1, refusalsBefore),
                                  Number(&n, 2, Since(g_rowStart, now)), adapterPath};
        Write(now, EVENT_DRIVER_TOLD, inserts, 4);
        return;
    }
    const char* retry = Number(&n, 1, Seconds(retryInMs));
    const char* error = Number(&n, 2, reply.error);
    if (refusalsBefore == 0) {
        g_rowStart = now;
        g_rowWritten = now;
        if (reply.step == kDriverTimedOut) {
            const char* inserts[5] = {stateText, Number(&n, 3, kRequestBoundMs), adapterPath,
                                      error, retry};
            Write(now, EVENT_DRIVER_TIMED_OUT, inserts, 5);
        } else {
            const char* inserts[5] = {stateText, FailedAtName(reply.step), error, adapterPath,
                                      retry};
            Write(now, EVENT_DRIVER_REFUSED, inserts, 5);
        }
        return;
    }
    if (!HourPassed(g_rowWritten, now)) return;
    g_rowWritten = now;
    const char* inserts[7] = {stateText, Number(&n, 3, refusalsBefore + 1),
                              Number(&n, 4, Since(g_rowStart, now) / 60),
                              FailedAtName(reply.step), error, adapterPath, retry};
    Write(now, EVENT_STILL_REFUSED, inserts, 7);
}

void NoteRetryDropped(DWORD refusals) {
    if (g_log == nullptr) return;
    const DWORD now = Now();
    Numbers n;
    const char* inserts[2] = {Number(&n, 0, refusals), Number(&n, 1, Since(g_rowStart, now))};
    Write(now, EVENT_RETRY_DROPPED, inserts, 2);
}

void ResetEventTrail() {
    g_log = nullptr;
    g_source = "";
    g_rowStart = g_rowWritten = g_windowStart = g_windowCount = g_leftOut = 0;
}
