#include "platform/win32_api.h"

#include <cstdio>

namespace {

int WriteStdoutReal(const char* text) {
    int written = std::fputs(text, stdout);
    std::fflush(stdout);
    return written;
}

const Win32Api kReal = {
    ::GetModuleHandleA,
    ::GetProcAddress,
    ::GetModuleFileNameA,
    ::GetCommandLineA,
    ::GetCurrentProcess,
    ::GetVersionExA,
    ::GetPrivateProfileStringA,
    ::GetProcessHeap,
    ::HeapAlloc,
    ::HeapFree,
    ::CreateFileA,
    ::DeviceIoControl,
    ::CloseHandle,
    ::InitializeCriticalSection,
    ::EnterCriticalSection,
    ::LeaveCriticalSection,
    ::IsDBCSLeadByte,
    ::CharUpperBuffA,
    ::RegOpenKeyExA,
    ::RegQueryValueExA,
    ::RegSetValueExA,
    ::RegCloseKey,
    ::OpenSCManagerA,
    ::CreateServiceA,
    ::OpenServiceA,
    ::DeleteService,
    ::StartServiceA,
    ::ControlService,
    ::CloseServiceHandle,
    ::StartServiceCtrlDispatcherA,
    ::RegisterServiceCtrlHandlerExA,
    ::SetServiceStatus,
    ::RegisterDeviceNotificationA,
    ::UnregisterDeviceNotification,
    ::SetupDiClassGuidsFromNameA,
    ::SetupDiGetClassDevsA,
    ::SetupDiEnumDeviceInfo,
    ::SetupDiGetDeviceRegistryPropertyA,
    ::SetupDiDestroyDeviceInfoList,
    ::CM_Get_DevNode_Status,
    WriteStdoutReal,
};

const Win32Api* g_active = &kReal;

}  // namespace

const Win32Api& Win() { return *g_active; }

const Win32Api& RealWin32Api() { return kReal; }

void SetWin32Api(const Win32Api* api) { g_active = api ? api : &kReal; }
