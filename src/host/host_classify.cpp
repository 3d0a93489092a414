#include "host/host_classify.h"

#include <atomic>
#include <cstring>

#include "platform/win32_api.h"

namespace {

const char kEnvironmentKey[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
const DWORD kArchitectureCapacity = 128;
const int kNotYetClassified = -1;

// Written by whichever thread classifies first; every thread computes the
// same value, so a race only repeats the work.
std::atomic<int> g_hostCode{kNotYetClassified};

}  // namespace

int ClassifyVersion(const VersionFields& v, bool amd64) {
    if (v.major >= 6) {
        if (v.minor >= 1) return amd64 ? 13 : 12;
        if (v.productType >= 3) return 14;
        return amd64 ? 11 : 10;
    }
    if (v.major == 5) {
        if (v.minor >= 2) return amd64 ? 8 : 9;
        return v.minor == 1 ? 7 : 6;
    }
    if (v.major == 4) {
        if (v.minor >= 90) return 4;
        if (v.minor >= 10) return v.build < 2000 ? 2 : 3;
        return v.platformId < 2 ? 1 : 5;
    }
    return kHostUnsupported;
}

bool IsAmd64Host() {
    HKEY key = nullptr;
    if (Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }

    char text[kArchitectureCapacity];
    DWORD type = 0;
    DWORD size = sizeof text;
    bool amd64 = false;
    if (Win().RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", nullptr, &type,
                               reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS) {
        // The stored data need not carry its own terminator.
        text[size < sizeof text ? size : sizeof text - 1] = '\0';
        amd64 = std::strcmp(text, "AMD64") == 0;
    }
    Win().RegCloseKey(key);
    return amd64;
}

int ReadVersionFields(VersionFields* version) {
    // A failed query leaves the record zeroed, which reads as unsupported.
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    const BOOL read = Win().GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
    *version = {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, info.dwPlatformId,
                info.wProductType};
    return read ? 1 : 0;
}

int ClassifyHost(int* code) {
    *code = kHostUnsupported;
    bool amd64 = IsAmd64Host();
    VersionFields v;
    ReadVersionFields(&v);
    *code = ClassifyVersion(v, amd64);
    return *code == kHostUnsupported ? kHostTooOld : kHostClassified;
}

int HostCode() {
    int code = g_hostCode.load();
    if (code == kNotYetClassified) {
        ClassifyHost(&code);
        g_hostCode.store(code);
    }
    return code;
}

void ForgetHostCode() { g_hostCode.store(kNotYetClassified); }
