// Simulated service control manager, service dispatcher and device
// notifications.
//
// The manager side keeps a map of services with the states and error codes
// Windows gives; creating a service also creates its key under
// HKLM\SYSTEM\CurrentControlSet\Services. The process side records the
// handler, every status report and every device-notification registration,
// and its dispatcher runs the service entry on a thread of its own while
// the thread that called it delivers controls, as Windows does.
//
// The binder also watches two core entries without changing what they do:
// settings reads (recorded by key and thread, with an optional hook) and
// lock entries (recorded with whether the lock was already held).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct SimService {
    std::string name;  // as created
    std::string displayName;
    std::string imagePath;
    DWORD access = 0;
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    bool groupNull = true, tagNull = true, dependenciesNull = true;
    bool accountNull = true, passwordNull = true;
    DWORD state = SERVICE_STOPPED;
    int stopPendingLeft = 0;  // calls it still answers STOP_PENDING to
    bool markedForDelete = false;
    int openHandles = 0;
    // Failure actions as ChangeServiceConfig2A last set them (none at first).
    DWORD failureResetSeconds = 0;
    std::vector<SC_ACTION> failureActions;
    // Required privileges as ChangeServiceConfig2A last set them (none at first).
    std::vector<std::string> requiredPrivileges;
    bool usersDenied = false;  // a standard user may not open it, even to query
};

struct StatusReport {
    SERVICE_STATUS_HANDLE handle;
    SERVICE_STATUS status;
    DWORD thread;
};

struct NotifyRegistration {
    HANDLE recipient;
    std::string filter;  // the filter's bytes, as many as its dbcc_size says
    DWORD flags;
    HDEVNOTIFY handle;   // null when the registration failed
    bool unregistered;
};

struct SettingsRead {
    std::string key;
    DWORD thread;
};

struct LockEntry {
    DWORD thread;
    bool wasHeld;  // another thread held the lock: this entry had to wait
};

// One ReportEventA call, as it was made.
struct EventWrite {
    HANDLE source;
    WORD type, category;
    DWORD id;
    bool userNull;
    DWORD dataSize;
    std::vector<std::string> inserts;
};

struct Services {
    // --- control manager ---
    std::map<std::string, SimService> services;  // lower-case name -> service
    std::map<uintptr_t, std::string> serviceHandles;  // open service handle -> lower name
    // false: a standard user: the manager and every service refuse more than
    // read access, and HKLM's keys refuse every write.
    bool admin = true;
    bool managerUsersDenied = false;  // and with admin false, refuses even to connect
    DWORD startError = 0;    // non-zero: StartServiceA fails with it
    DWORD changeConfig2Error = 0;  // non-zero: ChangeServiceConfig2A fails with it
    // A stopped service answers STOP_PENDING to this many manager calls
    // after the one that stopped it, then STOPPED.
    int stopPendingCalls = 1;
    std::vector<std::string> calls;  // "OpenSCManagerA", "OpenServiceA <name>", "ControlService 0x1", ...
    DWORD lastStartArgc = 0xFFFFFFFF;
    bool lastStartArgvNull = false;

    // --- service process ---
    bool handlerRegistrationFails = false;
    std::string handlerName;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID handlerContext = nullptr;
    int handlerRegistrations = 0;
    bool notifyFails = false;
    std::vector<NotifyRegistration> notifications;
    bool dispatcherFails = false;
    // The name the manager passes the service entry: the registered one,
    // whatever the table says. Empty: the table's first.
    std::string startedAs;
    std::vector<std::string> dispatcherTable;  // the names up to the terminating entry
    bool dispatcherTableTerminated = false;
    DWORD dispatcherThread = 0;
    DWORD serviceThread = 0;

    // --- event log ---
    std::vector<std::string> eventSources;  // each source registered, as named
    DWORD eventSourceError = 0;  // non-zero: RegisterEventSourceA answers null with it
    DWORD reportEventError = 0;  // non-zero: ReportEventA fails with it (1722: the log's service is stopped)

    // Before a report is recorded (on the reporting thread).
    std::function<void(const SERVICE_STATUS&)> onStatus;
    // Before a settings read is answered (on the reading thread).
    std::function<void(const char* key)> onSettingsRead;
};

// The simulation in force (reset with the rest by UseSimulatedWindows).
Services& Scm();

// Copies taken under the simulation's lock: other threads may be adding.
std::vector<StatusReport> Reports();
std::vector<SettingsRead> SettingsReads();
std::vector<LockEntry> LockEntries();
std::vector<EventWrite> EventWrites();

// Waits until a report of `state` has been recorded; false on timeout.
bool WaitForReport(DWORD state, DWORD timeoutMs);

// Delivers a control to the running dispatcher, which calls the handler on
// its own thread. PostControl returns at once; WaitControl collects the
// handler's answer (false on timeout). SendControl does both.
bool PostControl(DWORD control, DWORD eventType);
bool WaitControl(DWORD timeoutMs, DWORD* result);
bool SendControl(DWORD control, DWORD eventType, DWORD* result);
// True once the posted control has been answered (no waiting).
bool ControlAnswered();

const char* StateName(DWORD state);

}  // namespace sim
