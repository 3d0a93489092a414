#include "backend.h"

#include <cstdio>

#include "sim_windows.h"

namespace {

// ---- simulation ----

bool CodePageModelled(UINT codePage) { return codePage == 1252 || codePage == 932; }

// The simulation takes the ANSI code page in force when it models it, so
// the same text cases hold it and the real one alike.
void SimInstall() {
    sim::UseSimulatedWindows();
    if (CodePageModelled(GetACP())) sim::State().codePage = GetACP();
}
void SimRemove() { sim::UseRealWindows(); }

void SimSetRegValue(const char* subKey, const char* name, DWORD type, const void* data,
                    DWORD size) {
    sim::State().SetValue(sim::RegView::Shared, subKey, name, type,
                          std::string(static_cast<const char*>(data), size));
}

void SimDeleteRegKey(const char* subKey) { sim::State().DeleteKey(subKey); }

std::string SimScratchDir() { return "C:\\scratch\\"; }

void SimWriteTextFile(const std::string& path, const std::string& text) {
    sim::State().WriteFile(path, text);
}

void SimSetExePath(const std::string& path) { sim::State().exePath = path; }

void SimSetOwnVersion(WORD major, WORD minor, WORD patch) {
    sim::State().ownVersion = sim::VersionBlock(major, minor, patch, 0);
}

// ---- Wine: the real API, laid out with direct calls ----

void WineInstall() { sim::UseRealWindows(); }
void WineRemove() {}

void WineSetRegValue(const char* subKey, const char* name, DWORD type, const void* data,
                     DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot create HKLM\\%s\n", subKey);
        return;
    }
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

void WineDeleteRegKey(const char* subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    // Children first: RegDeleteKeyA removes only empty keys.
    char child[256];
    while (RegEnumKeyA(key, 0, child, sizeof child) == ERROR_SUCCESS) {
        std::string path = std::string(subKey) + "\\" + child;
        WineDeleteRegKey(path.c_str());
    }
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey);
}

std::string WineScratchDir() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string dir = std::string(temp) + "tolvane-contract\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

void WineWriteTextFile(const std::string& path, const std::string& text) {
    // Parent folders first, so tests can name nested paths.
    for (size_t pos = path.find('\\', 3); pos != std::string::npos; pos = path.find('\\', pos + 1))
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return;
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

void WineSetExePath(const std::string&) {}
void WineSetOwnVersion(WORD, WORD, WORD) {}

}  // namespace

bool OnRealWindows() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

const Backend kSimulatedBackend = {"Simulated",     SimInstall,    SimRemove,
                                   SimSetRegValue,  SimDeleteRegKey, SimScratchDir,
                                   SimWriteTextFile, SimSetExePath, SimSetOwnVersion};

const Backend kWineBackend = {"Wine",           WineInstall,    WineRemove,
                              WineSetRegValue,  WineDeleteRegKey, WineScratchDir,
                              WineWriteTextFile, WineSetExePath, WineSetOwnVersion};
