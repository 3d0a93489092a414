// The check tool's decisions: plain functions of the gathered facts.
#pragma once

#include <windows.h>

#include "check/check_facts.h"
#include "devices/device_text.h"

// Exit codes: 0 when the service would tell a driver, otherwise the first
// missing link.
const int kCheckWouldTell = 0;
const int kCheckNoSettings = 1;          // unreadable or out of reach, or WiFiHWID refused
const int kCheckNoAdapterMatch = 2;
const int kCheckAdapterNotStarted = 3;
const int kCheckPathUnresolved = 4;
const int kCheckPathDoesNotOpen = 5;
const int kCheckUnknownOption = 6;       // the usage is printed
const int kCheckAccessDenied = 7;        // the settings or the adapter's path refused, not elevated
                                         // (elevated: no-settings, path-does-not-open)
const int kCheckDriverRefused = 8;       // a refused state waits for the next device event
const int kCheckExitCodeCount = 9;
const int kCheckUsageAsked = 0;          // /? prints the usage

// An exit code's stable name ("would-tell", ...) and its meaning.
const char* ExitCodeName(int code);
const char* ExitCodeText(int code);

int CheckExitCode(const CheckFacts& facts);

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
    kWarnHomeWritable,
    kWarnKindCount
};

struct CheckWarning {
    int kind;
    const ClassFacts* about;  // the class whose pattern or adapter it concerns; null for none
    const HomeObject* home;   // the file or folder others may change; null for none
};

// Each kind at most once per class, so this many at most.
const int kWarningCapacity = kWarnKindCount * 2;

// The warnings the facts call for, in the report's order. Returns the count.
int CollectWarnings(const CheckFacts& facts, CheckWarning* warnings);

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

// What the check decides about one class.
struct ClassVerdict {
    const char* why;  // why no pattern is suggested; null when one is
    char pattern[kPatternCapacity];
    int sendState;  // Bluetooth: 1 when a device stands started; -1 for Net
    int refusedToAdministrator;  // the adapter's path refused though elevated
};

// Everything the check decides, once; the renderers only print it.
struct CheckVerdict {
    int exitCode;
    int warningCount;
    CheckWarning warnings[kWarningCapacity];
    ClassVerdict bluetooth;
    ClassVerdict net;
    int recoveryAsInstalled;  // the failure actions are the ones /install sets
};

void DecideVerdict(const CheckFacts& facts, LeadByteTest isLead, CheckVerdict* verdict);

// The device a user most likely means: the one that stands, else the only
// one present; -1 for none.
long MeantDevice(const ClassFacts& facts);

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

// SuggestPattern for the device MeantDevice names, among the class's
// present devices: null, or why there is none (out then empty).
const char* SuggestedPattern(const ClassFacts& facts, LeadByteTest isLead, char* out);

// What a host code stands for.
const char* HostCodeName(int code);

// A service state as a word ("running", ...).
const char* ServiceStateName(DWORD state);

// A failure action's type as a word ("restart", ...).
const char* RecoveryActionName(DWORD type);
