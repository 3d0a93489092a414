// The two Windows a contract test runs against: the simulation, and the
// real API as Wine provides it. Each backend also knows how to lay out the
// state a check needs (registry values, files) on its own side.
#pragma once

#include <windows.h>

#include <string>

struct Backend {
    const char* name;
    void (*Install)();  // put this Windows in the seam
    void (*Remove)();   // and take it out again
    // HKLM test keys: created with every missing parent, removed whole.
    void (*SetRegValue)(const char* subKey, const char* name, DWORD type, const void* data,
                        DWORD size);
    void (*DeleteRegKey)(const char* subKey);
    // A scratch folder (ending in a backslash) and plain files in it.
    std::string (*ScratchDir)();
    void (*WriteTextFile)(const std::string& path, const std::string& text);
    // Where the running executable lives, as the seam reports it.
    void (*SetExePath)(const std::string& path);  // simulation only; Wine ignores it
    // The running exe's file version; Wine's is the one its resource holds.
    void (*SetOwnVersion)(WORD major, WORD minor, WORD patch);
};

// What the contract tests set the last error to before a call whose error
// they check: never a code either Windows sets, so a call that sets none
// cannot pass for one that set success.
const DWORD kUnsetLastError = 0xDEADBEEF;

// The real API is a real Windows rather than Wine: ntdll exports no
// wine_get_version. Layouts that only Wine lets a test write skip there.
bool OnRealWindows();

extern const Backend kSimulatedBackend;
extern const Backend kWineBackend;

// Registers a value-parameterised suite to run against both backends.
#define CONTRACT_SUITE(Suite)                                                            \
    INSTANTIATE_TEST_SUITE_P(Windows, Suite,                                             \
                             ::testing::Values(&kSimulatedBackend, &kWineBackend),      \
                             [](const ::testing::TestParamInfo<const Backend*>& info) { \
                                 return std::string(info.param->name);                  \
                             })
