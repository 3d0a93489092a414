// A simulated Windows for the platform seam.
//
// Tests install it with UseSimulatedWindows(); every call the product makes
// then lands here. The simulation hands out handles and counts them, so a
// test can check that an operation released everything it opened.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace sim {

enum class HandleKind {
    RegKey, File, DevInfoList, ScManager, Service, DevNotify, Event, Module, EventSource
};

// A VS_VERSIONINFO block of the given file version: the fixed part alone.
std::string VersionBlock(WORD major, WORD minor, WORD patch, WORD build);

// Where a registry key lives on a 64-bit machine. On a 32-bit machine only
// Shared and View32 are consulted.
enum class RegView { Shared, View32, View64 };

struct RegValue {
    DWORD type;
    std::string data;  // raw bytes as stored
    std::string name;  // as first spelled: Windows keeps a value's name as made
};

struct RegOpen {
    std::string path;  // as the caller spelled it
    REGSAM sam;
    LONG result;
};

// An open key: where it is, the path as spelled, and the rights it grants.
// A handle outlives its key: once the key is deleted every call through it
// fails with ERROR_KEY_DELETED, as on Windows.
struct OpenKey {
    int view;
    std::string path;     // lower case, the registry's own index
    std::string spelled;  // as the caller spelled it, from HKLM
    REGSAM granted;       // generic rights mapped to the key's own
    bool deleted;
};

struct DriverRequest {
    std::string path;     // as opened
    DWORD ioctl;
    DWORD inSize;
    DWORD outSize;
    DWORD request;        // the 4-byte input
    DWORD value;          // the output buffer's content when the call arrived
    bool outIsHeapBlock;  // the output buffer was a live heap block
};

struct FileOpen {
    std::string path;
    DWORD access, share, disposition, flags;
    bool securityNull;
    HANDLE templ;
};

struct SimDevice {
    std::vector<DriverRequest> requests;
    int failNext = 0;         // fail this many coming device controls
    bool writeBack = false;   // write writeBackValue into the output buffer
    DWORD writeBackValue = 0;
    // A driver that holds requests: each stays pending until cancelled, or
    // completes at the completeAtWait-th wait on it (0: never); one that
    // ignoresCancel keeps it even then.
    bool hold = false;
    int completeAtWait = 0;
    bool ignoresCancel = false;
    bool usersDenied = false;  // a standard user's open is refused (Scm().admin false)
    bool adminsDenied = false;  // and an administrator's (the driver admits only SYSTEM)
};

// A request a driver holds: its file handle and what completes it.
struct PendingIo {
    uintptr_t file;
    OVERLAPPED* overlapped;
    bool cancelled;  // a cancel reached it (the driver may ignore it)
};

// A thread-pool timer as CreateTimerQueueTimer made it.
struct SimTimer {
    WAITORTIMERCALLBACK callback;
    PVOID parameter;
    DWORD dueTime, period;
    ULONG flags;
    bool fired = false;
    bool deleted = false;
};

struct Windows {
    // Handles
    std::map<uintptr_t, HandleKind> handles;
    uintptr_t nextHandle = 0x1000;
    int badCloses = 0;  // closes of handles that were not open

    // Heap
    std::set<void*> heapBlocks;
    int failHeapAllocs = 0;  // fail this many coming allocations
    int heapAllocs = 0;
    int badFrees = 0;

    // Version and processor
    OSVERSIONINFOEXA version{};
    bool versionFails = false;
    bool machine64 = false;        // 64-bit Windows: registry views apply
    bool processWow64 = false;     // IsWow64Process reports this
    bool hasIsWow64Process = true; // kernel32 exports it
    bool isWow64ProcessFails = false;
    int isWow64ProcessCalls = 0;
    // The machine IsWow64Process2 names (SetArchitecture sets it), and
    // whether kernel32 exports that call (Windows 10 version 1709 on; not
    // the Windows 7 the simulation starts as).
    WORD nativeMachine = IMAGE_FILE_MACHINE_I386;
    bool hasIsWow64Process2 = false;

    // Exes mapped as data for their version resource: lower path -> the
    // block ("" for an exe without one). The running exe's is ownVersion.
    std::map<std::string, std::string> images;
    std::string ownVersion = VersionBlock(1, 0, 0, 0);
    std::map<uintptr_t, std::string> modules;  // open module -> lower path
    // A WOW64 process's file system redirector turned off: its System32 is
    // the native one, not SysWOW64 (data loads only).
    bool fsRedirectionOff = false;

    // Registry: [view][lower-case path] -> (lower-case value name -> value)
    std::map<std::string, std::map<std::string, RegValue>> registry[3];
    std::map<uintptr_t, OpenKey> openKeys;
    std::vector<RegOpen> regOpens;
    bool regSetFails = false;
    int regSets = 0;
    // Keys made by RegCreateKeyExA, with the options they were made with,
    // the path spelled from HKLM as the caller spelled its parts.
    std::vector<RegOpen> regCreates;  // sam holds the options here
    LONG regCreateFails = ERROR_SUCCESS;  // the error every create answers with
    std::vector<std::string> regDeletes;  // the keys RegDeleteKeyA or RegDeleteTreeA was asked to remove, as spelled
    LONG regDeleteTreeFails = ERROR_SUCCESS;  // the error RegDeleteTreeA answers for a key there
    std::vector<std::string> regSetNames;  // each value set, in order
    // Called before each value query with the value's name (a test may
    // change the registry there, as another process would).
    std::function<void(const std::string& name)> onRegQuery;

    // Clock: the UTC time GetSystemTime gives, and the time zone in force
    // (UTC unless a test sets one).
    SYSTEMTIME utcNow{2026, 12, 2, 8, 7, 36, 8, 0};
    TIME_ZONE_INFORMATION timeZone{};

    // Process
    std::string exePath = "C:\\Program Files\\Tolvane\\tolvane.exe";
    std::wstring exePathWide;  // set: the path holds characters the code page may lack
    bool tokenElevationUnknown = false;  // before Vista
    bool elevatedNonAdministrator = false;  // an elevated token outside Administrators
    std::string commandLine = "tolvane.exe";
    std::map<std::string, std::string> files;  // profile files: lower path -> text
    std::set<std::string> filesDenied;  // lower paths only administrators may read
    std::set<std::string> filesSystemOnly;  // lower paths only LocalSystem may read
    // Access lists: lower path -> its self-relative descriptor. A profile
    // file without one has an ordinary file's; any other path is not found.
    std::map<std::string, std::string> security;

    // Device files
    std::map<std::string, SimDevice> devices;  // lower path -> device
    std::map<uintptr_t, std::string> openFiles;  // handle -> path as opened
    std::map<uintptr_t, size_t> fileReadAt;  // open profile file -> where a read goes on
    std::map<uintptr_t, DWORD> fileAccess;   // open file or device -> the rights it grants
    std::vector<FileOpen> fileOpens;
    std::vector<DriverRequest> driverRequests;  // every device, in arrival order
    std::map<uintptr_t, bool> events;           // event -> signalled
    std::vector<PendingIo> pending;              // requests drivers hold
    std::vector<std::pair<uintptr_t, DWORD>> waits;  // (handle, timeout) of each wait
    int cancels = 0;                             // CancelIo calls
    std::vector<SimTimer> timers;                // every timer made, in order
    int runningTimer = -1;                       // the timer whose callback runs now

    // ANSI code page: 1252 (single byte), 932 (double byte) or CP_UTF8
    UINT codePage = 1252;
    int failUpperCase = 0;  // the coming N CharUpperBuffA calls fail

    // Standard output and error of the command-line role, as bytes; or,
    // where that handle is a console, what reached it as UTF-16.
    std::string stdoutText;
    std::string stderrText;
    bool stdoutConsole = false;
    bool stderrConsole = false;
    std::wstring consoleText;

    // --- helpers for tests ---
    int OpenHandles() const { return static_cast<int>(handles.size()); }
    int LiveHeapBlocks() const { return static_cast<int>(heapBlocks.size()); }
    uintptr_t NewHandle(HandleKind kind);
    bool CloseSimHandle(uintptr_t h, HandleKind kind);

    void SetVersion(DWORD major, DWORD minor, DWORD build = 0, DWORD platformId = 2,
                    WORD productType = VER_NT_WORKSTATION);
    void SetArchitecture(const char* arch);  // null removes the value
    // Makes the machine classify as the given host code (1 to 14).
    void SetHostCode(int code);

    void SetValue(RegView view, const std::string& path, const std::string& name, DWORD type,
                  const std::string& data);
    void SetString(const std::string& path, const std::string& name, const std::string& text,
                   RegView view = RegView::Shared);
    void AddKey(const std::string& path, RegView view = RegView::Shared);
    const RegValue* FindValue(RegView view, const std::string& path, const std::string& name) const;
    bool KeyExists(int view, const std::string& path) const;
    void DeleteKey(const std::string& path);

    void WriteFile(const std::string& path, const std::string& text);
    // path's access list, in the descriptor language ("D:(A;;FA;;;SY)...";
    // "" for none at all).
    void SetAccess(const std::string& path, const char* sddl);
    SimDevice& AddDevice(const std::string& path);
    // Timers made and not yet deleted.
    int LiveTimers() const;
    // Runs the callback of the first timer due and not yet run, as the pool
    // would; false when there is none.
    bool FireTimer();
    // The driver completes what it holds on the device (cancelled or not).
    void CompleteHeld(const std::string& path);
    SimDevice* FindDevice(const std::string& path);
};

// The simulation in force for the running test.
Windows& State();

// Builds the seam table pointing at the simulation.
const Win32Api& Api();

// Resets the simulation and installs it in the seam.
void UseSimulatedWindows();

// Puts the real Windows back in the seam.
void UseRealWindows();

std::string Lower(const std::string& text);

// Seam binders of each simulated concern (one file each).
void BindCore(Win32Api& api);
void BindSetupApi(Win32Api& api);
void BindServices(Win32Api& api);
void ResetSetupApi();
void ResetServices();

}  // namespace sim
