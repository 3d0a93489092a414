#include "host/registry_reader.h"

#include "host/host_classify.h"
#include "platform/win32_api.h"

IsWow64ProcessFn IsWow64ProcessEntry = nullptr;

void LookUpIsWow64Process() {
    HMODULE kernel32 = Win().GetModuleHandleA("kernel32.dll");
    IsWow64ProcessEntry = kernel32 ? reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(
                                         Win().GetProcAddress(kernel32, "IsWow64Process")))
                                   : nullptr;
}

namespace {
// Runs before main, while the process has one thread.
[[maybe_unused]] const int kLookedUp = (LookUpIsWow64Process(), 1);
}  // namespace

bool ProcessIsWow64() {
    if (IsWow64ProcessEntry == nullptr) return false;
    // The entry itself came through the seam. Its result is not consulted:
    // a failed call leaves the flag false.
    BOOL wow64 = FALSE;
    IsWow64ProcessEntry(Win().GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

REGSAM RegistryAccessMask(int hostCode, bool wow64) {
    if (hostCode >= kHostXp64 && wow64) return KEY_READ | KEY_WOW64_32KEY;
    return KEY_READ;
}

int ReadRegistryValue(const char* subKey, const char* valueName, DWORD* type, BYTE* data,
                      DWORD* size) {
    const int hostCode = HostCode();

    // Asked only where the view matters.
    const bool wow64 = hostCode >= kHostXp64 && ProcessIsWow64();

    HKEY key = nullptr;
    if (Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, RegistryAccessMask(hostCode, wow64),
                            &key) != ERROR_SUCCESS) {
        return kRegistryKeyUnopened;
    }
    LONG rc = Win().RegQueryValueExA(key, valueName, nullptr, type, data, size);
    Win().RegCloseKey(key);
    return rc == ERROR_SUCCESS ? kRegistryValueRead : kRegistryValueUnread;
}
