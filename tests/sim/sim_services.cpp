// Simulated service control manager, dispatcher and device notifications.
#include "sim_services.h"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "sim_windows.h"

namespace sim {

namespace {

Services g_scm;

// Guards what several threads touch: reports, reads, lock entries and the
// control slot.
CRITICAL_SECTION g_lock;
HANDLE g_reportEvent = nullptr;   // auto-reset: a report was recorded
HANDLE g_controlReady = nullptr;  // auto-reset: a control waits in the slot
HANDLE g_controlDone = nullptr;   // manual-reset: the slot's control was answered

std::map<uintptr_t, DWORD> g_handleAccess;  // open manager or service handle -> rights granted
std::vector<StatusReport> g_reports;
std::vector<EventWrite> g_eventWrites;
std::vector<SettingsRead> g_reads;
std::vector<LockEntry> g_lockEntries;

struct ControlSlot {
    DWORD control;
    DWORD eventType;
    DWORD result;
    bool pending;
};
ControlSlot g_slot;
bool g_dispatching = false;

const uintptr_t kStatusHandle = 0x5EC0;
const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";

// Rights a user who is not an administrator is given on the manager, and
// on a service by the access list every service gets by default.
const DWORD kUserManagerRights = STANDARD_RIGHTS_READ | SC_MANAGER_CONNECT |
                                 SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
const DWORD kUserServiceRights = READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                 SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                 SERVICE_USER_DEFINED_CONTROL;

const DWORD kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// The generic rights mapped to the manager's own.
DWORD ManagerRights(DWORD access) {
    DWORD rights = access & ~kGenericRights;
    if (access & GENERIC_READ)
        rights |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE)
        rights |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE) rights |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & GENERIC_ALL) rights |= SC_MANAGER_ALL_ACCESS;
    return rights;
}

// The generic rights mapped to a service's own.
DWORD ServiceRights(DWORD access) {
    DWORD rights = access & ~kGenericRights;
    if (access & GENERIC_READ)
        rights |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                  SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE) rights |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        rights |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
                  SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    if (access & GENERIC_ALL) rights |= SERVICE_ALL_ACCESS;
    return rights;
}

decltype(Win32Api::GetPrivateProfileStringA) g_coreProfileRead = nullptr;

void EnsureSync() {
    static bool ready = false;
    if (ready) return;
    InitializeCriticalSection(&g_lock);
    g_reportEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_controlReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_controlDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ready = true;
}

std::string Hex(DWORD v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(v));
    return text;
}

void RemoveIfDone(const std::string& lowerName);

// Every call to the manager lets time pass for a stopping service: it
// answers STOP_PENDING to as many calls as stopPendingCalls says, then it
// has stopped (and goes, if it was marked for deletion).
void Tick() {
    for (auto& s : g_scm.services) {
        SimService& svc = s.second;
        if (svc.state != SERVICE_STOP_PENDING) continue;
        if (svc.stopPendingLeft > 0) {
            --svc.stopPendingLeft;
            continue;
        }
        svc.state = SERVICE_STOPPED;
        RemoveIfDone(s.first);
        return;  // the map may have changed; the others wait for the next call
    }
}

void Log(const std::string& line) {
    EnterCriticalSection(&g_lock);
    g_scm.calls.push_back(line);
    LeaveCriticalSection(&g_lock);
    Tick();
}

bool IsKind(SC_HANDLE h, HandleKind kind) {
    auto it = State().handles.find(reinterpret_cast<uintptr_t>(h));
    return it != State().handles.end() && it->second == kind;
}

SimService* ServiceOf(SC_HANDLE h) {
    if (!IsKind(h, HandleKind::Service)) return nullptr;
    auto name = g_scm.serviceHandles.find(reinterpret_cast<uintptr_t>(h));
    if (name == g_scm.serviceHandles.end()) return nullptr;
    auto s = g_scm.services.find(name->second);
    return s == g_scm.services.end() ? nullptr : &s->second;
}

bool HandleGrants(SC_HANDLE handle, DWORD rights) {
    auto a = g_handleAccess.find(reinterpret_cast<uintptr_t>(handle));
    return a != g_handleAccess.end() && (a->second & rights) == rights;
}

// The service a call addresses through a handle with the rights it needs;
// null, with the error set, otherwise.
SimService* ServiceGranting(SC_HANDLE handle, DWORD rights) {
    SimService* svc = ServiceOf(handle);
    if (svc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (!HandleGrants(handle, rights)) {
        SetLastError(ERROR_ACCESS_DENIED);
        svc = nullptr;
    }
    return svc;
}

bool ValidName(const char* name) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > 256) return false;
    return std::strchr(name, '\\') == nullptr && std::strchr(name, '/') == nullptr;
}

// A service marked for deletion goes once it has stopped and its last
// handle is closed; its key goes with it.
void RemoveIfDone(const std::string& lowerName) {
    auto s = g_scm.services.find(lowerName);
    if (s == g_scm.services.end()) return;
    const SimService& svc = s->second;
    if (!svc.markedForDelete || svc.openHandles > 0 || svc.state != SERVICE_STOPPED) return;
    State().DeleteKey(kServicesKey + svc.name);
    g_scm.services.erase(s);
}

SC_HANDLE NewServiceHandle(SimService& svc, DWORD access) {
    uintptr_t h = State().NewHandle(HandleKind::Service);
    g_scm.serviceHandles[h] = Lower(svc.name);
    g_handleAccess[h] = ServiceRights(access);
    ++svc.openHandles;
    return reinterpret_cast<SC_HANDLE>(h);
}

// ---- control manager ----

SC_HANDLE WINAPI SimOpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    Log(std::string("OpenSCManagerA") + (machine || database ? " remote" : ""));
    if (!g_scm.admin &&
        ((ManagerRights(access) & ~kUserManagerRights) != 0 || g_scm.managerUsersDenied)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uintptr_t h = State().NewHandle(HandleKind::ScManager);
    g_handleAccess[h] = ManagerRights(access);
    return reinterpret_cast<SC_HANDLE>(h);
}

SC_HANDLE WINAPI SimCreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName,
                                   DWORD access, DWORD type, DWORD start, DWORD errorControl,
                                   LPCSTR imagePath, LPCSTR group, LPDWORD tag,
                                   LPCSTR dependencies, LPCSTR account, LPCSTR password) {
    Log(std::string("CreateServiceA ") + (name ? name : "(null)"));
    if (!IsKind(manager, HandleKind::ScManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!HandleGrants(manager, SC_MANAGER_CREATE_SERVICE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!ValidName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (imagePath == nullptr || imagePath[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto existing = g_scm.services.find(Lower(name));
    if (existing != g_scm.services.end()) {
        SetLastError(existing->second.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                      : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    std::string display = displayName ? displayName : name;
    for (const auto& other : g_scm.services) {
        if (Lower(other.second.name) == Lower(display) ||
            Lower(other.second.displayName) == Lower(display) ||
            Lower(other.second.displayName) == Lower(name)) {
            SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
            return nullptr;
        }
    }
    SimService svc;
    svc.name = name;
    svc.displayName = display;
    svc.imagePath = imagePath;
    svc.access = access;
    svc.type = type;
    svc.startType = start;
    svc.errorControl = errorControl;
    svc.groupNull = group == nullptr;
    svc.tagNull = tag == nullptr;
    svc.dependenciesNull = dependencies == nullptr;
    svc.accountNull = account == nullptr;
    svc.passwordNull = password == nullptr;
    SimService& stored = g_scm.services[Lower(name)] = svc;

    std::string key = kServicesKey + svc.name;
    State().SetString(key, "DisplayName", display);
    State().SetValue(RegView::Shared, key, "ImagePath", REG_EXPAND_SZ,
                     std::string(imagePath, std::strlen(imagePath) + 1));
    State().SetValue(RegView::Shared, key, "Type", REG_DWORD, std::string(reinterpret_cast<const char*>(&type), 4));
    State().SetValue(RegView::Shared, key, "Start", REG_DWORD, std::string(reinterpret_cast<const char*>(&start), 4));
    State().SetValue(RegView::Shared, key, "ErrorControl", REG_DWORD,
                     std::string(reinterpret_cast<const char*>(&errorControl), 4));
    State().SetString(key, "ObjectName", account ? account : "LocalSystem");
    return NewServiceHandle(stored, access);
}

SC_HANDLE WINAPI SimOpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    Log(std::string("OpenServiceA ") + (name ? name : "(null)"));
    if (!IsKind(manager, HandleKind::ScManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!ValidName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    auto s = g_scm.services.find(Lower(name));
    if (s == g_scm.services.end()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!g_scm.admin &&
        (s->second.usersDenied || (ServiceRights(access) & ~kUserServiceRights) != 0)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return NewServiceHandle(s->second, access);
}

// A name into the caller's buffer of *size characters, as both name
// lookups answer: its length without the terminator, or, when it does not
// fit, that length and ERROR_INSUFFICIENT_BUFFER.
BOOL AnswerName(const std::string& text, LPSTR out, LPDWORD size) {
    const DWORD length = static_cast<DWORD>(text.size());
    const bool fits = *size > length;
    if (fits) std::memcpy(out, text.c_str(), length + 1);
    *size = length;
    if (!fits) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return fits ? TRUE : FALSE;
}

// Finds a service by its display name, whatever the case.
BOOL WINAPI SimGetServiceKeyNameA(SC_HANDLE manager, LPCSTR displayName, LPSTR name,
                                  LPDWORD size) {
    Log(std::string("GetServiceKeyNameA ") + (displayName ? displayName : "(null)"));
    if (!IsKind(manager, HandleKind::ScManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (const auto& s : g_scm.services) {
        if (displayName == nullptr || Lower(s.second.displayName) != Lower(displayName)) continue;
        return AnswerName(s.second.name, name, size);
    }
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
}

// A service's display name by its key name.
BOOL WINAPI SimGetServiceDisplayNameA(SC_HANDLE manager, LPCSTR name, LPSTR displayName,
                                      LPDWORD size) {
    Log(std::string("GetServiceDisplayNameA ") + (name ? name : "(null)"));
    if (!IsKind(manager, HandleKind::ScManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto s = name ? g_scm.services.find(Lower(name)) : g_scm.services.end();
    if (s == g_scm.services.end()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    return AnswerName(s->second.displayName, displayName, size);
}

BOOL WINAPI SimDeleteService(SC_HANDLE service) {
    Log("DeleteService");
    SimService* svc = ServiceGranting(service, DELETE);
    if (svc == nullptr) return FALSE;
    if (svc->markedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    // Windows' manager marks it in its key until it goes (Wine's does not).
    svc->markedForDelete = true;
    State().SetValue(RegView::Shared, kServicesKey + svc->name, "DeleteFlag", REG_DWORD,
                     std::string("\1\0\0\0", 4));
    return TRUE;
}

BOOL WINAPI SimStartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
    Log("StartServiceA");
    g_scm.lastStartArgc = argc;
    g_scm.lastStartArgvNull = argv == nullptr;
    SimService* svc = ServiceGranting(service, SERVICE_START);
    if (svc == nullptr) return FALSE;
    if (svc->markedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (svc->state != SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (g_scm.startError != 0) {
        SetLastError(g_scm.startError);
        return FALSE;
    }
    svc->state = SERVICE_RUNNING;
    return TRUE;
}

BOOL WINAPI SimControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    Log("ControlService " + Hex(control));
    const DWORD rights = control == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                         : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                         : control >= 128 && control <= 255      ? SERVICE_USER_DEFINED_CONTROL
                                                                  : SERVICE_PAUSE_CONTINUE;
    SimService* svc = ServiceGranting(service, rights);
    if (svc == nullptr) return FALSE;
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = svc->type;
    status->dwCurrentState = svc->state;
    if (svc->state == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (svc->state == SERVICE_STOP_PENDING) {
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    }
    if (control != SERVICE_CONTROL_STOP) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    // The service takes the stop and reports it pending; it is stopped
    // only some calls later (see Tick).
    svc->state = SERVICE_STOP_PENDING;
    svc->stopPendingLeft = g_scm.stopPendingCalls;
    status->dwCurrentState = SERVICE_STOP_PENDING;
    return TRUE;
}

BOOL WINAPI SimCloseServiceHandle(SC_HANDLE handle) {
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    bool isService = IsKind(handle, HandleKind::Service);
    Log(isService ? "CloseServiceHandle service" : "CloseServiceHandle manager");
    if (!State().CloseSimHandle(h, isService ? HandleKind::Service : HandleKind::ScManager))
        return FALSE;
    g_handleAccess.erase(h);
    if (isService) {
        std::string name = g_scm.serviceHandles[h];
        g_scm.serviceHandles.erase(h);
        auto s = g_scm.services.find(name);
        if (s != g_scm.services.end()) --s->second.openHandles;
        RemoveIfDone(name);
    }
    return TRUE;
}

BOOL WINAPI SimQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    Log("QueryServiceStatus");
    SimService* svc = ServiceGranting(service, SERVICE_QUERY_STATUS);
    if (svc == nullptr) return FALSE;
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = svc->type;
    status->dwCurrentState = svc->state;
    return TRUE;
}

// The record, then its strings, in one buffer; too small a buffer gets
// nothing but the size needed.
BOOL WINAPI SimQueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD size,
                                   LPDWORD needed) {
    Log("QueryServiceConfigA");
    SimService* svc = ServiceGranting(service, SERVICE_QUERY_CONFIG);
    if (svc == nullptr) return FALSE;
    const std::string account = svc->accountNull ? "LocalSystem" : "";
    const std::string* texts[] = {&svc->imagePath, &svc->displayName, &account};
    DWORD total = sizeof(QUERY_SERVICE_CONFIGA) + 3;  // empty group and dependencies
    for (const std::string* t : texts) total += static_cast<DWORD>(t->size() + 1);
    *needed = total;
    if (config == nullptr || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(config, 0, size);
    config->dwServiceType = svc->type;
    config->dwStartType = svc->startType;
    config->dwErrorControl = svc->errorControl;
    char* p = reinterpret_cast<char*>(config + 1);
    auto put = [&p](const std::string& text) {
        char* at = p;
        std::memcpy(p, text.c_str(), text.size() + 1);
        p += text.size() + 1;
        return at;
    };
    config->lpBinaryPathName = put(svc->imagePath);
    config->lpDisplayName = put(svc->displayName);
    config->lpServiceStartName = put(account);
    config->lpLoadOrderGroup = put("");
    config->lpDependencies = put("");
    ++p;  // the dependencies' list ends with a second NUL
    return TRUE;
}

// The service a configuration call addresses: failure actions and
// required privileges only. Null, with the error set, for another handle
// or level.
SimService* ConfigOf(SC_HANDLE service, DWORD level) {
    SimService* svc = ServiceOf(service);
    if (svc == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (level != SERVICE_CONFIG_FAILURE_ACTIONS &&
               level != SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO) {
        SetLastError(ERROR_INVALID_LEVEL);
        svc = nullptr;
    }
    return svc;
}

// The rights a change needs, checked with the simulated refusal.
bool MayChange(SC_HANDLE service, DWORD rights) {
    if (!HandleGrants(service, rights)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (g_scm.changeConfig2Error != 0) {
        SetLastError(g_scm.changeConfig2Error);
        return false;
    }
    return true;
}

// A restart among the failure actions needs the right to start the service
// as well; a null action list leaves the actions and the reset period as
// they were. Required privileges are kept as given.
BOOL WINAPI SimChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info) {
    Log("ChangeServiceConfig2A " + Hex(level));
    SimService* svc = ConfigOf(service, level);
    if (svc == nullptr) return FALSE;
    if (level == SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO) {  // a new list replaces the old
        const char* name =
            static_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOA*>(info)->pmszRequiredPrivileges;
        if (!MayChange(service, SERVICE_CHANGE_CONFIG)) return FALSE;
        svc->requiredPrivileges.clear();
        for (; *name; name += std::strlen(name) + 1) svc->requiredPrivileges.push_back(name);
        return TRUE;
    }
    const SERVICE_FAILURE_ACTIONSA* fa = static_cast<const SERVICE_FAILURE_ACTIONSA*>(info);
    if (fa == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD rights = SERVICE_CHANGE_CONFIG;
    for (DWORD i = 0; fa->lpsaActions != nullptr && i < fa->cActions; ++i)
        if (fa->lpsaActions[i].Type == SC_ACTION_RESTART) rights |= SERVICE_START;
    if (!MayChange(service, rights)) return FALSE;
    if (fa->lpsaActions != nullptr) {
        svc->failureResetSeconds = fa->dwResetPeriod;
        svc->failureActions.assign(fa->lpsaActions, fa->lpsaActions + fa->cActions);
    }
    return TRUE;
}

// The record, then the list it points to, in one buffer; too small a
// buffer gets nothing but the size needed. No reboot message or command
// is kept.
BOOL WINAPI SimQueryServiceConfig2A(SC_HANDLE service, DWORD level, LPBYTE buffer, DWORD size,
                                    LPDWORD needed) {
    Log("QueryServiceConfig2A " + Hex(level));
    SimService* svc = ConfigOf(service, level);
    if (svc == nullptr) return FALSE;
    if (!HandleGrants(service, SERVICE_QUERY_CONFIG)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::string names;  // each with its null, then one more
    for (const std::string& name : svc->requiredPrivileges) names += name + '\0';
    names += '\0';
    const bool privileges = level == SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO;
    const DWORD count = static_cast<DWORD>(svc->failureActions.size());
    *needed = privileges ? sizeof(SERVICE_REQUIRED_PRIVILEGES_INFOA) + names.size()
                         : sizeof(SERVICE_FAILURE_ACTIONSA) + count * sizeof(SC_ACTION);
    if (buffer == nullptr || size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(buffer, 0, *needed);
    if (privileges) {
        char* list = reinterpret_cast<char*>(buffer) + sizeof(SERVICE_REQUIRED_PRIVILEGES_INFOA);
        reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(buffer)->pmszRequiredPrivileges = list;
        std::memcpy(list, names.data(), names.size());
        return TRUE;
    }
    SERVICE_FAILURE_ACTIONSA* fa = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
    fa->dwResetPeriod = svc->failureResetSeconds;
    fa->cActions = count;
    if (count > 0) {
        fa->lpsaActions = reinterpret_cast<SC_ACTION*>(fa + 1);
        std::memcpy(fa->lpsaActions, svc->failureActions.data(), count * sizeof(SC_ACTION));
    }
    return TRUE;
}

// ---- service process ----

SERVICE_STATUS_HANDLE WINAPI SimRegisterServiceCtrlHandlerExA(LPCSTR name,
                                                              LPHANDLER_FUNCTION_EX handler,
                                                              LPVOID context) {
    Log(std::string("RegisterServiceCtrlHandlerExA ") + (name ? name : "(null)"));
    ++g_scm.handlerRegistrations;
    if (g_scm.handlerRegistrationFails) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    g_scm.handlerName = name ? name : "";
    g_scm.handlerContext = context;
    g_scm.handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(kStatusHandle);
}

BOOL WINAPI SimSetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    if (reinterpret_cast<uintptr_t>(handle) != kStatusHandle || status == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (g_scm.onStatus) g_scm.onStatus(*status);
    EnterCriticalSection(&g_lock);
    g_reports.push_back({handle, *status, GetCurrentThreadId()});
    LeaveCriticalSection(&g_lock);
    SetEvent(g_reportEvent);
    return TRUE;
}

HDEVNOTIFY WINAPI SimRegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
    Log("RegisterDeviceNotificationA");
    NotifyRegistration r{recipient, "", flags, nullptr, false};
    if (filter != nullptr) {
        DWORD size = static_cast<const DEV_BROADCAST_HDR*>(filter)->dbch_size;
        r.filter.assign(static_cast<const char*>(filter), size);
    }
    if (!g_scm.notifyFails) {
        r.handle = reinterpret_cast<HDEVNOTIFY>(State().NewHandle(HandleKind::DevNotify));
    } else {
        SetLastError(ERROR_INVALID_DATA);
    }
    g_scm.notifications.push_back(r);
    return r.handle;
}

BOOL WINAPI SimUnregisterDeviceNotification(HDEVNOTIFY handle) {
    Log("UnregisterDeviceNotification");
    if (!State().CloseSimHandle(reinterpret_cast<uintptr_t>(handle), HandleKind::DevNotify))
        return FALSE;
    for (auto& r : g_scm.notifications)
        if (r.handle == handle) r.unregistered = true;
    return TRUE;
}

struct ServiceStart {
    LPSERVICE_MAIN_FUNCTIONA proc;
    LPSTR name;
};

DWORD WINAPI ServiceThread(LPVOID param) {
    ServiceStart* start = static_cast<ServiceStart*>(param);
    LPSTR argv[2] = {start->name, nullptr};
    start->proc(1, argv);
    return 0;
}

bool LastReportIsStopped() {
    EnterCriticalSection(&g_lock);
    bool stopped = !g_reports.empty() && g_reports.back().status.dwCurrentState == SERVICE_STOPPED;
    LeaveCriticalSection(&g_lock);
    return stopped;
}

// Runs the first entry's service on a thread of its own and delivers
// controls on the calling thread until the service reports itself stopped.
// A service that ends without registering a handler ends the dispatch too
// (where Windows would leave the manager to give up on it).
BOOL WINAPI SimStartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    Log("StartServiceCtrlDispatcherA");
    g_scm.dispatcherTable.clear();
    g_scm.dispatcherTableTerminated = false;
    for (int i = 0; table != nullptr && i < 8; ++i) {
        if (table[i].lpServiceName == nullptr) {
            g_scm.dispatcherTableTerminated = table[i].lpServiceProc == nullptr;
            break;
        }
        g_scm.dispatcherTable.push_back(table[i].lpServiceName);
    }
    if (g_scm.dispatcherFails || table == nullptr || table[0].lpServiceName == nullptr) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }

    g_scm.dispatcherThread = GetCurrentThreadId();
    ServiceStart start{table[0].lpServiceProc, g_scm.startedAs.empty()
                                                   ? table[0].lpServiceName
                                                   : &g_scm.startedAs[0]};
    DWORD id = 0;
    // Started once its id is known, so tests can tell its calls apart.
    HANDLE thread = CreateThread(nullptr, 0, ServiceThread, &start, CREATE_SUSPENDED, &id);
    g_scm.serviceThread = id;
    // Controls are taken from before the service runs: a test that saw it
    // report running may send one at once.
    EnterCriticalSection(&g_lock);
    g_dispatching = true;
    LeaveCriticalSection(&g_lock);
    ResumeThread(thread);

    bool entryReturned = false;
    for (;;) {
        if (entryReturned) {
            WaitForSingleObject(g_controlReady, INFINITE);
        } else {
            HANDLE waits[2] = {g_controlReady, thread};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                entryReturned = true;
                if (g_scm.handler == nullptr) break;
                continue;
            }
        }
        EnterCriticalSection(&g_lock);
        ControlSlot slot = g_slot;
        LeaveCriticalSection(&g_lock);
        if (!slot.pending) continue;
        DWORD result = g_scm.handler
                           ? g_scm.handler(slot.control, slot.eventType, nullptr,
                                           g_scm.handlerContext)
                           : static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE);
        EnterCriticalSection(&g_lock);
        g_slot.result = result;
        g_slot.pending = false;
        LeaveCriticalSection(&g_lock);
        SetEvent(g_controlDone);
        if (LastReportIsStopped()) break;
    }

    EnterCriticalSection(&g_lock);
    g_dispatching = false;
    LeaveCriticalSection(&g_lock);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return TRUE;
}

// ---- watched core entries ----

DWORD WINAPI WatchedProfileRead(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size,
                                LPCSTR file) {
    EnterCriticalSection(&g_lock);
    g_reads.push_back({key ? key : "", GetCurrentThreadId()});
    LeaveCriticalSection(&g_lock);
    if (g_scm.onSettingsRead) g_scm.onSettingsRead(key);
    return g_coreProfileRead(section, key, def, out, size, file);
}

void WINAPI WatchedEnterCriticalSection(LPCRITICAL_SECTION cs) {
    bool acquired = TryEnterCriticalSection(cs) != FALSE;
    EnterCriticalSection(&g_lock);
    g_lockEntries.push_back({GetCurrentThreadId(), !acquired});
    LeaveCriticalSection(&g_lock);
    if (!acquired) EnterCriticalSection(cs);
}

// ---- event log ----

// A null server is the local machine, the only one the service names.
HANDLE WINAPI SimRegisterEventSourceA(LPCSTR server, LPCSTR source) {
    Log(std::string("RegisterEventSourceA ") + (source != nullptr ? source : "(null)"));
    if (server != nullptr) ADD_FAILURE() << "an event source on another machine";
    if (source == nullptr || g_scm.eventSourceError != 0) {
        SetLastError(source == nullptr ? ERROR_INVALID_PARAMETER : g_scm.eventSourceError);
        return nullptr;
    }
    g_scm.eventSources.push_back(source);
    return reinterpret_cast<HANDLE>(State().NewHandle(HandleKind::EventSource));
}

BOOL WINAPI SimReportEventA(HANDLE log, WORD type, WORD category, DWORD id, PSID user,
                            WORD count, DWORD dataSize, LPCSTR* strings, LPVOID) {
    auto it = State().handles.find(reinterpret_cast<uintptr_t>(log));
    if (it == State().handles.end() || it->second != HandleKind::EventSource ||
        (count > 0 && strings == nullptr)) {
        SetLastError(it == State().handles.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    EventWrite w{log, type, category, id, user == nullptr, dataSize, {}};
    for (WORD i = 0; i < count; ++i) w.inserts.push_back(strings[i] != nullptr ? strings[i] : "(null)");
    EnterCriticalSection(&g_lock);
    g_eventWrites.push_back(w);
    LeaveCriticalSection(&g_lock);
    if (g_scm.reportEventError != 0) {
        SetLastError(g_scm.reportEventError);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SimDeregisterEventSource(HANDLE log) {
    Log("DeregisterEventSource");
    if (!State().CloseSimHandle(reinterpret_cast<uintptr_t>(log), HandleKind::EventSource)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

Services& Scm() { return g_scm; }

std::vector<EventWrite> EventWrites() {
    EnterCriticalSection(&g_lock);
    std::vector<EventWrite> copy = g_eventWrites;
    LeaveCriticalSection(&g_lock);
    return copy;
}

std::vector<StatusReport> Reports() {
    EnterCriticalSection(&g_lock);
    std::vector<StatusReport> copy = g_reports;
    LeaveCriticalSection(&g_lock);
    return copy;
}

std::vector<SettingsRead> SettingsReads() {
    EnterCriticalSection(&g_lock);
    std::vector<SettingsRead> copy = g_reads;
    LeaveCriticalSection(&g_lock);
    return copy;
}

std::vector<LockEntry> LockEntries() {
    EnterCriticalSection(&g_lock);
    std::vector<LockEntry> copy = g_lockEntries;
    LeaveCriticalSection(&g_lock);
    return copy;
}

bool WaitForReport(DWORD state, DWORD timeoutMs) {
    DWORD waited = 0;
    for (;;) {
        for (const StatusReport& r : Reports())
            if (r.status.dwCurrentState == state) return true;
        if (waited >= timeoutMs) return false;
        // Short slices: a report made between the check and the wait is
        // caught by the event, and the bound is only a safety net.
        WaitForSingleObject(g_reportEvent, 50);
        waited += 50;
    }
}

bool PostControl(DWORD control, DWORD eventType) {
    EnterCriticalSection(&g_lock);
    bool ok = g_dispatching && !g_slot.pending;
    if (ok) {
        g_slot = {control, eventType, 0, true};
        ResetEvent(g_controlDone);
    }
    LeaveCriticalSection(&g_lock);
    if (ok) SetEvent(g_controlReady);
    return ok;
}

bool WaitControl(DWORD timeoutMs, DWORD* result) {
    if (WaitForSingleObject(g_controlDone, timeoutMs) != WAIT_OBJECT_0) return false;
    EnterCriticalSection(&g_lock);
    *result = g_slot.result;
    LeaveCriticalSection(&g_lock);
    return true;
}

bool SendControl(DWORD control, DWORD eventType, DWORD* result) {
    return PostControl(control, eventType) && WaitControl(10000, result);
}

bool ControlAnswered() {
    EnterCriticalSection(&g_lock);
    bool answered = !g_slot.pending;
    LeaveCriticalSection(&g_lock);
    return answered;
}

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "start-pending";
        case SERVICE_STOP_PENDING: return "stop-pending";
        case SERVICE_RUNNING: return "running";
        default: return "other";
    }
}

void ResetServices() {
    EnsureSync();
    EnterCriticalSection(&g_lock);
    g_scm = Services();
    g_handleAccess.clear();
    g_reports.clear();
    g_eventWrites.clear();
    g_reads.clear();
    g_lockEntries.clear();
    g_slot = {0, 0, 0, false};
    g_dispatching = false;
    LeaveCriticalSection(&g_lock);
    ResetEvent(g_reportEvent);
    ResetEvent(g_controlReady);
    ResetEvent(g_controlDone);
}

void BindServices(Win32Api& api) {
    api.OpenSCManagerA = SimOpenSCManagerA;
    api.CreateServiceA = SimCreateServiceA;
    api.OpenServiceA = SimOpenServiceA;
    api.DeleteService = SimDeleteService;
    api.StartServiceA = SimStartServiceA;
    api.ControlService = SimControlService;
    api.CloseServiceHandle = SimCloseServiceHandle;
    api.QueryServiceStatus = SimQueryServiceStatus;
    api.QueryServiceConfigA = SimQueryServiceConfigA;
    api.ChangeServiceConfig2A = SimChangeServiceConfig2A;
    api.QueryServiceConfig2A = SimQueryServiceConfig2A;
    api.GetServiceKeyNameA = SimGetServiceKeyNameA;
    api.GetServiceDisplayNameA = SimGetServiceDisplayNameA;
    api.StartServiceCtrlDispatcherA = SimStartServiceCtrlDispatcherA;
    api.RegisterServiceCtrlHandlerExA = SimRegisterServiceCtrlHandlerExA;
    api.SetServiceStatus = SimSetServiceStatus;
    api.RegisterDeviceNotificationA = SimRegisterDeviceNotificationA;
    api.UnregisterDeviceNotification = SimUnregisterDeviceNotification;
    api.RegisterEventSourceA = SimRegisterEventSourceA;
    api.ReportEventA = SimReportEventA;
    api.DeregisterEventSource = SimDeregisterEventSource;

    // Watched, not changed: the core's own entries still answer.
    if (api.GetPrivateProfileStringA != WatchedProfileRead) {
        g_coreProfileRead = api.GetPrivateProfileStringA;
        api.GetPrivateProfileStringA = WatchedProfileRead;
    }
    api.EnterCriticalSection = WatchedEnterCriticalSection;
}

}  // namespace sim
