// The service's last exchange with the Wi-Fi driver, kept for an
// administrator in a volatile key under the service's own key: gone at the
// next restart of Windows and with the service's key, never on disk. The
// service only writes it; no rule reads it back. The check tool reads it.
#pragma once

#include <windows.h>

#include "config/settings.h"
#include "radio/driver_request.h"

// A service's key name, the longest the manager allows and its terminator.
const DWORD kServiceKeyNameCapacity = 257;

// HKEY_LOCAL_MACHINE\<kServicesKey>\<service name>\<kStatusSubKey>
const char kStatusSubKey[] = "Status";
const DWORD kStartedServiceKeyCapacity = sizeof kServicesKey + kServiceKeyNameCapacity;
const DWORD kStatusKeyCapacity = kStartedServiceKeyCapacity + sizeof kStatusSubKey;

// The named service's own key under HKEY_LOCAL_MACHINE into path
// (kStartedServiceKeyCapacity bytes), and its Status key (kStatusKeyCapacity
// bytes). Each returns 1, or 0 with path empty when there is no name or it
// does not fit.
int ServiceKeyPath(const char* serviceName, char* path);
int StatusKeyPath(const char* serviceName, char* path);

// The key's values, names stable (docs/running.md lists them). REG_DWORD ones, in
// the order of StatusNumbers' fields:
enum StatusNumber {
    kStatusState,          // the state last sent, 0 or 1
    kStatusAccepted,       // 1 when the driver accepted it
    kStatusError,          // Windows' error at the failed step; 0 when accepted
    kStatusAcceptedState,  // the state the driver last accepted; kNoneAccepted before any
    kStatusSent,           // requests sent since the service started
    kStatusRefused,        // of those, refused
    kStatusRetryWaiting,   // 1: the refused state is sent again (RetryUtc, or a coming event)
    kStatusNumberCount
};
extern const char* const kStatusNumberNames[kStatusNumberCount];
// REG_SZ ones:
const char kStatusFailedAt[] = "FailedAt";  // "", "no-path", "open", "control" or "timed-out"
const char kStatusAdapter[] = "Adapter";    // the adapter path the request was aimed at
const char kStatusTimeUtc[] = "TimeUtc";    // "YYYY-MM-DD hh:mm:ss", UTC
const char kStatusRetryUtc[] = "RetryUtc";  // when the refused state is sent again; "" if not timed
const int kStatusTextCount = 4;
// REG_DWORD, set before a record's values (odd) and after them (even): a
// reader that finds it odd, or changed by the end of its reading, read a
// record being written.
const char kStatusSequence[] = "Sequence";

const DWORD kNoneAccepted = 0xFFFFFFFF;
// TimeUtc's shape: a 0 stands for a digit.
const char kStatusTimeShape[] = "0000-00-00 00:00:00";
// Room for the longest FailedAt text and for the time, terminator included.
const DWORD kFailedAtCapacity = 10;
const DWORD kStatusTimeCapacity = sizeof kStatusTimeShape;

// "YYYY-MM-DD hh:mm:ss" into text (kStatusTimeCapacity bytes), and back:
// ParseStatusTime returns 1, or 0 when text is not of that shape.
void FormatStatusTime(const SYSTEMTIME& t, char* text);
int ParseStatusTime(const char* text, SYSTEMTIME* t);

// t moved on by seconds, across days, months and years (Gregorian).
void AddSeconds(SYSTEMTIME* t, DWORD seconds);

// FailedAt's text for a DriverStep.
const char* FailedAtName(int step);

// Names the service whose key holds the status: the one the control
// manager started, by the name it passes to the service entry (null or too
// long: none, and nothing is written). Its key is only ever opened, never
// made: after Model is edited the settings name another service, whose key
// a write must not create. A Status key an earlier run left (or one made
// by hand, which may outlive restarts) is removed, so the key always speaks
// of the run that wrote it; one that cannot be removed whole is not
// reused, and nothing is written.
void BeginStatus(const char* serviceName);

// Notes one exchange: the state, the adapter path it was aimed at, the
// driver's reply, whether the refused state waits to be sent again and, if
// by itself, in how many milliseconds (0: at a coming event). Counts the
// requests sent and refused. A failure to write changes nothing.
void RecordExchange(int state, const char* adapterPath, const DriverReply& reply,
                    int retryWaiting, DWORD retryInMs);

// Notes that the retry announced is no longer due: nothing was left to tell.
void RecordRetryDropped();

// Back to the process-start counts (tests).
void ResetExchangeCounts();
