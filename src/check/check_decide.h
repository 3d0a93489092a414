// The check tool's decisions: plain functions of the gathered facts.
#pragma once

#include <windows.h>

#include "check/check_facts.h"
#include "check/text_out.h"
#include "devices/device_text.h"

// A code and its word: every code-to-word table is a list of these, read by
// WordOf, which gives fallback for a code the table lacks.
struct CodeWord {
    long code;
    const char* word;
};
const char* WordOf(const CodeWord* table, DWORD count, long code, const char* fallback);
template <DWORD N>
const char* WordOf(const CodeWord (&table)[N], long code, const char* fallback) {
    return WordOf(table, N, code, fallback);
}

// Exit codes: 0 when the service runs and would tell a driver, otherwise
// the first missing link of the chain settings, adapter, device path,
// service registered, service running, driver's last answer. The service's
// links come after the devices': the fixes for those (a pattern, the
// adapter, its driver) take effect when the service starts, so starting it
// is the last thing an administrator does.
const int kCheckWouldTell = 0;
const int kCheckNoSettings = 1;          // unreadable or out of reach, or WiFiHWID refused
const int kCheckNoAdapterMatch = 2;
const int kCheckAdapterNotStarted = 3;
const int kCheckPathUnresolved = 4;
const int kCheckPathDoesNotOpen = 5;
const int kCheckUnknownOption = 6;       // the usage is printed
const int kCheckAccessDenied = 7;        // the settings, the adapter's path or the service's
                                         // query refused, not elevated (elevated:
                                         // no-settings, path-does-not-open)
const int kCheckDriverRefused = 8;       // a refused state waits for its retry
const int kCheckServiceNotRegistered = 9;  // or marked for deletion, or Model names none
const int kCheckServiceNotRunning = 10;  // stopped, starting, stopping or paused
const int kCheckExitCodeCount = 11;
const int kCheckUsageAsked = 0;          // /? prints the usage

// An exit code's stable name ("would-tell", ...) and its meaning.
const char* ExitCodeName(int code);
const char* ExitCodeText(int code);

enum CheckWarningKind {
    kWarnSettingsUnreadable,
    kWarnExeFolderUnspelled,
    kWarnSettingsPathTooLong,
    kWarnSettingsAccessDenied,
    kWarnSettingsRefusedElevated,
    kWarnSettingsUtf8Mark,
    kWarnServiceNameRefused,
    kWarnServiceAccessDenied,
    kWarnServiceElsewhere,
    kWarnDisplayNameInUse,
    kWarnPatternRefused,
    kWarnPatternLowerCase,
    kWarnEmptyPatternMatchesSeveral,
    kWarnSeveralMatches,
    kWarnPathUnresolved,
    kWarnPathDoesNotOpen,
    kWarnPathAccessDenied,
    kWarnPathRefusedToAdministrator,
    kWarnRequestElsewhere,
    kWarnPrivilegesNotLimited,
    kWarnEventSourceMissing,
    kWarnEventSourceElsewhere,
    kWarnHomeWritable,
    kWarnVersionDiffers,
    kWarnKindCount
};

struct CheckWarning {
    int kind;
    const ClassFacts* about;  // the class whose pattern or adapter it concerns; null for none
    const HomeObject* home;   // the file or folder others may change; null for none
};

// Each kind at most once per class, and the home's once per file or folder.
const int kWarningCapacity = kWarnKindCount * 2 + kHomeCount;

// Room for a warning's text, its subject and a space included, terminator included.
const DWORD kWarningTextCapacity = kSettingsPathCapacity + 400;

// A warning kind's stable name ("pattern-lower-case", ...).
const char* WarningName(int kind);
// The warning as both reports show it into text (kWarningTextCapacity
// bytes): its subject and a space where it has one (the pattern's key where
// it concerns a class, the path where it concerns a file or folder), then its text.
void WarningText(const CheckWarning& warning, char* text, bool withSubject = true);
// That subject, or null for none.
const char* WarningSubject(const CheckWarning& warning);

// How far the adapter WiFiHWID names gets on the way to a send: the first
// missing link, or kAdapterOpens. The exit code and the adapter's warning
// are read from it.
enum AdapterStep {
    kAdapterNotSought,  // the pattern is refused or unknown
    kAdapterNoMatch,
    kAdapterNotStarted,
    kAdapterPathUnresolved,
    kAdapterDoesNotOpen,
    kAdapterRefusedToUser,           // access denied, and the check is not elevated
    kAdapterRefusedElevated,         // access denied, elevated outside Administrators
    kAdapterRefusedToAdministrator,  // access denied to a member of Administrators
    kAdapterOpens,
    kAdapterStepCount
};

// The last request's refused state: sent again at the next device event;
// no longer the Bluetooth state; or none refused.
enum RetryState { kRetryWaiting, kRetryNoneNow, kRetryNone };

// What the check decides about one class.
struct ClassVerdict {
    const char* why;  // why no pattern is suggested; null when one is
    char pattern[kPatternCapacity];
    int sendState;  // Bluetooth: 1 when a device stands started; -1 for Net
    int adapter;    // Net: an AdapterStep
};

// Everything the check decides, once; the renderers only print it.
struct CheckVerdict {
    int exitCode;
    int warningCount;
    CheckWarning warnings[kWarningCapacity];
    ClassVerdict bluetooth;
    ClassVerdict net;
    int recoveryAsInstalled;  // the failure actions are the ones /install sets
    int retry;                // a RetryState; kRetryNone without a status
    int fromLastRun;          // the service is not running: the status is its last run's
    // The status was being written at each reading, and the service is
    // stopped: its record was begun and never finished.
    int recordUnfinished;
};

void DecideVerdict(const CheckFacts& facts, LeadByteTest isLead, CheckVerdict* verdict);

// The two reports of the same facts and verdict: plain text for a person at
// an 80-column console, and one JSON object for inventory scripts.
void RenderText(const CheckFacts& facts, const CheckVerdict& verdict, Out* out);
void RenderJson(const CheckFacts& facts, const CheckVerdict& verdict, Out* out);
// The object a /json run writes when its command line holds an option the
// check does not know: the same schema, its exit code and that option.
void RenderJsonRefusal(const FileVersionFacts& check, const char* option, Out* out);

// The /json object's shape, as docs/check-json.schema.json states it: one
// more whenever a key is added, removed or given another type.
const DWORD kJsonSchemaVersion = 2;

// The suggested pattern for the device at index among count first hardware
// IDs (upper-cased; null for one that is not valid text): its shortest
// field that occurs in no other ID, into out (kPatternCapacity bytes).
// Returns 1, or 0 with out empty. A field is a leading run of the "&"- or
// "\"-separated pieces after the enumerator's "\", two pieces at least
// when there are two (USB\VID_0B7C&PID_7B01&REV_0112 gives VID_0B7C&PID_7B01
// and all three): the cuts Windows makes for less specific hardware IDs. The
// whole ID is tried last; a field too long for a pattern is passed over.
int SuggestPattern(const char* const* ids, DWORD count, DWORD index, LeadByteTest isLead,
                   char* out);

// SuggestPattern for the device a user most likely means, among the class's
// present devices (the one that stands, else the only one): null, or why
// there is none (out then empty).
const char* SuggestedPattern(const ClassFacts& facts, LeadByteTest isLead, char* out);

// What a host code stands for.
const char* HostCodeName(int code);

// A service state as a word ("running", ...).
const char* ServiceStateName(DWORD state);

// A failure action's type as a word ("restart", ...).
const char* RecoveryActionName(DWORD type);

// A Windows error's symbolic name ("ERROR_GEN_FAILURE"), or null.
const char* WindowsErrorName(DWORD error);
