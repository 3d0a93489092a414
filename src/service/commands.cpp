#include "service/commands.h"

#include <cstring>

#include "config/settings.h"
#include "config/text_join.h"
#include "platform/win32_api.h"

namespace {

// How a command comes by its service handle, and the one thing it then does.
typedef SC_HANDLE (*ObtainService)(SC_HANDLE manager);
typedef BOOL (*ServiceAction)(SC_HANDLE service);

struct CommandRow {
    ObtainService obtain;
    int obtainFailure;
    ServiceAction act;
    int actionFailure;
    const char* outcome;  // printed after "Service " and the name on success
};

// An empty name means the model was refused: address no service at all
// rather than one whose name was cut.
SC_HANDLE OpenNamedService(SC_HANDLE manager) {
    if (ServiceName[0] == '\0') return nullptr;
    return Win().OpenServiceA(manager, ServiceName, kCommandAccess);
}

// Nothing is created unless the name, the display name and the whole image
// path are known: a cut image path could start another program as
// LocalSystem, and a cut display name would register a wrong one.
SC_HANDLE CreateNamedService(SC_HANDLE manager) {
    char displayName[kDisplayNameCapacity];
    char exePath[kExePathCapacity];
    char imagePath[kImagePathCapacity];

    if (ServiceName[0] == '\0') return nullptr;
    if (!ReadSetting(kSectionProduct, kKeyDisplayName, kDefaultDisplayName, displayName,
                     sizeof displayName))
        return nullptr;
    if (ReadExePath(exePath) != kExePathRead) return nullptr;
    if (!FormImagePath(exePath, imagePath, sizeof imagePath)) return nullptr;

    return Win().CreateServiceA(manager, ServiceName, displayName, kCommandAccess,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                SERVICE_ERROR_IGNORE, imagePath, nullptr, nullptr, nullptr,
                                nullptr, nullptr);
}

void WriteDescription() {
    char keyPath[kServiceKeyCapacity];
    char description[kDescriptionCapacity];
    HKEY key = nullptr;

    if (!JoinText(keyPath, sizeof keyPath, kServicesKey, "\\", ServiceName)) return;
    if (Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, kCommandAccess, &key) ==
        ERROR_SUCCESS) {
        ReadSetting(kSectionProduct, kKeyDescription, kDefaultDescription, description,
                    sizeof description);
        // The terminating null is stored with the text.
        Win().RegSetValueExA(key, "Description", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(description),
                             static_cast<DWORD>(std::strlen(description) + 1));
        Win().RegCloseKey(key);
    }
}

// The source names this exe, whose path the image path was formed from.
// Like the description, it is written or not: the result is not consulted.
void RegisterLogSource() {
    char keyPath[kEventSourceKeyCapacity];
    char exePath[kExePathCapacity];
    HKEY key = nullptr;
    if (!EventSourceKeyPath(ServiceName, keyPath) || ReadExePath(exePath) != kExePathRead) return;
    if (Win().RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    Win().RegSetValueExA(key, kEventMessageFile, 0, REG_EXPAND_SZ,
                         reinterpret_cast<const BYTE*>(exePath),
                         static_cast<DWORD>(std::strlen(exePath) + 1));
    Win().RegSetValueExA(key, kTypesSupported, 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&kEventTypesSupported),
                         sizeof kEventTypesSupported);
    Win().RegCloseKey(key);
}

// The created service counts as installed whether or not these succeed
// (a manager before Windows Vista knows no required privileges): none
// changes the result or the line printed.
BOOL Configure(SC_HANDLE service) {
    WriteDescription();
    RegisterLogSource();
    SetRecovery(service);
    SetRequiredPrivileges(service);
    return TRUE;
}

// The source goes with the service; its removal, too, changes no result.
BOOL DeleteNamedService(SC_HANDLE service) {
    if (!Win().DeleteService(service)) return FALSE;
    char keyPath[kEventSourceKeyCapacity];
    if (EventSourceKeyPath(ServiceName, keyPath))
        Win().RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
    return TRUE;
}

BOOL StartNamedService(SC_HANDLE service) { return Win().StartServiceA(service, 0, nullptr); }

// Success means the manager took the control, not that the service stopped.
BOOL StopNamedService(SC_HANDLE service) {
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    return Win().ControlService(service, SERVICE_CONTROL_STOP, &status);
}

const CommandRow kInstallRow = {CreateNamedService, kServiceNotCreated, Configure,
                                kServiceNotCreated, " Installed.\n"};
const CommandRow kUninstallRow = {OpenNamedService, kServiceNotInstalled, DeleteNamedService,
                                  kServiceNotDeleted, " Uninstalled.\n"};
const CommandRow kStartRow = {OpenNamedService, kServiceNotInstalled, StartNamedService,
                              kServiceNotStarted, " Started.\n"};
const CommandRow kStopRow = {OpenNamedService, kServiceNotInstalled, StopNamedService,
                             kServiceNotStopped, " Stopped.\n"};

// The frame all four share: open the manager, obtain the service, act,
// print on success, and close what was opened on every path.
int RunCommand(const CommandRow& row) {
    SC_HANDLE manager = Win().OpenSCManagerA(nullptr, nullptr, kCommandAccess);
    if (manager == nullptr) return kNoServiceManager;

    int result = kCommandDone;
    SC_HANDLE service = row.obtain(manager);
    if (service == nullptr) {
        result = row.obtainFailure;
    } else if (!row.act(service)) {
        result = row.actionFailure;
    }

    if (result == kCommandDone) {
        char line[kOutputLineCapacity];
        if (JoinText(line, sizeof line, "Service ", ServiceName, row.outcome))
            Win().WriteStdout(line);
    }

    if (service != nullptr) Win().CloseServiceHandle(service);
    Win().CloseServiceHandle(manager);
    return result;
}

}  // namespace

int EventSourceKeyPath(const char* serviceName, char* path) {
    path[0] = '\0';
    return serviceName[0] != '\0' && JoinText(path, kEventSourceKeyCapacity, kEventSourcesKey,
                                              "\\", serviceName);
}

int CommandInstall() { return RunCommand(kInstallRow); }
int CommandUninstall() { return RunCommand(kUninstallRow); }
int CommandStart() { return RunCommand(kStartRow); }
int CommandStop() { return RunCommand(kStopRow); }

// No reboot message or command: null leaves them as they are.
BOOL SetRecovery(SC_HANDLE service) {
    SC_ACTION actions[kFailureActionCount];
    std::memcpy(actions, kFailureActions, sizeof actions);  // the call takes a writable list
    SERVICE_FAILURE_ACTIONSA failure;
    std::memset(&failure, 0, sizeof failure);
    failure.dwResetPeriod = kFailureResetSeconds;
    failure.cActions = kFailureActionCount;
    failure.lpsaActions = actions;
    return Win().ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

BOOL SetRequiredPrivileges(SC_HANDLE service) {
    char list[sizeof kRequiredPrivileges];
    std::memcpy(list, kRequiredPrivileges, sizeof list);  // the call takes a writable list
    SERVICE_REQUIRED_PRIVILEGES_INFOA info;
    info.pmszRequiredPrivileges = list;
    return Win().ChangeServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &info);
}
