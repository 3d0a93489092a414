#include "sim_windows.h"
#include "sim_services.h"

#include "host/host_classify.h"
#include "host/registry_reader.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sim {

namespace {

Windows g_state;
Win32Api g_api;

const uintptr_t kKernel32 = 0x7C800000;
const uintptr_t kExeModule = 0x00400000;
const uintptr_t kProcessHeap = 0x00150000;

// How a request ended, as the OVERLAPPED's Internal field holds it.
const LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001);
const LONG kStatusCancelled = static_cast<LONG>(0xC0000120);

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string NormalKey(const std::string& path) {
    std::string p = Lower(path);
    while (!p.empty() && p.back() == '\\') p.pop_back();
    return p;
}

// ---- kernel32: process and module ----

HMODULE WINAPI SimGetModuleHandleA(LPCSTR name) {
    if (name == nullptr) return reinterpret_cast<HMODULE>(kExeModule);
    if (Lower(name) == "kernel32.dll" || Lower(name) == "kernel32")
        return reinterpret_cast<HMODULE>(kKernel32);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI SimIsWow64Process(HANDLE process, PBOOL wow64) {
    Windows& w = g_state;
    ++w.isWow64ProcessCalls;
    if (process != GetCurrentProcess() || w.isWow64ProcessFails) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *wow64 = w.processWow64 ? TRUE : FALSE;
    return TRUE;
}

// The process's machine is x86, so under WOW64 it is named; natively none is.
BOOL WINAPI SimIsWow64Process2(HANDLE process, USHORT* processMachine, USHORT* nativeMachine) {
    if (process != GetCurrentProcess() || processMachine == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *processMachine = g_state.processWow64 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_UNKNOWN;
    if (nativeMachine != nullptr) *nativeMachine = g_state.nativeMachine;
    return TRUE;
}

// An x86 process on an ARM64 Windows without x64 emulation is told x86.
void WINAPI SimGetNativeSystemInfo(LPSYSTEM_INFO info) {
    std::memset(info, 0, sizeof *info);
    info->wProcessorArchitecture = g_state.nativeMachine == IMAGE_FILE_MACHINE_AMD64
                                       ? PROCESSOR_ARCHITECTURE_AMD64
                                       : PROCESSOR_ARCHITECTURE_INTEL;
    info->dwPageSize = 4096;
    info->dwNumberOfProcessors = 2;
}

FARPROC WINAPI SimGetProcAddress(HMODULE module, LPCSTR name) {
    if (reinterpret_cast<uintptr_t>(module) == kKernel32 && g_state.hasIsWow64Process &&
        std::strcmp(name, "IsWow64Process") == 0) {
        return reinterpret_cast<FARPROC>(&SimIsWow64Process);
    }
    if (reinterpret_cast<uintptr_t>(module) == kKernel32 && g_state.hasIsWow64Process2 &&
        std::strcmp(name, "IsWow64Process2") == 0) {
        return reinterpret_cast<FARPROC>(&SimIsWow64Process2);
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

int WINAPI SimMultiByteToWideChar(UINT, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                                  int wideLength);
int WINAPI SimWideCharToMultiByte(UINT, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                                  int length, LPCSTR, LPBOOL usedDefault);

DWORD WINAPI SimGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (module != nullptr && reinterpret_cast<uintptr_t>(module) != kExeModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    // A path set in UTF-16 reads as the code page spells it: "?" for a lack.
    std::string path = g_state.exePath;
    if (!g_state.exePathWide.empty()) {
        path.resize(g_state.exePathWide.size() * 2);
        path.resize(static_cast<size_t>(SimWideCharToMultiByte(
            CP_ACP, 0, g_state.exePathWide.data(), static_cast<int>(g_state.exePathWide.size()),
            &path[0], static_cast<int>(path.size()), nullptr, nullptr)));
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    // Too long: the buffer is filled with the path's first bytes and left
    // unterminated, the whole size reported, as Wine and Windows XP do
    // (later Windows terminate in the last byte instead).
    std::memcpy(buffer, path.data(), size);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

// The UTF-16 path: exePathWide when set (a folder the code page may lack
// characters of), else exePath converted; cut as the "A" call cuts.
DWORD WINAPI SimGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
    std::wstring path = g_state.exePathWide;
    if (path.empty()) {
        path.resize(g_state.exePath.size());
        path.resize(static_cast<size_t>(SimMultiByteToWideChar(
            CP_ACP, 0, g_state.exePath.data(), static_cast<int>(g_state.exePath.size()), &path[0],
            static_cast<int>(path.size()))));
    }
    const DWORD length = static_cast<DWORD>(path.size());
    std::memcpy(buffer, path.c_str(), sizeof(WCHAR) * (length < size ? length + 1 : size));
    if (length < size) return length;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

// ---- kernel32: an exe's version resource, the exe mapped as data ----

HMODULE WINAPI SimLoadLibraryExA(LPCSTR path, HANDLE reserved, DWORD flags) {
    Windows& w = g_state;
    // Only data loads are simulated: no code of an exe runs here.
    if (reserved != nullptr || path == nullptr ||
        !(flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string lower = Lower(path);
    const std::string system32 = "c:\\windows\\system32\\";
    if (w.processWow64 && !w.fsRedirectionOff && lower.compare(0, system32.size(), system32) == 0)
        lower = "c:\\windows\\syswow64\\" + lower.substr(system32.size());
    if (lower != Lower(w.exePath) && w.images.count(lower) == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const uintptr_t h = w.NewHandle(HandleKind::Module);
    w.modules[h] = lower;
    return reinterpret_cast<HMODULE>(h);
}

// Without WOW64 there is no redirector to turn off.
BOOL WINAPI SimWow64DisableWow64FsRedirection(PVOID* old) {
    if (!g_state.processWow64) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    *old = reinterpret_cast<PVOID>(static_cast<uintptr_t>(g_state.fsRedirectionOff));
    g_state.fsRedirectionOff = true;
    return TRUE;
}

BOOL WINAPI SimWow64RevertWow64FsRedirection(PVOID old) {
    if (!g_state.processWow64) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    g_state.fsRedirectionOff = old != nullptr;
    return TRUE;
}

BOOL WINAPI SimFreeLibrary(HMODULE module) {
    const uintptr_t h = reinterpret_cast<uintptr_t>(module);
    if (!g_state.CloseSimHandle(h, HandleKind::Module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_state.modules.erase(h);
    return TRUE;
}

// The block a module's version resource holds; null for none.
const std::string* VersionOf(HMODULE module) {
    Windows& w = g_state;
    if (module == nullptr) return &w.ownVersion;
    auto m = w.modules.find(reinterpret_cast<uintptr_t>(module));
    if (m == w.modules.end()) return nullptr;
    if (m->second == Lower(w.exePath)) return &w.ownVersion;
    return &w.images[m->second];
}

HRSRC WINAPI SimFindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    const std::string* block = VersionOf(module);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!IS_INTRESOURCE(type) || reinterpret_cast<uintptr_t>(type) != 16 || block->empty()) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (!IS_INTRESOURCE(name) || reinterpret_cast<uintptr_t>(name) != 1) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<std::string*>(block));
}

HGLOBAL WINAPI SimLoadResource(HMODULE, HRSRC resource) {
    if (resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return reinterpret_cast<HGLOBAL>(&(*reinterpret_cast<std::string*>(resource))[0]);
}

LPVOID WINAPI SimLockResource(HGLOBAL data) { return data; }

DWORD WINAPI SimSizeofResource(HMODULE, HRSRC resource) {
    if (resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(reinterpret_cast<std::string*>(resource)->size());
}

LPSTR WINAPI SimGetCommandLineA() { return &g_state.commandLine[0]; }

HANDLE WINAPI SimGetCurrentProcess() { return GetCurrentProcess(); }

BOOL WINAPI SimGetVersionExA(LPOSVERSIONINFOA info) {
    const Windows& w = g_state;
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (w.versionFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(info, &w.version, size);
    info->dwOSVersionInfoSize = size;
    return TRUE;
}

// The private-profile read as Windows does it: sections and keys ignore
// case, values are trimmed and lose one pair of enclosing quotes, and a
// value that does not fit is cut to size - 1.
DWORD WINAPI SimGetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out,
                                         DWORD size, LPCSTR file) {
    if (size == 0) return 0;
    std::string value = def ? Trim(def) : "";
    // A path that does not fit in MAX_PATH characters opens no file, nor
    // one this user may not read: the default stands.
    std::string name = file && SimMultiByteToWideChar(CP_ACP, 0, file, -1, nullptr, 0) <= MAX_PATH
                           ? file
                           : "";
    if ((g_state.filesDenied.count(Lower(name)) != 0 && !Scm().admin) ||
        g_state.filesSystemOnly.count(Lower(name)) != 0)
        name.clear();
    auto f = g_state.files.find(Lower(name));
    if (f != g_state.files.end()) {
        std::string current;
        bool inSection = false;
        size_t pos = 0;
        const std::string& text = f->second;
        while (pos <= text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string line = Trim(text.substr(pos, end - pos));
            pos = end + 1;
            if (!line.empty() && line[0] == '[') {
                size_t close = line.find(']');
                current = Trim(line.substr(1, close == std::string::npos ? std::string::npos
                                                                        : close - 1));
                inSection = Lower(current) == Lower(section);
                continue;
            }
            if (!inSection) continue;
            size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            if (Lower(Trim(line.substr(0, eq))) != Lower(key)) continue;
            value = Trim(line.substr(eq + 1));
            if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
                value.back() == value[0]) {
                value = value.substr(1, value.size() - 2);
            }
            break;
        }
    }
    size_t n = std::min<size_t>(value.size(), size - 1);
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
    return static_cast<DWORD>(n);
}

// ---- heap ----

HANDLE WINAPI SimGetProcessHeap() { return reinterpret_cast<HANDLE>(kProcessHeap); }

LPVOID WINAPI SimHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    Windows& w = g_state;
    if (reinterpret_cast<uintptr_t>(heap) != kProcessHeap) return nullptr;
    if (w.failHeapAllocs > 0) {
        --w.failHeapAllocs;
        return nullptr;
    }
    void* block = std::malloc(bytes ? bytes : 1);
    // Fresh blocks hold junk unless zeroing was asked for, as on Windows.
    std::memset(block, (flags & HEAP_ZERO_MEMORY) ? 0 : 0xCD, bytes ? bytes : 1);
    w.heapBlocks.insert(block);
    ++w.heapAllocs;
    return block;
}

BOOL WINAPI SimHeapFree(HANDLE heap, DWORD, LPVOID block) {
    Windows& w = g_state;
    if (reinterpret_cast<uintptr_t>(heap) != kProcessHeap || w.heapBlocks.erase(block) == 0) {
        ++w.badFrees;
        return FALSE;
    }
    std::free(block);
    return TRUE;
}

// ---- device files ----

// A file's rights with the generic ones mapped to the data rights they hold.
DWORD FileRights(DWORD access) {
    DWORD rights = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) rights |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) rights |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) rights |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL) rights |= FILE_ALL_ACCESS;
    return rights;
}

bool FileGrants(uintptr_t handle, DWORD rights) {
    auto a = g_state.fileAccess.find(handle);
    return a != g_state.fileAccess.end() && (a->second & rights) == rights;
}

HANDLE WINAPI SimCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templ) {
    Windows& w = g_state;
    w.fileOpens.push_back({path, access, share, disposition, flags, sa == nullptr, templ});
    auto device = w.devices.find(Lower(path));
    if (w.files.count(Lower(path)) != 0) {
        // The files live beside the exe, where a standard user may read but
        // never change anything.
        const DWORD changes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                              FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER;
        if ((w.filesDenied.count(Lower(path)) != 0 && !Scm().admin) ||
            ((FileRights(access) & changes) != 0 && !Scm().admin) ||
            w.filesSystemOnly.count(Lower(path)) != 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        uintptr_t h = w.NewHandle(HandleKind::File);
        w.openFiles[h] = path;
        w.fileReadAt[h] = 0;
        w.fileAccess[h] = FileRights(access);
        return reinterpret_cast<HANDLE>(h);
    }
    if (device == w.devices.end()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if ((device->second.usersDenied && !Scm().admin) || device->second.adminsDenied) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    uintptr_t h = w.NewHandle(HandleKind::File);
    w.openFiles[h] = path;
    w.fileAccess[h] = FileRights(access);
    return reinterpret_cast<HANDLE>(h);
}

void Signal(HANDLE event) {
    auto e = g_state.events.find(reinterpret_cast<uintptr_t>(event));
    if (e != g_state.events.end()) e->second = true;
}

// Completes a request as the I/O manager does: status and count into the
// OVERLAPPED, then its event signalled.
void Complete(OVERLAPPED* overlapped, LONG status, DWORD count) {
    overlapped->Internal = static_cast<ULONG_PTR>(status);
    overlapped->InternalHigh = count;
    Signal(overlapped->hEvent);
}

BOOL WINAPI SimDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                               DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    Windows& w = g_state;
    auto f = w.openFiles.find(reinterpret_cast<uintptr_t>(device));
    if (f == w.openFiles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Without an OVERLAPPED, Windows writes the byte count through the
    // pointer whatever the driver answers: a null one is an access
    // violation there (Wine lets it pass).
    if (returned == nullptr && overlapped == nullptr) {
        ADD_FAILURE() << "DeviceIoControl without OVERLAPPED and with a null lpBytesReturned";
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    // The code names the rights it needs of the handle (FILE_ANY_ACCESS: none).
    const DWORD needs = (code >> 14) & (FILE_READ_DATA | FILE_WRITE_DATA);
    if (!FileGrants(f->first, needs)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    SimDevice& dev = w.devices[Lower(f->second)];
    DriverRequest r{};
    r.path = f->second;
    r.ioctl = code;
    r.inSize = inSize;
    r.outSize = outSize;
    if (in && inSize >= 4) std::memcpy(&r.request, in, 4);
    if (out && outSize >= 4) std::memcpy(&r.value, out, 4);
    r.outIsHeapBlock = w.heapBlocks.count(out) != 0;
    dev.requests.push_back(r);
    w.driverRequests.push_back(r);
    if (overlapped != nullptr) {
        overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        auto e = w.events.find(reinterpret_cast<uintptr_t>(overlapped->hEvent));
        if (e != w.events.end()) e->second = false;  // reset as the request starts
    }
    if (dev.failNext > 0) {
        --dev.failNext;
        if (overlapped != nullptr) Complete(overlapped, kStatusUnsuccessful, 0);
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (dev.hold && overlapped != nullptr) {
        w.pending.push_back({f->first, overlapped, false});
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (returned) *returned = 0;
    if (dev.writeBack && out && outSize >= 4) {
        std::memcpy(out, &dev.writeBackValue, 4);
        if (returned) *returned = 4;
    }
    if (overlapped != nullptr) Complete(overlapped, 0, returned ? *returned : 0);
    return TRUE;
}

// A profile file's bytes from where the last read ended; a device reads nothing.
BOOL WINAPI SimReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) {
    Windows& w = g_state;
    auto at = w.fileReadAt.find(reinterpret_cast<uintptr_t>(handle));
    if (at == w.fileReadAt.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!FileGrants(at->first, FILE_READ_DATA)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::string& text = w.files[Lower(w.openFiles[at->first])];
    const size_t n = std::min<size_t>(size, text.size() - std::min(text.size(), at->second));
    std::memcpy(buffer, text.data() + at->second, n);
    at->second += n;
    *read = static_cast<DWORD>(n);
    return TRUE;
}

// ---- waits on requests a driver holds ----

HANDLE WINAPI SimCreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL initialState, LPCSTR) {
    uintptr_t h = g_state.NewHandle(HandleKind::Event);
    g_state.events[h] = initialState != FALSE;
    return reinterpret_cast<HANDLE>(h);
}

PendingIo* PendingOn(HANDLE event) {
    for (PendingIo& p : g_state.pending)
        if (p.overlapped->hEvent == event) return &p;
    return nullptr;
}

// Devices are found by the lower-case path; an open file keeps it as spelled.
SimDevice& DeviceOf(const PendingIo& p) { return g_state.devices[Lower(g_state.openFiles[p.file])]; }

void Forget(const PendingIo* p) { g_state.pending.erase(g_state.pending.begin() + (p - &g_state.pending[0])); }

// Nothing runs meanwhile: the wait ends at once, timed out unless the event
// is set or the driver completes its request during this wait.
DWORD WINAPI SimWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Windows& w = g_state;
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    w.waits.push_back({h, milliseconds});
    auto e = w.events.find(h);
    if (e == w.events.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    PendingIo* p = PendingOn(handle);
    if (!e->second && p != nullptr && DeviceOf(*p).completeAtWait > 0 &&
        --DeviceOf(*p).completeAtWait == 0) {
        Complete(p->overlapped, 0, 4);
        Forget(p);
    }
    return e->second ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// Cancels what the calling thread issued on the file; true also when there
// is nothing to cancel.
BOOL WINAPI SimCancelIo(HANDLE file) {
    Windows& w = g_state;
    uintptr_t h = reinterpret_cast<uintptr_t>(file);
    ++w.cancels;
    if (w.openFiles.count(h) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (size_t i = 0; i < w.pending.size();) {
        PendingIo& p = w.pending[i];
        if (p.file != h) {
            ++i;
            continue;
        }
        p.cancelled = true;
        if (DeviceOf(p).ignoresCancel) {
            ++i;
            continue;
        }
        Complete(p.overlapped, kStatusCancelled, 0);
        w.pending.erase(w.pending.begin() + i);
    }
    return TRUE;
}

BOOL WINAPI SimGetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred,
                                   BOOL wait) {
    const LONG status = static_cast<LONG>(overlapped->Internal);
    // A wait here would never end in a simulation; the product never asks.
    if (status == static_cast<LONG>(STATUS_PENDING) && wait) ADD_FAILURE() << "an unbounded wait for a request";
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (status == 0) return TRUE;
    SetLastError(status == static_cast<LONG>(STATUS_PENDING) ? ERROR_IO_INCOMPLETE
                 : status == kStatusCancelled ? ERROR_OPERATION_ABORTED
                                              : ERROR_GEN_FAILURE);
    return FALSE;
}

// ---- timers ----

BOOL WINAPI SimCreateTimerQueueTimer(PHANDLE timer, HANDLE, WAITORTIMERCALLBACK callback,
                                     PVOID parameter, DWORD dueTime, DWORD period, ULONG flags) {
    Windows& w = g_state;
    SimTimer t;
    t.callback = callback;
    t.parameter = parameter;
    t.dueTime = dueTime;
    t.period = period;
    t.flags = flags;
    w.timers.push_back(t);
    *timer = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7000 + 4 * w.timers.size()));
    return TRUE;
}

// Without a completion event it does not wait: the timer goes (once its
// callback, if running, returns) and the call says ERROR_IO_PENDING.
BOOL WINAPI SimDeleteTimerQueueTimer(HANDLE, HANDLE timer, HANDLE completionEvent) {
    Windows& w = g_state;
    const size_t i = (reinterpret_cast<uintptr_t>(timer) - 0x7000) / 4 - 1;
    if (i >= w.timers.size() || w.timers[i].deleted) {
        ADD_FAILURE() << "a timer deleted that was not there";
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    w.timers[i].deleted = true;
    if (completionEvent == nullptr) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (w.runningTimer == static_cast<int>(i))
        ADD_FAILURE() << "a timer's callback waits for its own end";
    return TRUE;
}

BOOL WINAPI SimCloseHandle(HANDLE handle) {
    Windows& w = g_state;
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    auto kind = w.handles.find(h);
    if (kind != w.handles.end() && kind->second == HandleKind::Event) {
        w.CloseSimHandle(h, HandleKind::Event);
        w.events.erase(h);
        return TRUE;
    }
    if (!w.CloseSimHandle(h, HandleKind::File)) return FALSE;
    w.openFiles.erase(h);
    w.fileReadAt.erase(h);
    w.fileAccess.erase(h);
    return TRUE;
}

// ---- access lists ----

BOOL WINAPI SimGetFileSecurityA(LPCSTR path, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR out,
                                DWORD size, LPDWORD needed) {
    Windows& w = g_state;
    const std::string key = Lower(path);
    if (w.security.count(key) == 0 && w.files.count(key) != 0)
        w.SetAccess(path, "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)");
    auto found = w.security.find(key);
    *needed = found == w.security.end() ? 0 : static_cast<DWORD>(found->second.size());
    if (*needed == 0 || size < *needed) {
        SetLastError(*needed == 0 ? ERROR_FILE_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(out, found->second.data(), *needed);
    return TRUE;
}

// The accounts the tests name, as an English Windows names them.
BOOL WINAPI SimLookupAccountSidA(LPCSTR, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain,
                                 LPDWORD domainSize, PSID_NAME_USE) {
    static const char* const kAccounts[][3] = {
        {"S-1-5-18", "NT AUTHORITY", "SYSTEM"}, {"S-1-5-32-545", "BUILTIN", "Users"},
        {"S-1-5-11", "NT AUTHORITY", "Authenticated Users"},
        {"S-1-1-0", "", "Everyone"}};
    char* text = nullptr;
    ConvertSidToStringSidA(sid, &text);
    const std::string sidText = text ? text : "";
    LocalFree(text);
    for (const auto& a : kAccounts) {
        if (sidText != a[0] || *domainSize <= std::strlen(a[1]) || *nameSize <= std::strlen(a[2]))
            continue;
        std::strcpy(domain, a[1]);
        std::strcpy(name, a[2]);
        return TRUE;
    }
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
}

// ---- locks: the real ones, so threads in tests behave ----

void WINAPI SimInitializeCriticalSection(LPCRITICAL_SECTION cs) { InitializeCriticalSection(cs); }
void WINAPI SimEnterCriticalSection(LPCRITICAL_SECTION cs) { EnterCriticalSection(cs); }
void WINAPI SimLeaveCriticalSection(LPCRITICAL_SECTION cs) { LeaveCriticalSection(cs); }

// ---- ANSI code page ----

bool IsLead(unsigned char b) {
    return g_state.codePage == 932 && ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC));
}

BOOL WINAPI SimIsDBCSLeadByte(BYTE b) { return IsLead(b) ? TRUE : FALSE; }

UINT WINAPI SimGetACP() { return g_state.codePage; }

// Code page 932's double-byte characters that have an upper-case form in
// it, with the distance down to that form (same lead byte). The real call
// goes through UTF-16, so a character the code page encodes twice (rows
// 0xED-0xEE, part of row 0x87) also comes back in its other encoding; that
// is not modelled.
struct CaseRun {
    BYTE lead, first, last, down;
};
const CaseRun k932Lower[] = {
    {0x82, 0x81, 0x9A, 0x21},  // full-width a-z
    {0x83, 0xBF, 0xD6, 0x20},  // Greek
    {0x84, 0x70, 0x7E, 0x30},  // Cyrillic, before the gap at 0x7F
    {0x84, 0x80, 0x91, 0x31},
};

DWORD WINAPI SimCharUpperBuffA(LPSTR text, DWORD length) {
    if (g_state.failUpperCase > 0) {
        --g_state.failUpperCase;
        return 0;
    }
    unsigned char* p = reinterpret_cast<unsigned char*>(text);
    DWORD i = 0;
    while (i < length) {
        unsigned char b = p[i];
        if (IsLead(b) && i + 1 < length) {
            for (const CaseRun& run : k932Lower) {
                if (b == run.lead && p[i + 1] >= run.first && p[i + 1] <= run.last) {
                    p[i + 1] = static_cast<unsigned char>(p[i + 1] - run.down);
                    break;
                }
            }
            i += 2;
            continue;
        }
        if (b >= 'a' && b <= 'z') {
            p[i] = static_cast<unsigned char>(b - 0x20);
        } else if (g_state.codePage == 1252) {
            if ((b >= 0xE0 && b <= 0xFE && b != 0xF7)) p[i] = static_cast<unsigned char>(b - 0x20);
            else if (b == 0x9A || b == 0x9C || b == 0x9E) p[i] = static_cast<unsigned char>(b - 0x10);
            else if (b == 0xFF) p[i] = 0x9F;
        }
        ++i;
    }
    return length;
}

// Code page 1252's characters at 0x80-0x9F; 0 where it has none (the byte
// then stands for the control character of its own value).
const WCHAR k1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Code page 932's assigned double-byte characters. A trail byte is 0x40-0x7E
// or 0x80-0xFC; most lead bytes take every one, five take none, and the rows
// below only the runs listed.
const BYTE k932EmptyRows[] = {0x85, 0x86, 0xEB, 0xEC, 0xEF};
struct TrailRun {
    BYTE lead, first, last;
};
const TrailRun k932PartRows[] = {
    {0x81, 0x40, 0x7E}, {0x81, 0x80, 0xAC}, {0x81, 0xB8, 0xBF}, {0x81, 0xC8, 0xCE},
    {0x81, 0xDA, 0xE8}, {0x81, 0xF0, 0xF7}, {0x81, 0xFC, 0xFC}, {0x82, 0x4F, 0x58},
    {0x82, 0x60, 0x79}, {0x82, 0x81, 0x9A}, {0x82, 0x9F, 0xF1}, {0x83, 0x40, 0x7E},
    {0x83, 0x80, 0x96}, {0x83, 0x9F, 0xB6}, {0x83, 0xBF, 0xD6}, {0x84, 0x40, 0x60},
    {0x84, 0x70, 0x7E}, {0x84, 0x80, 0x91}, {0x84, 0x9F, 0xBE}, {0x87, 0x40, 0x5D},
    {0x87, 0x5F, 0x75}, {0x87, 0x7E, 0x7E}, {0x87, 0x80, 0x9C}, {0x88, 0x9F, 0xFC},
    {0x98, 0x40, 0x72}, {0x98, 0x9F, 0xFC}, {0xEA, 0x40, 0x7E}, {0xEA, 0x80, 0xA4},
    {0xEE, 0x40, 0x7E}, {0xEE, 0x80, 0xEC}, {0xEE, 0xEF, 0xFC}, {0xFC, 0x40, 0x4B},
};

bool Assigned932(BYTE lead, BYTE trail) {
    if (trail < 0x40 || trail == 0x7F || trail > 0xFC) return false;
    for (BYTE empty : k932EmptyRows)
        if (lead == empty) return false;
    bool partRow = false;
    for (const TrailRun& run : k932PartRows) {
        if (run.lead != lead) continue;
        if (trail >= run.first && trail <= run.last) return true;
        partRow = true;
    }
    return !partRow;
}

// The UTF-16 unit of an assigned double-byte character: the real one for the
// full-width digits and Latin letters, the kana and the Greek letters (what
// tests write), a private-use stand-in for the rest.
WCHAR Unit932(BYTE lead, BYTE trail) {
    if (lead == 0x81 && trail == 0x5C) return 0x2015;  // a dash whose trail byte is '\'
    if (lead == 0x82) {
        if (trail <= 0x58) return static_cast<WCHAR>(0xFF10 + trail - 0x4F);
        if (trail <= 0x79) return static_cast<WCHAR>(0xFF21 + trail - 0x60);
        if (trail <= 0x9A) return static_cast<WCHAR>(0xFF41 + trail - 0x81);
        return static_cast<WCHAR>(0x3041 + trail - 0x9F);
    }
    if (lead == 0x83) {
        if (trail <= 0x7E) return static_cast<WCHAR>(0x30A1 + trail - 0x40);
        if (trail <= 0x96) return static_cast<WCHAR>(0x30E0 + trail - 0x80);
        // Greek, upper then lower case; Unicode has a gap after rho in both.
        const int index = trail <= 0xB6 ? trail - 0x9F : trail - 0xBF;
        return static_cast<WCHAR>((trail <= 0xB6 ? 0x0391 : 0x03B1) + index + (index >= 17));
    }
    return static_cast<WCHAR>(0xE000 + trail);
}

// A single byte's UTF-16 unit in the code page in force.
WCHAR UnitOfByte(BYTE b) {
    if (g_state.codePage == 1252 && b >= 0x80 && b <= 0x9F && k1252High[b - 0x80] != 0)
        return k1252High[b - 0x80];
    if (g_state.codePage == 932) {
        // Half-width katakana, then the bytes Windows gives private-use characters.
        if (b >= 0xA1 && b <= 0xDF) return static_cast<WCHAR>(0xFF61 + b - 0xA1);
        if (b == 0xA0) return 0xF8F0;
        if (b >= 0xFD) return static_cast<WCHAR>(0xF8F1 + b - 0xFD);
    }
    return b;
}

// The length of the UTF-8 character at p (at most `left` bytes) and its
// code point; 0 when the bytes there start none, *valid then the length of
// the longest start of one. Overlong forms, surrogates and code points past
// U+10FFFF are none.
int Utf8Character(const unsigned char* p, int left, DWORD* point, int* valid) {
    const unsigned char b = p[0];
    const int extra = b < 0x80 ? 0 : b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2
                    : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
    *valid = 1;
    if (extra < 0) return 0;
    // The second byte's range narrows after E0, ED, F0 and F4.
    const unsigned char low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
    *point = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if (k >= left || p[k] < (k == 1 ? low : 0x80) || p[k] > (k == 1 ? high : 0xBF)) return 0;
        *point = (*point << 6) | (p[k] & 0x3F);
        *valid = k + 1;
    }
    return extra + 1;
}

// A lead byte must be followed by a trail byte that makes an assigned
// character; otherwise the strict conversion refuses the text and the loose
// one gives the code page's default character for it. In UTF-8 (CP_UTF8,
// or the ANSI code page 65001) the loose one gives U+FFFD for each longest
// start of a character that ends too soon, and for each other stray byte.
int WINAPI SimMultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length,
                                  LPWSTR wide, int wideLength) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const bool utf8 = codePage == CP_UTF8 || (codePage == CP_ACP && g_state.codePage == CP_UTF8);
    if (length < 0) length = static_cast<int>(std::strlen(text)) + 1;
    int chars = 0;
    for (int i = 0; i < length;) {
        DWORD point = 0;
        if (utf8) {
            int valid = 0;
            const int size = Utf8Character(p + i, length - i, &point, &valid);
            if (size == 0 && (flags & MB_ERR_INVALID_CHARS)) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            if (size == 0) point = 0xFFFD;
            i += size ? size : valid;
        } else if (IsLead(p[i])) {
            const bool whole = i + 1 < length && Assigned932(p[i], p[i + 1]);
            if (!whole && (flags & MB_ERR_INVALID_CHARS)) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            point = whole ? Unit932(p[i], p[i + 1]) : 0x30FB;
            i += 2;
        } else {
            point = UnitOfByte(p[i]);
            i += 1;
        }
        // Past U+FFFF: a surrogate pair.
        const WCHAR units[2] = {
            static_cast<WCHAR>(point > 0xFFFF ? 0xD800 + ((point - 0x10000) >> 10) : point),
            static_cast<WCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF))};
        for (int u = 0; u < (point > 0xFFFF ? 2 : 1); ++u, ++chars) {
            if (wideLength == 0) continue;  // counting only
            if (chars >= wideLength) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            wide[chars] = units[u];
        }
    }
    return chars;
}

// The inverse of SimMultiByteToWideChar: the first byte or byte pair that
// gives the unit, else the default "?" and usedDefault set. Without
// WC_NO_BEST_FIT_CHARS a few letters go to look-alikes, as Windows does.
int WINAPI SimWideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength,
                                  LPSTR text, int length, LPCSTR, LPBOOL usedDefault) {
    // UTF-8 takes no flag but WC_ERR_INVALID_CHARS and no used-default
    // argument; Windows documents each error, not which comes first.
    const bool utf8 = codePage == CP_UTF8 || (codePage == CP_ACP && g_state.codePage == CP_UTF8);
    // The lack's flag is taken with CP_UTF8 or 54936 named, not with CP_ACP
    // even where the ANSI code page is UTF-8 (Wine takes it with any).
    if ((flags & WC_ERR_INVALID_CHARS) && codePage != CP_UTF8 && codePage != 54936) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (utf8 && (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (utf8 && usedDefault != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string out;
    for (int i = 0; i < wideLength; ++i) {
        DWORD unit = wide[i];
        std::string bytes;
        if (utf8) {
            const bool high = unit >= 0xD800 && unit <= 0xDBFF;
            const bool paired = high && i + 1 < wideLength && wide[i + 1] >= 0xDC00 &&
                                wide[i + 1] <= 0xDFFF;
            if (paired) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (wide[++i] - 0xDC00u);
            } else if (unit >= 0xD800 && unit <= 0xDFFF) {
                // A lone surrogate: refused, or the replacement character.
                if (flags & WC_ERR_INVALID_CHARS) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                unit = 0xFFFD;
            }
            const int extra = unit < 0x80 ? 0 : unit < 0x800 ? 1 : unit < 0x10000 ? 2 : 3;
            static const BYTE kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
            bytes += static_cast<char>(kLead[extra] | (unit >> (6 * extra)));
            for (int k = extra - 1; k >= 0; --k)
                bytes += static_cast<char>(0x80 | ((unit >> (6 * k)) & 0x3F));
        }
        for (int b = 0; b < 256 && bytes.empty(); ++b)
            if (!IsLead(static_cast<BYTE>(b)) && UnitOfByte(static_cast<BYTE>(b)) == unit)
                bytes = std::string(1, static_cast<char>(b));
        for (int lead = 0x81; lead <= 0xFC && bytes.empty() && g_state.codePage == 932; ++lead)
            for (int trail = 0x40; trail <= 0xFC && bytes.empty(); ++trail)
                if (IsLead(static_cast<BYTE>(lead)) && Assigned932(lead, trail) &&
                    Unit932(lead, trail) == unit)
                    bytes = {static_cast<char>(lead), static_cast<char>(trail)};
        if (bytes.empty() && !(flags & WC_NO_BEST_FIT_CHARS) && (unit == 0x0151 || unit == 0x0150))
            bytes = unit == 0x0151 ? "o" : "O";
        if (bytes.empty()) {
            bytes = "?";
            if (usedDefault != nullptr) *usedDefault = TRUE;
        }
        out += bytes;
    }
    if (length == 0) return static_cast<int>(out.size());
    if (static_cast<int>(out.size()) > length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(text, out.data(), out.size());
    return static_cast<int>(out.size());
}

// ---- the process's token: elevated when the simulated user is an administrator ----

BOOL WINAPI SimOpenProcessToken(HANDLE, DWORD, PHANDLE token) {
    *token = reinterpret_cast<HANDLE>(g_state.NewHandle(HandleKind::File));
    return TRUE;
}

// Before Vista the elevation is unknown. An elevated token outside
// Administrators (a Backup Operator's) is elevated too.
BOOL WINAPI SimGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS kind, LPVOID info, DWORD size,
                                   PDWORD returned) {
    *returned = sizeof(DWORD);
    if (kind != TokenElevation || g_state.tokenElevationUnknown || size < *returned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *static_cast<DWORD*>(info) = Scm().admin || g_state.elevatedNonAdministrator ? 1 : 0;
    return TRUE;
}

// Administrators is the one group asked about; an administrator is in it.
BOOL WINAPI SimCheckTokenMembership(HANDLE token, PSID sid, PBOOL member) {
    char* text = nullptr;
    if (token != nullptr || !ConvertSidToStringSidA(sid, &text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *member = std::strcmp(text, "S-1-5-32-544") == 0 && Scm().admin;
    LocalFree(text);
    return TRUE;
}

// ---- registry ----

int EffectiveView(REGSAM sam) {
    const Windows& w = g_state;
    if (!w.machine64) return static_cast<int>(RegView::View32);
    if (sam & KEY_WOW64_64KEY) return static_cast<int>(RegView::View64);
    if (sam & KEY_WOW64_32KEY) return static_cast<int>(RegView::View32);
    return static_cast<int>(w.processWow64 ? RegView::View32 : RegView::View64);
}

// A key's rights with the generic ones mapped, the view flags dropped.
REGSAM KeyRights(REGSAM sam) {
    REGSAM rights = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY | GENERIC_READ | GENERIC_WRITE |
                            GENERIC_EXECUTE | GENERIC_ALL);
    if (sam & (GENERIC_READ | GENERIC_EXECUTE)) rights |= KEY_READ;
    if (sam & GENERIC_WRITE) rights |= KEY_WRITE;
    if (sam & GENERIC_ALL) rights |= KEY_ALL_ACCESS;
    return rights;
}

// HKLM's keys let a standard user read, never write: no value set, no key
// made or removed, no access list or owner changed.
bool UserMayOpen(REGSAM sam) {
    const REGSAM writes =
        KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
    return Scm().admin || (KeyRights(sam) & writes) == 0;
}

std::string Spelled(const std::string& path) {
    std::string p = path;
    while (!p.empty() && p.back() == '\\') p.pop_back();
    return p;
}

// The key a path names from a root, HKEY_LOCAL_MACHINE or an open key: its
// view, its index path and its path as spelled. Fails with the error a
// call through root gets: an unknown handle, or a key deleted meanwhile.
LONG Resolve(HKEY root, const char* subKey, REGSAM sam, OpenKey* key) {
    Windows& w = g_state;
    const std::string sub = subKey ? subKey : "";
    if (root == HKEY_LOCAL_MACHINE) {
        *key = {EffectiveView(sam), NormalKey(sub), Spelled(sub), 0, false};
        return ERROR_SUCCESS;
    }
    auto k = w.openKeys.find(reinterpret_cast<uintptr_t>(root));
    if (k == w.openKeys.end()) return ERROR_INVALID_HANDLE;
    if (k->second.deleted) return ERROR_KEY_DELETED;
    const OpenKey& parent = k->second;
    *key = {parent.view, NormalKey(parent.path + "\\" + sub),
            sub.empty() ? parent.spelled : parent.spelled + "\\" + Spelled(sub), 0, false};
    return ERROR_SUCCESS;
}

HKEY NewKeyHandle(OpenKey key, REGSAM sam) {
    Windows& w = g_state;
    key.granted = KeyRights(sam);
    uintptr_t h = w.NewHandle(HandleKind::RegKey);
    w.openKeys[h] = key;
    return reinterpret_cast<HKEY>(h);
}

// An open key that a call may use, with the rights it needs; null with the
// error otherwise.
const OpenKey* UsableKey(HKEY handle, REGSAM needs, LONG* error) {
    Windows& w = g_state;
    auto k = w.openKeys.find(reinterpret_cast<uintptr_t>(handle));
    *error = k == w.openKeys.end()                   ? ERROR_INVALID_HANDLE
             : k->second.deleted                     ? ERROR_KEY_DELETED
             : (k->second.granted & needs) != needs ? ERROR_ACCESS_DENIED
                                                     : ERROR_SUCCESS;
    return *error == ERROR_SUCCESS ? &k->second : nullptr;
}

LONG WINAPI SimRegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM sam, PHKEY out) {
    Windows& w = g_state;
    OpenKey key;
    LONG result = Resolve(root, subKey, sam, &key);
    if (result != ERROR_SUCCESS) return result;
    result = !w.KeyExists(key.view, key.path) ? ERROR_FILE_NOT_FOUND
             : !UserMayOpen(sam)              ? ERROR_ACCESS_DENIED
                                              : ERROR_SUCCESS;
    w.regOpens.push_back({subKey ? subKey : "", sam, result});
    if (result != ERROR_SUCCESS) return result;
    *out = NewKeyHandle(key, sam);
    return ERROR_SUCCESS;
}

LONG WINAPI SimRegQueryValueExA(HKEY handle, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size) {
    Windows& w = g_state;
    // Another process may change the registry just before the read.
    if (w.onRegQuery) w.onRegQuery(name ? name : "");
    LONG error;
    const OpenKey* key = UsableKey(handle, KEY_QUERY_VALUE, &error);
    if (key == nullptr) return error;
    if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
    const RegValue* v = w.FindValue(static_cast<RegView>(key->view), key->path, name ? name : "");
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    DWORD needed = static_cast<DWORD>(v->data.size());
    if (data == nullptr) {
        if (size) *size = needed;
        return ERROR_SUCCESS;
    }
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, v->data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LONG WINAPI SimRegSetValueExA(HKEY handle, LPCSTR name, DWORD, DWORD type, const BYTE* data,
                              DWORD size) {
    Windows& w = g_state;
    ++w.regSets;
    LONG error;
    const OpenKey* key = UsableKey(handle, KEY_SET_VALUE, &error);
    if (key == nullptr) return error;
    w.regSetNames.push_back(name ? name : "");
    if (w.regSetFails) return ERROR_ACCESS_DENIED;
    w.SetValue(static_cast<RegView>(key->view), key->path, name ? name : "", type,
               std::string(reinterpret_cast<const char*>(data), size));
    return ERROR_SUCCESS;
}

LONG WINAPI SimRegCloseKey(HKEY key) {
    Windows& w = g_state;
    uintptr_t h = reinterpret_cast<uintptr_t>(key);
    if (!w.CloseSimHandle(h, HandleKind::RegKey)) return ERROR_INVALID_HANDLE;
    w.openKeys.erase(h);
    return ERROR_SUCCESS;
}

// Creates the missing keys of the path, as Windows does, and opens the last.
// Whether a key may be made is the parent key's security to say, not the
// rights its handle was opened with.
LONG WINAPI SimRegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM sam,
                               LPSECURITY_ATTRIBUTES, PHKEY out, LPDWORD disposition) {
    Windows& w = g_state;
    OpenKey key;
    LONG result = Resolve(root, subKey, sam, &key);
    if (result != ERROR_SUCCESS) return result;
    w.regCreates.push_back({key.spelled, options, w.regCreateFails});
    if (w.regCreateFails != ERROR_SUCCESS) return w.regCreateFails;
    const bool exists = w.KeyExists(key.view, key.path);
    if (!UserMayOpen(sam) || (!exists && !Scm().admin)) return ERROR_ACCESS_DENIED;
    if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    w.AddKey(key.path, static_cast<RegView>(key.view));
    *out = NewKeyHandle(key, sam);
    return ERROR_SUCCESS;
}

// Removes a key that has no subkeys, as Windows does. The handle's own
// rights do not matter: the key removed is opened for deletion itself.
LONG WINAPI SimRegDeleteKeyA(HKEY root, LPCSTR subKey) {
    Windows& w = g_state;
    OpenKey key;
    LONG result = Resolve(root, subKey, 0, &key);
    if (result != ERROR_SUCCESS) return result;
    w.regDeletes.push_back(key.spelled);
    if (!w.KeyExists(key.view, key.path)) return ERROR_FILE_NOT_FOUND;
    if (!Scm().admin) return ERROR_ACCESS_DENIED;
    for (const auto& v : w.registry)
        for (const auto& k : v)
            if (k.first.compare(0, key.path.size() + 1, key.path + "\\") == 0)
                return ERROR_ACCESS_DENIED;
    w.DeleteKey(key.path);
    return ERROR_SUCCESS;
}

// Removes a key with its subkeys and values; with no subkey named, only
// what the key holds. A stale key a test plants may be made to stay.
LONG WINAPI SimRegDeleteTreeA(HKEY root, LPCSTR subKey) {
    Windows& w = g_state;
    LONG error;
    // The rights the removal asks of the key it is given.
    if (root != HKEY_LOCAL_MACHINE &&
        UsableKey(root, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &error) == nullptr)
        return error;
    OpenKey key;
    error = Resolve(root, subKey, 0, &key);
    if (error != ERROR_SUCCESS) return error;
    w.regDeletes.push_back(key.spelled);
    if (!w.KeyExists(key.view, key.path)) return ERROR_FILE_NOT_FOUND;
    if (w.regDeleteTreeFails != ERROR_SUCCESS) return w.regDeleteTreeFails;
    if (!Scm().admin) return ERROR_ACCESS_DENIED;
    w.DeleteKey(key.path);
    if (subKey == nullptr) w.AddKey(key.path, static_cast<RegView>(key.view));
    return ERROR_SUCCESS;
}

void WINAPI SimGetSystemTime(LPSYSTEMTIME time) { *time = g_state.utcNow; }

// Windows' own arithmetic, with the simulation's zone standing for the one in force.
BOOL WINAPI SimSystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone,
                                               const SYSTEMTIME* utc, LPSYSTEMTIME local) {
    return ::SystemTimeToTzSpecificLocalTime(zone ? zone : &g_state.timeZone, utc, local);
}

int WriteStdoutSim(const char* text) {
    g_state.stdoutText += text;
    return static_cast<int>(std::strlen(text));
}

int WriteStderrSim(const char* text) {
    g_state.stderrText += text;
    return static_cast<int>(std::strlen(text));
}

// Standard handles: fixed values outside the counted ones, never closed.
const uintptr_t kStdOutput = 0x11;
const uintptr_t kStdError = 0x12;

HANDLE WINAPI SimGetStdHandle(DWORD which) {
    if (which == STD_OUTPUT_HANDLE) return reinterpret_cast<HANDLE>(kStdOutput);
    if (which == STD_ERROR_HANDLE) return reinterpret_cast<HANDLE>(kStdError);
    return nullptr;
}

bool IsConsole(HANDLE h) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return (v == kStdOutput && g_state.stdoutConsole) || (v == kStdError && g_state.stderrConsole);
}

BOOL WINAPI SimGetConsoleMode(HANDLE console, LPDWORD mode) {
    if (!IsConsole(console)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *mode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
    return TRUE;
}

BOOL WINAPI SimWriteConsoleW(HANDLE console, const VOID* text, DWORD count, LPDWORD written,
                             LPVOID) {
    if (!IsConsole(console)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_state.consoleText.append(static_cast<const WCHAR*>(text), count);
    if (written) *written = count;
    return TRUE;
}

}  // namespace

std::string Lower(const std::string& text) {
    std::string s = text;
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

uintptr_t Windows::NewHandle(HandleKind kind) {
    uintptr_t h = nextHandle;
    nextHandle += 4;
    handles[h] = kind;
    return h;
}

bool Windows::CloseSimHandle(uintptr_t h, HandleKind kind) {
    auto it = handles.find(h);
    if (it == handles.end() || it->second != kind) {
        ++badCloses;
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    handles.erase(it);
    return true;
}

void Windows::SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId,
                         WORD productType) {
    ForgetHostCode();  // the product classifies once per process
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = build;
    version.dwPlatformId = platformId;
    version.wProductType = productType;
}

static const char kEnvironment[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";

std::string VersionBlock(WORD major, WORD minor, WORD patch, WORD build) {
    const wchar_t key[] = L"VS_VERSION_INFO";
    VS_FIXEDFILEINFO fixed = {};
    fixed.dwSignature = 0xFEEF04BD;
    fixed.dwStrucVersion = 0x10000;
    fixed.dwFileVersionMS = static_cast<DWORD>(major) << 16 | minor;
    fixed.dwFileVersionLS = static_cast<DWORD>(patch) << 16 | build;
    fixed.dwProductVersionMS = fixed.dwFileVersionMS;
    fixed.dwProductVersionLS = fixed.dwFileVersionLS;
    std::string block(40 + sizeof fixed, '\0');
    const WORD head[3] = {static_cast<WORD>(block.size()), sizeof fixed, 0};
    std::memcpy(&block[0], head, sizeof head);
    for (size_t i = 0; i < sizeof key / sizeof key[0]; ++i) {
        block[6 + 2 * i] = static_cast<char>(key[i] & 0xFF);
        block[7 + 2 * i] = static_cast<char>(key[i] >> 8);
    }
    std::memcpy(&block[40], &fixed, sizeof fixed);
    return block;
}

void Windows::SetArchitecture(const char* arch) {
    ForgetHostCode();
    const std::string name = arch ? arch : "";
    nativeMachine = name == "AMD64"   ? IMAGE_FILE_MACHINE_AMD64
                    : name == "ARM64" ? IMAGE_FILE_MACHINE_ARM64
                                      : IMAGE_FILE_MACHINE_I386;
    for (auto& view : registry) {
        auto k = view.find(NormalKey(kEnvironment));
        if (k != view.end()) k->second.erase("processor_architecture");
    }
    if (arch) SetString(kEnvironment, "PROCESSOR_ARCHITECTURE", arch);
    else AddKey(kEnvironment);
}

void Windows::SetHostCode(int code) {
    bool amd64 = code == 8 || code == 11 || code == 13;
    machine64 = amd64;
    processWow64 = amd64;
    SetArchitecture(amd64 ? "AMD64" : "x86");
    switch (code) {
        case 1: SetVersion(4, 0, 950, VER_PLATFORM_WIN32_WINDOWS); break;
        case 2: SetVersion(4, 10, 1998, VER_PLATFORM_WIN32_WINDOWS); break;
        case 3: SetVersion(4, 10, 2222, VER_PLATFORM_WIN32_WINDOWS); break;
        case 4: SetVersion(4, 90, 3000, VER_PLATFORM_WIN32_WINDOWS); break;
        case 5: SetVersion(4, 0, 1381); break;
        case 6: SetVersion(5, 0, 2195); break;
        case 7: SetVersion(5, 1, 2600); break;
        case 8: case 9: SetVersion(5, 2, 3790); break;
        case 10: case 11: SetVersion(6, 0, 6002); break;
        case 12: case 13: SetVersion(6, 1, 7601); break;
        case 14: SetVersion(6, 0, 6002, 2, VER_NT_SERVER); break;
        default: SetVersion(3, 51, 1057); break;
    }
}

void Windows::AddKey(const std::string& path, RegView view) {
    std::string p = NormalKey(path);
    // Every ancestor exists too.
    for (size_t pos = p.find('\\'); pos != std::string::npos; pos = p.find('\\', pos + 1))
        registry[static_cast<int>(view)][p.substr(0, pos)];
    registry[static_cast<int>(view)][p];
}

void Windows::SetValue(RegView view, const std::string& path, const std::string& name, DWORD type,
                       const std::string& data) {
    AddKey(path, view);
    RegValue& value = registry[static_cast<int>(view)][NormalKey(path)][Lower(name)];
    value = {type, data, value.name.empty() ? name : value.name};
}

void Windows::SetString(const std::string& path, const std::string& name, const std::string& text,
                        RegView view) {
    SetValue(view, path, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

bool Windows::KeyExists(int view, const std::string& path) const {
    std::string p = NormalKey(path);
    if (p.empty()) return true;
    return registry[view].count(p) || registry[static_cast<int>(RegView::Shared)].count(p);
}

const RegValue* Windows::FindValue(RegView view, const std::string& path,
                                   const std::string& name) const {
    std::string p = NormalKey(path);
    for (int v : {static_cast<int>(view), static_cast<int>(RegView::Shared)}) {
        auto k = registry[v].find(p);
        if (k == registry[v].end()) continue;
        auto val = k->second.find(Lower(name));
        if (val != k->second.end()) return &val->second;
    }
    return nullptr;
}

void Windows::DeleteKey(const std::string& path) {
    std::string p = NormalKey(path);
    for (auto& open : openKeys)
        if (open.second.path == p || open.second.path.compare(0, p.size() + 1, p + "\\") == 0)
            open.second.deleted = true;
    for (auto& view : registry) {
        for (auto it = view.begin(); it != view.end();) {
            if (it->first == p || it->first.compare(0, p.size() + 1, p + "\\") == 0)
                it = view.erase(it);
            else
                ++it;
        }
    }
}

void Windows::WriteFile(const std::string& path, const std::string& text) {
    files[Lower(path)] = text;
}

void Windows::SetAccess(const std::string& path, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG length = 0;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                         &length);
    security[Lower(path)].assign(static_cast<const char*>(descriptor), length);
    LocalFree(descriptor);
}

SimDevice& Windows::AddDevice(const std::string& path) { return devices[Lower(path)]; }

int Windows::LiveTimers() const {
    int live = 0;
    for (const SimTimer& t : timers) live += t.deleted ? 0 : 1;
    return live;
}

bool Windows::FireTimer() {
    for (size_t i = 0; i < timers.size(); ++i) {
        if (timers[i].deleted || timers[i].fired) continue;
        timers[i].fired = true;
        runningTimer = static_cast<int>(i);
        timers[i].callback(timers[i].parameter, TRUE);
        runningTimer = -1;
        return true;
    }
    return false;
}

void Windows::CompleteHeld(const std::string& path) {
    for (size_t i = 0; i < pending.size();) {
        if (Lower(openFiles[pending[i].file]) != Lower(path)) {
            ++i;
            continue;
        }
        Complete(pending[i].overlapped, 0, 4);
        pending.erase(pending.begin() + i);
    }
}

SimDevice* Windows::FindDevice(const std::string& path) {
    auto it = devices.find(Lower(path));
    return it == devices.end() ? nullptr : &it->second;
}

Windows& State() { return g_state; }

void BindCore(Win32Api& api) {
    api.GetModuleHandleA = SimGetModuleHandleA;
    api.GetProcAddress = SimGetProcAddress;
    api.GetModuleFileNameA = SimGetModuleFileNameA;
    api.GetModuleFileNameW = SimGetModuleFileNameW;
    api.WideCharToMultiByte = SimWideCharToMultiByte;
    api.OpenProcessToken = SimOpenProcessToken;
    api.GetTokenInformation = SimGetTokenInformation;
    api.CheckTokenMembership = SimCheckTokenMembership;
    api.GetCommandLineA = SimGetCommandLineA;
    api.GetCurrentProcess = SimGetCurrentProcess;
    api.GetVersionExA = SimGetVersionExA;
    api.GetPrivateProfileStringA = SimGetPrivateProfileStringA;
    api.GetProcessHeap = SimGetProcessHeap;
    api.HeapAlloc = SimHeapAlloc;
    api.HeapFree = SimHeapFree;
    api.CreateFileA = SimCreateFileA;
    api.DeviceIoControl = SimDeviceIoControl;
    api.CloseHandle = SimCloseHandle;
    api.CreateEventA = SimCreateEventA;
    api.WaitForSingleObject = SimWaitForSingleObject;
    api.CancelIo = SimCancelIo;
    api.GetOverlappedResult = SimGetOverlappedResult;
    api.CreateTimerQueueTimer = SimCreateTimerQueueTimer;
    api.DeleteTimerQueueTimer = SimDeleteTimerQueueTimer;
    api.ReadFile = SimReadFile;
    api.GetFileSecurityA = SimGetFileSecurityA;
    // Reads the descriptor it is given, nothing else: the real one.
    api.GetSecurityDescriptorDacl = ::GetSecurityDescriptorDacl;
    api.GetSecurityDescriptorOwner = ::GetSecurityDescriptorOwner;
    api.LookupAccountSidA = SimLookupAccountSidA;
    api.LoadLibraryExA = SimLoadLibraryExA;
    api.FreeLibrary = SimFreeLibrary;
    api.FindResourceA = SimFindResourceA;
    api.LoadResource = SimLoadResource;
    api.LockResource = SimLockResource;
    api.SizeofResource = SimSizeofResource;
    api.GetNativeSystemInfo = SimGetNativeSystemInfo;
    api.Wow64DisableWow64FsRedirection = SimWow64DisableWow64FsRedirection;
    api.Wow64RevertWow64FsRedirection = SimWow64RevertWow64FsRedirection;
    api.GetStdHandle = SimGetStdHandle;
    api.GetConsoleMode = SimGetConsoleMode;
    api.WriteConsoleW = SimWriteConsoleW;
    // The simulation's calls set the thread's error as Windows would.
    api.GetLastError = ::GetLastError;
    api.InitializeCriticalSection = SimInitializeCriticalSection;
    api.EnterCriticalSection = SimEnterCriticalSection;
    api.LeaveCriticalSection = SimLeaveCriticalSection;
    api.GetACP = SimGetACP;
    api.IsDBCSLeadByte = SimIsDBCSLeadByte;
    api.CharUpperBuffA = SimCharUpperBuffA;
    api.MultiByteToWideChar = SimMultiByteToWideChar;
    api.RegOpenKeyExA = SimRegOpenKeyExA;
    api.RegQueryValueExA = SimRegQueryValueExA;
    api.RegSetValueExA = SimRegSetValueExA;
    api.RegCloseKey = SimRegCloseKey;
    api.RegCreateKeyExA = SimRegCreateKeyExA;
    api.RegDeleteKeyA = SimRegDeleteKeyA;
    api.RegDeleteTreeA = SimRegDeleteTreeA;
    api.GetSystemTime = SimGetSystemTime;
    api.SystemTimeToTzSpecificLocalTime = SimSystemTimeToTzSpecificLocalTime;
    api.WriteStdout = WriteStdoutSim;
    api.WriteStderr = WriteStderrSim;
}

const Win32Api& Api() { return g_api; }

void UseSimulatedWindows() {
    for (void* block : g_state.heapBlocks) std::free(block);
    g_state = Windows();
    g_state.SetHostCode(12);
    ResetSetupApi();
    ResetServices();
    g_api = Win32Api();
    BindCore(g_api);
    BindSetupApi(g_api);
    BindServices(g_api);
    SetWin32Api(&g_api);
    // The product looks this up once before main; look again in the simulation.
    LookUpIsWow64Process();
}

void UseRealWindows() {
    SetWin32Api(nullptr);
    ForgetHostCode();
    LookUpIsWow64Process();
}

}  // namespace sim
