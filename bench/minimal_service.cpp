// minimal_service.exe {GUID}: the yardstick for the service's idle
// footprint, start-up time and event latency. It does only what any
// service told of device events must: registers its control handler,
// registers for device events with the product's flags, reports running;
// on each device arrival or removal it sends one request to the adapter
// \\.\{GUID} (value 1 or 0), so the test driver records when it reacted.
// Built with the product's toolchain and link options.
#include <windows.h>
#include <dbt.h>

#include <cstring>

namespace {

const char kName[] = "TolvaneBenchMinimal";
const DWORD kPathCapacity = 64;
const DWORD kRequestCode = 0xFFF10220;
const DWORD kNdisQueryGlobalStats = 0x170002;

SERVICE_STATUS_HANDLE g_status = nullptr;
HDEVNOTIFY g_notify = nullptr;
char g_adapterPath[kPathCapacity] = "";

void Report(DWORD state) {
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    SetServiceStatus(g_status, &status);
}

void Send(DWORD value) {
    HANDLE device = CreateFileA(g_adapterPath, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return;
    DWORD code = kRequestCode;
    DWORD returned = 0;
    DeviceIoControl(device, kNdisQueryGlobalStats, &code, sizeof code, &value, sizeof value,
                    &returned, nullptr);
    CloseHandle(device);
}

DWORD WINAPI Handler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            Report(SERVICE_STOP_PENDING);
            if (g_notify != nullptr) UnregisterDeviceNotification(g_notify);
            Report(SERVICE_STOPPED);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        case SERVICE_CONTROL_DEVICEEVENT:
            if (eventType == DBT_DEVICEARRIVAL) Send(1);
            if (eventType == DBT_DEVICEREMOVECOMPLETE) Send(0);
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_status = RegisterServiceCtrlHandlerExA(kName, Handler, nullptr);
    if (g_status == nullptr) return;
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    g_notify = RegisterDeviceNotificationA(
        g_status, &filter, DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    Report(SERVICE_RUNNING);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strlen(argv[1]) + 5 > kPathCapacity) return 2;
    std::strcpy(g_adapterPath, "\\\\.\\");
    std::strcat(g_adapterPath, argv[1]);
    char name[sizeof kName];
    std::memcpy(name, kName, sizeof kName);
    SERVICE_TABLE_ENTRYA table[2] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
