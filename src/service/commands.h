// The four commands by which the exe manages its own registration with the
// service control manager. Each prints one line on success, nothing on
// failure, and returns 1 or a negative code.
#pragma once

#include <windows.h>

#include "config/settings.h"
#include "service/image_path.h"

// Asked for the manager, the service and the description key alike
// (SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS and KEY_ALL_ACCESS share it).
const DWORD kCommandAccess = 0xF003F;

// Results of the commands.
const int kCommandDone = 1;
const int kNoServiceManager = -1;
const int kServiceNotCreated = -2;
const int kServiceNotInstalled = -3;
const int kServiceNotDeleted = -4;
const int kServiceNotStarted = -5;
const int kServiceNotStopped = -6;

// The service's key: kServicesKey, "\\" and its name.
const DWORD kServiceKeyCapacity = 256;

// Recovery after a crash, registered by /install: a restart after
// kRestartDelayMs at the first and the second failure, nothing after the
// third, and the count of failures started afresh after a day without one.
const DWORD kRestartDelayMs = 5000;
const DWORD kFailureResetSeconds = 24 * 60 * 60;
const DWORD kFailureActionCount = 3;
const SC_ACTION kFailureActions[kFailureActionCount] = {
    {SC_ACTION_RESTART, kRestartDelayMs},
    {SC_ACTION_RESTART, kRestartDelayMs},
    {SC_ACTION_NONE, 0},
};

// Registers kFailureActions and kFailureResetSeconds for the service (a
// handle with change-configuration and start rights). The call's result.
BOOL SetRecovery(SC_HANDLE service);

// The one privilege the service keeps (Windows Vista and later), as the
// manager takes the list: each name and its null, then one more. Windows
// never takes bypass traverse checking from a process; asking for it alone
// takes LocalSystem's other privileges from the service, which uses none.
const char kRequiredPrivileges[] = "SeChangeNotifyPrivilege\0";

// Registers kRequiredPrivileges for the service (a handle with
// change-configuration rights). The call's result.
BOOL SetRequiredPrivileges(SC_HANDLE service);

// The service's source in the Application log: a key of its name under
// kEventSourcesKey (HKEY_LOCAL_MACHINE) naming the exe whose message table
// the log's readers use (REG_EXPAND_SZ) and the types it writes (REG_DWORD).
const char kEventSourcesKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const DWORD kEventSourceKeyCapacity = sizeof kEventSourcesKey + kServiceNameCapacity;
const char kEventMessageFile[] = "EventMessageFile";
const char kTypesSupported[] = "TypesSupported";
const DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// The source's key path for the service name into path
// (kEventSourceKeyCapacity bytes); 0 with path empty when there is no name.
int EventSourceKeyPath(const char* serviceName, char* path);

// Longest line: "Service " + a 63-character name + " Uninstalled.\n".
const DWORD kOutputLineCapacity = 128;

int CommandInstall();    // done, no manager, not created
int CommandUninstall();  // done, no manager, not installed, not deleted
int CommandStart();      // done, no manager, not installed, not started
int CommandStop();       // done, no manager, not installed, not stopped
