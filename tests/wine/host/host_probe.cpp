// Runs the host facts and the settings reader against the Windows it is
// started on and prints what they found, one "name=value" line per fact,
// for host_checks.sh to compare with what the prefix was set up to be.
//
//   host_probe classify
//   host_probe read SUBKEY VALUE          (ReadRegistryValue, 256-byte buffer)
//   host_probe setting SECTION KEY DEFAULT CAPACITY
//   host_probe name                       (DeriveServiceName)
//   host_probe manifest EXE               (its RT_MANIFEST resource 1, as stored)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "host/host_classify.h"
#include "host/registry_reader.h"
#include "platform/win32_api.h"

namespace {

const DWORD kDataCapacity = 256;
const DWORD kMaxSettingCapacity = 512;

// The real table with the key opens recorded, so the mask the reader chose
// can be told apart from the view WOW64 would pick anyway.
Win32Api g_recording;
REGSAM g_lastSam = 0;
IsWow64ProcessFn g_realIsWow64Process = nullptr;
int g_wow64Calls = 0;

LONG WINAPI RecordingRegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM sam,
                                   PHKEY out) {
    g_lastSam = sam;
    return RealWin32Api().RegOpenKeyExA(root, subKey, options, sam, out);
}

BOOL WINAPI CountingIsWow64Process(HANDLE process, PBOOL wow64) {
    ++g_wow64Calls;
    return g_realIsWow64Process(process, wow64);
}

int Classify() {
    int code = -1;
    int result = ClassifyHost(&code);
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
    BOOL wow64 = FALSE;
    if (IsWow64ProcessEntry != nullptr) IsWow64ProcessEntry(GetCurrentProcess(), &wow64);
    std::printf("result=%d\ncode=%d\namd64=%d\nversion=%lu.%lu.%lu\nproduct=%u\n", result, code,
                IsAmd64Host() ? 1 : 0, info.dwMajorVersion, info.dwMinorVersion,
                info.dwBuildNumber, static_cast<unsigned>(info.wProductType));
    std::printf("entry=%d\nwow64=%d\n", IsWow64ProcessEntry != nullptr ? 1 : 0, wow64 ? 1 : 0);
    return 0;
}

int Read(const char* subKey, const char* valueName) {
    g_recording = RealWin32Api();
    g_recording.RegOpenKeyExA = RecordingRegOpenKeyExA;
    SetWin32Api(&g_recording);
    // The entry found before main ran, counted on its way through.
    g_realIsWow64Process = IsWow64ProcessEntry;
    if (g_realIsWow64Process != nullptr) IsWow64ProcessEntry = CountingIsWow64Process;

    char data[kDataCapacity + 1];
    std::memset(data, 0, sizeof data);
    DWORD type = 0;
    DWORD size = kDataCapacity;
    // Host classification opens a key of its own first: the reader's open is the last one.
    int result = ReadRegistryValue(subKey, valueName, &type, reinterpret_cast<BYTE*>(data), &size);
    SetWin32Api(nullptr);
    IsWow64ProcessEntry = g_realIsWow64Process;
    std::printf("result=%d\nsam=0x%lx\nwow64calls=%d\n", result,
                static_cast<unsigned long>(g_lastSam), g_wow64Calls);
    if (result == 1) {
        std::printf("type=%lu\nsize=%lu\n", type, size);
        if (type == REG_SZ) std::printf("data=%s\n", data);
    }
    return 0;
}

int Setting(const char* section, const char* key, const char* def, const char* capacityText) {
    long capacity = std::strtol(capacityText, nullptr, 10);
    if (capacity <= 0 || capacity > static_cast<long>(kMaxSettingCapacity)) return 2;
    char dest[kMaxSettingCapacity];
    std::memset(dest, 'X', sizeof dest);
    int result = ReadSetting(section, key, def, dest, static_cast<DWORD>(capacity));
    std::printf("result=%d\nlength=%u\nvalue=[%s]\n", result,
                static_cast<unsigned>(std::strlen(dest)), dest);
    return 0;
}

int Name() {
    int result = DeriveServiceName();
    std::printf("result=%d\nname=[%s]\n", result, ServiceName);
    return 0;
}

// Loaded as data: nothing of it runs, and a manifest it lacks is an error.
int Manifest(const char* exe) {
    int rc = 1;
    HMODULE module = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))
                         : nullptr;
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes != nullptr) {
        std::fwrite(bytes, 1, SizeofResource(module, found), stdout);
        rc = 0;
    } else {
        std::fprintf(stderr, "no manifest resource 1 in %s (error %lu)\n", exe, GetLastError());
    }
    if (module != nullptr) FreeLibrary(module);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 2;
    if (argc == 2 && std::strcmp(argv[1], "classify") == 0) rc = Classify();
    else if (argc == 4 && std::strcmp(argv[1], "read") == 0) rc = Read(argv[2], argv[3]);
    else if (argc == 6 && std::strcmp(argv[1], "setting") == 0)
        rc = Setting(argv[2], argv[3], argv[4], argv[5]);
    else if (argc == 2 && std::strcmp(argv[1], "name") == 0) rc = Name();
    else if (argc == 3 && std::strcmp(argv[1], "manifest") == 0) rc = Manifest(argv[2]);
    if (rc == 2) std::fprintf(stderr, "usage: host_probe classify|read|setting|name|manifest ...\n");
    std::fflush(stdout);
    return rc;
}
