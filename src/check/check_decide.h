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
const int kCheckAccessDenied = 7;        // the adapter's path is refused to this user
const int kCheckExitCodeCount = 8;
const int kCheckUsageAsked = 0;          // /? prints the usage

// An exit code's stable name ("would-tell", ...) and its meaning.
const char* ExitCodeName(int code);
const char* ExitCodeText(int code);

int CheckExitCode(const CheckFacts& facts);

enum CheckWarningKind {
    kWarnSettingsUnreadable,
    kWarnSettingsPathTooLong,
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

// Room for a warning's text after its subject and a space, terminator included.
const DWORD kWarningTextCapacity = 512;

// A warning kind's stable name ("pattern-lower-case", ...).
const char* WarningName(int kind);
// What a warning's text follows: the pattern's key where it concerns a
// class, the path where it concerns a file or folder, else null.
const char* WarningSubject(const CheckWarning& warning);
// Its text into text (kWarningTextCapacity bytes); the limits it states
// come from the settings' own.
void WarningText(const CheckWarning& warning, char* text);

// The suggested pattern of a class, or why there is none.
struct Suggestion {
    int found;
    char pattern[kPatternCapacity];
    const char* why;  // when none is found
};

// Everything the check decides, once; the renderers only print it.
struct CheckVerdict {
    int exitCode;
    int warningCount;
    CheckWarning warnings[kWarningCapacity];
    Suggestion bluetooth;
    Suggestion net;
    int sendState;  // what a send would carry: 1 when a Bluetooth device stands started
};

void DecideVerdict(const CheckFacts& facts, LeadByteTest isLead, CheckVerdict* verdict);

// The device a user most likely means: the one that stands, else the only
// one present; -1 for none.
long MeantDevice(const ClassFacts& facts);

// The suggested pattern for the device at index among count first hardware
// IDs (upper-cased; null for one that is not valid text and so matches
// nothing): its shortest field that occurs in no other ID, into out
// (kPatternCapacity bytes). Returns 1, or 0 with out empty when no field
// names it alone.
//
// A field is a leading run of the pieces of the ID's device part, the text
// after the enumerator's "\" (all of it when there is no "\"), pieces being
// separated by "&" or "\": at least two pieces when the part has two or
// more, so for USB\VID_0B7C&PID_7B01&REV_0112 the fields are
// VID_0B7C&PID_7B01 and VID_0B7C&PID_7B01&REV_0112. These are the cuts
// Windows makes for a device's less specific hardware IDs; a lone vendor
// ID or bus name would match the next device of that vendor or bus. The
// whole ID, enumerator included, is the last field tried. A field the
// service would refuse as too long is passed over.
int SuggestPattern(const char* const* ids, DWORD count, DWORD index, LeadByteTest isLead,
                   char* out);

// SuggestPattern for the device MeantDevice names, among the class's
// present devices. 0 when there is none or some are not listed.
int SuggestedPattern(const ClassFacts& facts, LeadByteTest isLead, char* out);

// What a host code stands for.
const char* HostCodeName(int code);

// A service state as a word ("running", ...).
const char* ServiceStateName(DWORD state);

// A failure action's type as a word ("restart", ...).
const char* RecoveryActionName(DWORD type);
