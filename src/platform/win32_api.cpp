#include "platform/win32_api.h"

#include <cstdio>

namespace {

int WriteStdoutReal(const char* text) {
    int written = std::fputs(text, stdout);
    std::fflush(stdout);
    return written;
}

int WriteStderrReal(const char* text) {
    int written = std::fputs(text, stderr);
    std::fflush(stderr);
    return written;
}

}  // namespace

// Built on first use: the real entry points come from the import table, so
// the table must not depend on the order of static initialisation.
const Win32Api& RealWin32Api() {
    static const Win32Api real = {
        ::GetModuleHandleA,
        ::GetProcAddress,
        ::GetModuleFileNameA,
        ::GetModuleFileNameW,
        ::GetCommandLineA,
        ::GetCurrentProcess,
        ::GetVersionExA,
        ::GetLastError,
        ::GetPrivateProfileStringA,
        ::GetProcessHeap,
        ::HeapAlloc,
        ::HeapFree,
        ::CreateFileA,
        ::DeviceIoControl,
        ::CloseHandle,
        ::ReadFile,
        ::GetStdHandle,
        ::GetConsoleMode,
        ::WriteConsoleW,
        ::CreateEventA,
        ::WaitForSingleObject,
        ::CancelIo,
        ::GetOverlappedResult,
        ::CreateTimerQueueTimer,
        ::DeleteTimerQueueTimer,
        ::InitializeCriticalSection,
        ::EnterCriticalSection,
        ::LeaveCriticalSection,
        ::GetACP,
        ::IsDBCSLeadByte,
        ::CharUpperBuffA,
        ::MultiByteToWideChar,
        ::WideCharToMultiByte,
        ::RegOpenKeyExA,
        ::RegQueryValueExA,
        ::RegSetValueExA,
        ::RegCloseKey,
        ::OpenProcessToken,
        ::GetTokenInformation,
        ::CheckTokenMembership,
        ::OpenSCManagerA,
        ::CreateServiceA,
        ::OpenServiceA,
        ::DeleteService,
        ::StartServiceA,
        ::ControlService,
        ::CloseServiceHandle,
        ::QueryServiceStatus,
        ::QueryServiceConfigA,
        ::ChangeServiceConfig2A,
        ::QueryServiceConfig2A,
        ::GetServiceKeyNameA,
        ::GetServiceDisplayNameA,
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
        ::RegCreateKeyExA,
        ::RegDeleteKeyA,
        ::RegDeleteTreeA,
        ::GetSystemTime,
        ::SystemTimeToTzSpecificLocalTime,
        ::GetFileSecurityA,
        ::GetSecurityDescriptorDacl,
        ::GetSecurityDescriptorOwner,
        ::LookupAccountSidA,
        ::LoadLibraryExA,
        ::FreeLibrary,
        ::FindResourceA,
        ::LoadResource,
        ::LockResource,
        ::SizeofResource,
        ::GetNativeSystemInfo,
        ::Wow64DisableWow64FsRedirection,
        ::Wow64RevertWow64FsRedirection,
        ::RegisterEventSourceA,
        ::ReportEventA,
        ::DeregisterEventSource,
        WriteStdoutReal,
        WriteStderrReal,
    };
    return real;
}

namespace {
const Win32Api* g_active = nullptr;  // null: the real Windows
}  // namespace

const Win32Api& Win() { return g_active ? *g_active : RealWin32Api(); }

void SetWin32Api(const Win32Api* api) { g_active = api; }
