#include "service/service_runtime.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include <dbt.h>

#include "config/settings.h"
#include "host/host_classify.h"
#include "platform/win32_api.h"
#include "radio/coordinator.h"
#include "radio/driver_status.h"
#include "radio/event_trail.h"

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "filter size the system expects");

namespace {

// Serialises the coordinator's rules: start-up on the service-entry thread,
// device events on the main thread.
CRITICAL_SECTION g_ruleLock;
bool g_ruleLockReady = false;

// Written by the service-entry thread, read by the handler on the main
// thread, hence atomic.
std::atomic<SERVICE_STATUS_HANDLE> g_statusHandle{nullptr};
std::atomic<HDEVNOTIFY> g_deviceNotify{nullptr};
std::atomic<DWORD> g_currentState{SERVICE_START_PENDING};

// The retry of a refused request, under the rule lock: the timer armed for
// it (null while none is), which of the refusals in a row it was armed
// for, and a number that tells a superseded timer's callback to do nothing.
HANDLE g_retryTimer = nullptr;
DWORD g_retryArmedFor = 0;
DWORD g_retryGeneration = 0;
int g_stopping = 0;

void SendStatus(DWORD state, DWORD accepted, DWORD waitHint = 0) {
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWaitHint = waitHint;
    Win().SetServiceStatus(g_statusHandle.load(), &status);
}

// Recorded before it is sent, so a report the handler makes meanwhile
// never re-announces the older state.
void ReportState(DWORD state, DWORD waitHint = 0) {
    g_currentState.store(state);
    SendStatus(state, kControlsAccepted, waitHint);
}

// Re-reports the current state. If the service entry records its running
// state while this report is on its way, the report may reach the manager
// after the running one; sending again puts the newest state last.
void ClosingReport() {
    DWORD state = g_currentState.load();
    for (;;) {
        SendStatus(state, state == SERVICE_START_PENDING ? 0 : kControlsAccepted);
        DWORD now = g_currentState.load();
        if (now == state) break;
        state = now;
    }
}

// Without waiting: a callback already running (this one, perhaps) finds
// itself superseded and ends.
void DisarmRetry() {
    ++g_retryGeneration;
    if (g_retryTimer == nullptr) return;
    Win().DeleteTimerQueueTimer(nullptr, g_retryTimer, nullptr);
    g_retryTimer = nullptr;
}

void CALLBACK RetryDue(PVOID generation, BOOLEAN);

// After each rule, under the lock: a new refusal arms the retry anew, with
// the delay its place in the row gives; nothing owed, nothing is armed.
void ScheduleRetry() {
    if (RetryOwed && RefusalsInARow == g_retryArmedFor && g_retryTimer != nullptr) return;
    DisarmRetry();
    g_retryArmedFor = 0;
    if (!RetryOwed || g_stopping) return;
    HANDLE timer = nullptr;
    if (Win().CreateTimerQueueTimer(&timer, nullptr, RetryDue,
                                    reinterpret_cast<PVOID>(static_cast<uintptr_t>(g_retryGeneration)),
                                    RetryDelayFor(RefusalsInARow), 0, kRetryTimerFlags)) {
        g_retryTimer = timer;
        g_retryArmedFor = RefusalsInARow;
    }
}

// Runs one rule under the lock, then schedules what it left owed.
void RunRule(void (*rule)()) {
    Win().EnterCriticalSection(&g_ruleLock);
    if (!g_stopping) {
        rule();
        ScheduleRetry();
    }
    Win().LeaveCriticalSection(&g_ruleLock);
}

// On a pool thread, once: the arrival rule again, unless an event or a stop
// came first.
void CALLBACK RetryDue(PVOID generation, BOOLEAN) {
    Win().EnterCriticalSection(&g_ruleLock);
    if (!g_stopping && static_cast<DWORD>(reinterpret_cast<uintptr_t>(generation)) ==
                           g_retryGeneration) {
        DisarmRetry();
        g_retryArmedFor = 0;
        OnRetry();
        ScheduleRetry();
    }
    Win().LeaveCriticalSection(&g_ruleLock);
}

void RunDeviceRule(DWORD eventType) {
    if (eventType == DBT_DEVICEARRIVAL) RunRule(OnDeviceArrival);
    if (eventType == DBT_DEVICEREMOVECOMPLETE) RunRule(OnDeviceRemoval);
}

}  // namespace

void InitServiceRuntime() {
    // Once per process: a lock must not be initialised again while in use.
    if (!g_ruleLockReady) {
        Win().InitializeCriticalSection(&g_ruleLock);
        g_ruleLockReady = true;
    }
    g_statusHandle.store(nullptr);
    g_deviceNotify.store(nullptr);
    g_currentState.store(SERVICE_START_PENDING);
    g_retryTimer = nullptr;
    g_retryArmedFor = 0;
    g_stopping = 0;
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    // The name the manager started the service by: the settings may have
    // been edited to name another since. The handler and the status go
    // under it.
    const char* started = argc > 0 && argv != nullptr ? argv[0] : nullptr;
    SERVICE_STATUS_HANDLE handle = Win().RegisterServiceCtrlHandlerExA(
        started != nullptr ? started : ServiceName, ControlHandler, nullptr);
    if (handle == nullptr) return;
    g_statusHandle.store(handle);
    BeginStatus(started);
    OpenEventTrail(started != nullptr ? started : ServiceName);

    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kNotifyFilterClass;
    // A failure leaves the handle null: the service then acts at start-up only.
    g_deviceNotify.store(
        Win().RegisterDeviceNotificationA(handle, &filter, kDeviceNotifyFlags));

    // A device event may already be waiting; it runs once the host code is
    // stored and the start-up rule has finished.
    Win().EnterCriticalSection(&g_ruleLock);
    CoordinatorHostCode = HostCode();
    OnServiceStart();
    ScheduleRetry();
    Win().LeaveCriticalSection(&g_ruleLock);

    ReportState(SERVICE_RUNNING);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    DWORD result = NO_ERROR;
    switch (control) {
        // At shutdown the system waits for the services that accept it: end
        // as at a stop rather than leave it waiting.
        case SERVICE_CONTROL_SHUTDOWN:
        case SERVICE_CONTROL_STOP: {
            // A retry may be with the driver: the lock waits for it, at most
            // one request's bound and cancel (two with two adapters).
            ReportState(SERVICE_STOP_PENDING, kStopWaitHintMs);
            Win().EnterCriticalSection(&g_ruleLock);
            g_stopping = 1;
            DisarmRetry();
            EndDriverRequests();
            CloseEventTrail();
            Win().LeaveCriticalSection(&g_ruleLock);
            HDEVNOTIFY notify = g_deviceNotify.exchange(nullptr);
            if (notify != nullptr) Win().UnregisterDeviceNotification(notify);
            // The process may end as soon as this report is made: nothing follows it.
            ReportState(SERVICE_STOPPED);
            return NO_ERROR;
        }
        case SERVICE_CONTROL_POWEREVENT:
            // Sent at every resume, before PBT_APMRESUMESUSPEND (which comes
            // only when a user is there): acting on it alone tells once.
            if (eventType == PBT_APMRESUMEAUTOMATIC) RunRule(OnResume);
            break;
        case SERVICE_CONTROL_INTERROGATE:
            break;
        case SERVICE_CONTROL_DEVICEEVENT:
            RunDeviceRule(eventType);
            break;
        default:
            result = ERROR_CALL_NOT_IMPLEMENTED;
            break;
    }
    ClosingReport();
    return result;
}

DWORD ServiceCurrentState() { return g_currentState.load(); }
