// The one seam through which the service reaches Windows.
//
// Every Win32 call the product makes goes through the table returned by
// Win(). The shipped exe binds it to the real functions; tests bind it to a
// simulated Windows so each branch can be driven without a real machine.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <dbt.h>

struct Win32Api {
    // kernel32: process and module
    HMODULE(WINAPI* GetModuleHandleA)(LPCSTR name);
    FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
    DWORD(WINAPI* GetModuleFileNameA)(HMODULE module, LPSTR buffer, DWORD size);
    DWORD(WINAPI* GetModuleFileNameW)(HMODULE module, LPWSTR buffer, DWORD size);
    LPSTR(WINAPI* GetCommandLineA)(void);
    HANDLE(WINAPI* GetCurrentProcess)(void);
    BOOL(WINAPI* GetVersionExA)(LPOSVERSIONINFOA info);
    DWORD(WINAPI* GetLastError)(void);
    DWORD(WINAPI* GetPrivateProfileStringA)(LPCSTR section, LPCSTR key, LPCSTR def,
                                             LPSTR out, DWORD size, LPCSTR file);

    // kernel32: heap
    HANDLE(WINAPI* GetProcessHeap)(void);
    LPVOID(WINAPI* HeapAlloc)(HANDLE heap, DWORD flags, SIZE_T bytes);
    BOOL(WINAPI* HeapFree)(HANDLE heap, DWORD flags, LPVOID block);

    // kernel32: device files
    HANDLE(WINAPI* CreateFileA)(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD disposition, DWORD flags, HANDLE templ);
    BOOL(WINAPI* DeviceIoControl)(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                  DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
    // The settings file's first bytes (the check tool only)
    BOOL(WINAPI* ReadFile)(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                           LPOVERLAPPED overlapped);

    // kernel32: the console, when a standard handle is one
    HANDLE(WINAPI* GetStdHandle)(DWORD which);
    BOOL(WINAPI* GetConsoleMode)(HANDLE console, LPDWORD mode);
    BOOL(WINAPI* WriteConsoleW)(HANDLE console, const VOID* text, DWORD count, LPDWORD written,
                                LPVOID reserved);

    // kernel32: a request the driver may hold. It is waited for with a
    // bound and cancelled by the thread that issued it.
    HANDLE(WINAPI* CreateEventA)(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState,
                                 LPCSTR name);
    DWORD(WINAPI* WaitForSingleObject)(HANDLE handle, DWORD milliseconds);
    BOOL(WINAPI* CancelIo)(HANDLE file);
    BOOL(WINAPI* GetOverlappedResult)(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                                      BOOL wait);

    // kernel32: the retry of a refused request, armed only while one waits
    BOOL(WINAPI* CreateTimerQueueTimer)(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback,
                                        PVOID parameter, DWORD dueTime, DWORD period, ULONG flags);
    BOOL(WINAPI* DeleteTimerQueueTimer)(HANDLE queue, HANDLE timer, HANDLE completionEvent);

    // kernel32: locks
    void(WINAPI* InitializeCriticalSection)(LPCRITICAL_SECTION cs);
    void(WINAPI* EnterCriticalSection)(LPCRITICAL_SECTION cs);
    void(WINAPI* LeaveCriticalSection)(LPCRITICAL_SECTION cs);

    // kernel32 / user32: ANSI code page text
    UINT(WINAPI* GetACP)(void);
    BOOL(WINAPI* IsDBCSLeadByte)(BYTE b);
    DWORD(WINAPI* CharUpperBuffA)(LPSTR text, DWORD length);
    int(WINAPI* MultiByteToWideChar)(UINT codePage, DWORD flags, LPCSTR text, int length,
                                     LPWSTR wide, int wideLength);
    int(WINAPI* WideCharToMultiByte)(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength,
                                     LPSTR text, int length, LPCSTR defaultChar,
                                     LPBOOL usedDefault);

    // advapi32: registry
    LONG(WINAPI* RegOpenKeyExA)(HKEY root, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY out);
    LONG(WINAPI* RegQueryValueExA)(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD size);
    LONG(WINAPI* RegSetValueExA)(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD size);
    LONG(WINAPI* RegCloseKey)(HKEY key);

    // advapi32: the process's token
    BOOL(WINAPI* OpenProcessToken)(HANDLE process, DWORD access, PHANDLE token);
    BOOL(WINAPI* GetTokenInformation)(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID info,
                                      DWORD size, PDWORD returned);
    BOOL(WINAPI* CheckTokenMembership)(HANDLE token, PSID sid, PBOOL member);

    // advapi32: service control manager
    SC_HANDLE(WINAPI* OpenSCManagerA)(LPCSTR machine, LPCSTR database, DWORD access);
    SC_HANDLE(WINAPI* CreateServiceA)(SC_HANDLE manager, LPCSTR name, LPCSTR displayName,
                                      DWORD access, DWORD type, DWORD start, DWORD errorControl,
                                      LPCSTR imagePath, LPCSTR group, LPDWORD tag,
                                      LPCSTR dependencies, LPCSTR account, LPCSTR password);
    SC_HANDLE(WINAPI* OpenServiceA)(SC_HANDLE manager, LPCSTR name, DWORD access);
    BOOL(WINAPI* DeleteService)(SC_HANDLE service);
    BOOL(WINAPI* StartServiceA)(SC_HANDLE service, DWORD argc, LPCSTR* argv);
    BOOL(WINAPI* ControlService)(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
    BOOL(WINAPI* CloseServiceHandle)(SC_HANDLE handle);
    BOOL(WINAPI* QueryServiceStatus)(SC_HANDLE service, LPSERVICE_STATUS status);
    BOOL(WINAPI* QueryServiceConfigA)(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config,
                                      DWORD size, LPDWORD needed);
    BOOL(WINAPI* ChangeServiceConfig2A)(SC_HANDLE service, DWORD level, LPVOID info);
    BOOL(WINAPI* QueryServiceConfig2A)(SC_HANDLE service, DWORD level, LPBYTE buffer, DWORD size,
                                       LPDWORD needed);
    BOOL(WINAPI* GetServiceKeyNameA)(SC_HANDLE manager, LPCSTR displayName, LPSTR name,
                                     LPDWORD size);
    BOOL(WINAPI* GetServiceDisplayNameA)(SC_HANDLE manager, LPCSTR name, LPSTR displayName,
                                         LPDWORD size);
    BOOL(WINAPI* StartServiceCtrlDispatcherA)(const SERVICE_TABLE_ENTRYA* table);
    SERVICE_STATUS_HANDLE(WINAPI* RegisterServiceCtrlHandlerExA)(LPCSTR name,
                                                                 LPHANDLER_FUNCTION_EX handler,
                                                                 LPVOID context);
    BOOL(WINAPI* SetServiceStatus)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

    // user32: device notifications
    HDEVNOTIFY(WINAPI* RegisterDeviceNotificationA)(HANDLE recipient, LPVOID filter, DWORD flags);
    BOOL(WINAPI* UnregisterDeviceNotification)(HDEVNOTIFY handle);

    // setupapi (the node-status call too: see CMakeLists.txt)
    BOOL(WINAPI* SetupDiClassGuidsFromNameA)(PCSTR className, LPGUID list, DWORD listSize,
                                             PDWORD required);
    HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                           DWORD flags);
    BOOL(WINAPI* SetupDiEnumDeviceInfo)(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyA)(HDEVINFO list, PSP_DEVINFO_DATA info,
                                                    DWORD property, PDWORD type, PBYTE buffer,
                                                    DWORD size, PDWORD required);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO list);
    CONFIGRET(WINAPI* CM_Get_DevNode_Status)(PULONG status, PULONG problem, DEVINST devInst,
                                             ULONG flags);

    // The service's last exchange with the driver: a volatile key it makes
    // under its own and removes at start (advapi32), and the time it notes
    // (kernel32); the check tool shows that time in local time, by the
    // zone's rules at that time.
    LONG(WINAPI* RegCreateKeyExA)(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                  DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES sa, PHKEY out,
                                  LPDWORD disposition);
    LONG(WINAPI* RegDeleteKeyA)(HKEY key, LPCSTR subKey);
    // A key with its subkeys and values (advapi32, from Windows Vista on).
    LONG(WINAPI* RegDeleteTreeA)(HKEY key, LPCSTR subKey);
    void(WINAPI* GetSystemTime)(LPSYSTEMTIME time);
    BOOL(WINAPI* SystemTimeToTzSpecificLocalTime)(const TIME_ZONE_INFORMATION* zone,
                                                  const SYSTEMTIME* utc, LPSYSTEMTIME local);
    // advapi32: access lists of the files the service's safety rests on
    // (the check tool reads them; the service never does)
    BOOL(WINAPI* GetFileSecurityA)(LPCSTR path, SECURITY_INFORMATION what,
                                   PSECURITY_DESCRIPTOR descriptor, DWORD size, LPDWORD needed);
    BOOL(WINAPI* GetSecurityDescriptorDacl)(PSECURITY_DESCRIPTOR descriptor, LPBOOL present,
                                            PACL* acl, LPBOOL defaulted);
    BOOL(WINAPI* GetSecurityDescriptorOwner)(PSECURITY_DESCRIPTOR descriptor, PSID* owner,
                                             LPBOOL defaulted);
    BOOL(WINAPI* LookupAccountSidA)(LPCSTR system, PSID sid, LPSTR name, LPDWORD nameSize,
                                    LPSTR domain, LPDWORD domainSize, PSID_NAME_USE use);

    // kernel32: the version resource of an exe, mapped as data only so that
    // none of its code runs and no DLL it imports is loaded (the check tool
    // only); and the processor Windows runs on, where kernel32 lacks
    // IsWow64Process2 (Windows 10 before 1709, and earlier).
    HMODULE(WINAPI* LoadLibraryExA)(LPCSTR path, HANDLE reserved, DWORD flags);
    BOOL(WINAPI* FreeLibrary)(HMODULE module);
    HRSRC(WINAPI* FindResourceA)(HMODULE module, LPCSTR name, LPCSTR type);
    HGLOBAL(WINAPI* LoadResource)(HMODULE module, HRSRC resource);
    LPVOID(WINAPI* LockResource)(HGLOBAL data);
    DWORD(WINAPI* SizeofResource)(HMODULE module, HRSRC resource);
    void(WINAPI* GetNativeSystemInfo)(LPSYSTEM_INFO info);
    // kernel32: the native System32 for a WOW64 process's next file
    // operations, until reverted (fails with ERROR_INVALID_FUNCTION where
    // there is no WOW64).
    BOOL(WINAPI* Wow64DisableWow64FsRedirection)(PVOID* old);
    BOOL(WINAPI* Wow64RevertWow64FsRedirection)(PVOID old);

    // advapi32: the service's events in the Application log, under the
    // source its install registers (the message table is in the exe)
    HANDLE(WINAPI* RegisterEventSourceA)(LPCSTR server, LPCSTR source);
    BOOL(WINAPI* ReportEventA)(HANDLE log, WORD type, WORD category, DWORD id, PSID user,
                               WORD count, DWORD dataSize, LPCSTR* strings, LPVOID data);
    BOOL(WINAPI* DeregisterEventSource)(HANDLE log);

    // C runtime: the command-line role's output (redirected, or no console)
    int (*WriteStdout)(const char* text);
    int (*WriteStderr)(const char* text);
};

// The table every call site uses.
const Win32Api& Win();

// The table bound to the real Windows functions.
const Win32Api& RealWin32Api();

// Replaces the active table (tests only); null restores the real one.
void SetWin32Api(const Win32Api* api);
