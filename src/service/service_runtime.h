// The service's life under the service control manager: the service entry,
// the control handler and the status it reports.
#pragma once

#include <windows.h>

#include "radio/driver_request.h"

// Stop, shutdown and power events.
const DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT;

// The stop-pending report's wait hint: a retry with the drivers may hold the
// rule lock for two requests (to two adapters), each bounded with its
// cancel, and the probes and status writes around them.
const DWORD kStopWaitHintMs = 2 * (kRequestBoundMs + kCancelBoundMs) + 3000;

// The retry's timer fires once, on a pool thread its callback may hold for
// the requests' bounds.
const ULONG kRetryTimerFlags = WT_EXECUTEONLYONCE | WT_EXECUTELONGFUNCTION;

// Recipient is a service status handle; every device interface class.
const DWORD kDeviceNotifyFlags = DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;

// The volume interface class. With the all-classes flag the system ignores
// it, but the filter must still name a class.
const GUID kNotifyFilterClass = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Readies the lock and the runtime state. The process entry calls it on the
// main thread before the dispatcher starts any other thread.
void InitServiceRuntime();

// The service entry in the service table. The first argument is the name
// the manager started the service by; the status is kept under its key.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

// The extended control handler ServiceMain registers.
DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The state last reported (SERVICE_START_PENDING until the running report).
DWORD ServiceCurrentState();
