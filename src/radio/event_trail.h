// The service's trail in the Application log: a few events that explain
// its life, under the source its install registers, with the message
// table built into the exe (event_messages.mc). Never on the path of an
// accepted request: only a start, a refusal, its end and a dropped retry
// write. A write that fails changes nothing.
#pragma once

#include <windows.h>

#include "radio/driver_request.h"

// At most kEventsPerHour events in an hour that opens with the first of
// them; those beyond are counted, and the count is written with the first
// event of the next hour.
const DWORD kEventHourSeconds = 3600;
const DWORD kEventsPerHour = 20;
// A refusal that goes on writes once, then at most once an hour too.

// Opens the source of that name on this machine; without one (a null or
// empty name, or a failure) nothing is written. The name is kept for the
// started event: the service entry's, valid while it runs.
void OpenEventTrail(const char* source);
void CloseEventTrail();

// At start, after the probes: the settings file out of reach or a pattern
// refused, the started event, and no adapter or one not started.
void NoteStart(int wifiFound, int wifiStarted);

// A request that reached the driver or was refused by it, with the
// refusals in a row before it and, if refused, when it is sent again.
void NoteExchange(int state, const char* adapterPath, const DriverReply& reply,
                  DWORD refusalsBefore, DWORD retryInMs);

// A refused state no longer sent again: nothing is left to tell.
void NoteRetryDropped(DWORD refusals);

// Seconds from 2000-03-01 for a UTC time from then on (Gregorian).
DWORD TrailSeconds(const SYSTEMTIME& t);

// Back to the process-start state (tests).
void ResetEventTrail();
