// Behaviours of the Win32 API the service relies on, checked with the same
// code against the simulation and against Wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>
#include <sddl.h>

#include "backend.h"
#include "sim_windows.h"
#include "check/check_machine.h"
#include "check/check_version.h"
#include "devices/device_text.h"
#include "platform/win32_api.h"

namespace {

const char kTestKey[] = "SOFTWARE\\TolvaneContract";

class Win32Contract : public ::testing::TestWithParam<const Backend*> {
protected:
    void SetUp() override {
        GetParam()->Install();
        GetParam()->DeleteRegKey(kTestKey);
    }
    void TearDown() override {
        GetParam()->DeleteRegKey(kTestKey);
        GetParam()->Remove();
    }
    const Backend& B() { return *GetParam(); }
    // Wine itself, not Windows reached through the real API.
    bool WineItself() { return GetParam() == &kWineBackend && !OnRealWindows(); }
};

// IsWow64Process, looked up in kernel32 and asked of this process; false
// when it is missing or fails.
bool AskIsWow64Process(BOOL* wow64) {
    const auto call = reinterpret_cast<BOOL(WINAPI*)(HANDLE, PBOOL)>(reinterpret_cast<void*>(
        Win().GetProcAddress(Win().GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    return call != nullptr && call(Win().GetCurrentProcess(), wow64);
}

TEST_P(Win32Contract, ExtendedVersionRecordIsFilled) {
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = 156;
    ASSERT_EQ(156u, sizeof info);
    ASSERT_TRUE(Win().GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)));
    EXPECT_EQ(156u, info.dwOSVersionInfoSize);
    EXPECT_GE(info.dwMajorVersion, 5u);
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
    EXPECT_GE(info.wProductType, 1);
    EXPECT_LE(info.wProductType, 3);

    // A size that names neither record is refused.
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(Win().GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)));
}

// The processor, as the newer call and the older one give it: the same
// machine, and a process machine exactly under WOW64.
TEST_P(Win32Contract, TheNativeMachineIsNamedByBothCalls) {
    // The simulation starts as Windows 7, which lacks the newer call.
    if (GetParam() == &kSimulatedBackend) sim::State().hasIsWow64Process2 = true;
    HMODULE kernel32 = Win().GetModuleHandleA("kernel32.dll");
    ASSERT_NE(nullptr, kernel32);
    const auto entry = reinterpret_cast<IsWow64Process2Fn>(
        reinterpret_cast<void*>(Win().GetProcAddress(kernel32, "IsWow64Process2")));
    ASSERT_NE(nullptr, entry) << "exported from Windows 10 version 1709 on, and by Wine";
    USHORT process = 0xFFFF, native = 0xFFFF;
    ASSERT_TRUE(entry(Win().GetCurrentProcess(), &process, &native));
    BOOL wow64 = FALSE;
    ASSERT_TRUE(AskIsWow64Process(&wow64));
    EXPECT_EQ(wow64 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_UNKNOWN, process);
    SYSTEM_INFO info;
    std::memset(&info, 0xFF, sizeof info);
    Win().GetNativeSystemInfo(&info);
    EXPECT_EQ(native == IMAGE_FILE_MACHINE_AMD64 ? PROCESSOR_ARCHITECTURE_AMD64
                                                 : PROCESSOR_ARCHITECTURE_INTEL,
              info.wProcessorArchitecture);
    EXPECT_EQ(4096u, info.dwPageSize);
    MachineFacts facts;
    ReadNativeMachine(&facts);
    EXPECT_EQ(native, facts.native);
    EXPECT_EQ(kMachineFromIsWow64Process2, facts.source);
}

// The running exe's version resource, its file mapped as data; a name it
// lacks, and a file that is not there.
TEST_P(Win32Contract, AnExesVersionResourceIsReadMappedAsData) {
    B().SetOwnVersion(TOLVANE_VERSION_MAJOR, TOLVANE_VERSION_MINOR, TOLVANE_VERSION_PATCH);
    char path[MAX_PATH];
    ASSERT_NE(0u, Win().GetModuleFileNameA(nullptr, path, sizeof path));
    HMODULE module =
        Win().LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, module) << "error " << GetLastError();
    HRSRC found = Win().FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    ASSERT_NE(nullptr, found) << "error " << GetLastError();
    const void* block = Win().LockResource(Win().LoadResource(module, found));
    ASSERT_NE(nullptr, block);
    WORD parts[kVersionPartCount] = {};
    EXPECT_EQ(1, ParseVersionResource(static_cast<const BYTE*>(block),
                                      Win().SizeofResource(module, found), parts));
    const WORD want[kVersionPartCount] = {TOLVANE_VERSION_MAJOR, TOLVANE_VERSION_MINOR,
                                          TOLVANE_VERSION_PATCH, 0};
    EXPECT_EQ(0, std::memcmp(want, parts, sizeof parts));
    SetLastError(kUnsetLastError);
    EXPECT_EQ(nullptr, Win().FindResourceA(module, MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(16)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
    SetLastError(kUnsetLastError);
    EXPECT_EQ(nullptr, Win().FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(17)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(Win().FreeLibrary(module));

    // This program's own, by no handle; the same reader over both.
    FileVersionFacts own;
    ReadFileVersion(nullptr, &own);
    EXPECT_EQ(1, own.read);
    EXPECT_EQ(0, std::memcmp(want, own.parts, sizeof own.parts));
    ReadFileVersion(path, &own);
    EXPECT_EQ(0, std::memcmp(want, own.parts, sizeof own.parts));

    // The redirector goes off and back on under WOW64 only.
    BOOL wow64 = FALSE;
    ASSERT_TRUE(AskIsWow64Process(&wow64));
    PVOID old = &own;
    SetLastError(kUnsetLastError);
    EXPECT_EQ(wow64, Win().Wow64DisableWow64FsRedirection(&old));
    if (wow64) {
        EXPECT_EQ(nullptr, old);
        EXPECT_TRUE(Win().Wow64RevertWow64FsRedirection(old));
    } else {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
        EXPECT_EQ(static_cast<PVOID>(&own), old);
    }

    const std::string missing = B().ScratchDir() + "missing.exe";
    SetLastError(kUnsetLastError);
    EXPECT_EQ(nullptr, Win().LoadLibraryExA(missing.c_str(), nullptr,
                                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_P(Win32Contract, OpeningAMissingKeyFailsWithNotFound) {
    HKEY key = nullptr;
    LONG rc = Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TolvaneContract\\Missing", 0,
                                  KEY_READ, &key);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
}

TEST_P(Win32Contract, QueryingMissingAndOversizedValues) {
    const char text[] = "0123456789abcdef";  // 17 bytes with its terminator
    B().SetRegValue(kTestKey, "Text", REG_SZ, text, sizeof text);

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &key));

    char buffer[32];
    DWORD type = 0;
    DWORD size = sizeof buffer;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Win().RegQueryValueExA(key, "Absent", nullptr, &type,
                                                           reinterpret_cast<BYTE*>(buffer), &size));

    size = 8;
    EXPECT_EQ(ERROR_MORE_DATA, Win().RegQueryValueExA(key, "Text", nullptr, &type,
                                                      reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_EQ(sizeof text, size) << "the size needed is reported";

    size = sizeof buffer;
    type = 0;
    EXPECT_EQ(ERROR_SUCCESS, Win().RegQueryValueExA(key, "Text", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(sizeof text, size);
    EXPECT_STREQ(text, buffer);

    // Exactly the stored size fits.
    size = sizeof text;
    EXPECT_EQ(ERROR_SUCCESS, Win().RegQueryValueExA(key, "Text", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(key));
}

// A key handle grants what it was opened with, and nothing more: the
// status is written through a handle with the right to set values, the
// check reads through one with the right to query them.
TEST_P(Win32Contract, AKeyHandleRefusesWhatItsAccessDoesNotGrant) {
    const DWORD one = 1;
    B().SetRegValue(kTestKey, "Sent", REG_DWORD, &one, sizeof one);
    const DWORD two = 2;
    DWORD value = 0, type = 0, size = sizeof value;

    HKEY reader = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &reader));
    EXPECT_EQ(ERROR_ACCESS_DENIED, Win().RegSetValueExA(reader, "Sent", 0, REG_DWORD,
                                                        reinterpret_cast<const BYTE*>(&two),
                                                        sizeof two));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegQueryValueExA(reader, "Sent", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(1u, value) << "the refused write changed nothing";

    HKEY writer = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_SET_VALUE, &writer));
    size = sizeof value;
    EXPECT_EQ(ERROR_ACCESS_DENIED, Win().RegQueryValueExA(writer, "Sent", nullptr, &type,
                                                          reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegSetValueExA(writer, "Sent", 0, REG_DWORD,
                                                  reinterpret_cast<const BYTE*>(&two), sizeof two));
    size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS, Win().RegQueryValueExA(reader, "Sent", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(2u, value);
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(writer));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(reader));
}

// A handle outlives its key: once the key is deleted (as a service's
// Status key is at uninstall) every call through it fails with
// ERROR_KEY_DELETED, and closing it still succeeds.
TEST_P(Win32Contract, AHandleToADeletedKeyFailsWithKeyDeleted) {
    const std::string status = std::string(kTestKey) + "\\Status";
    const DWORD one = 1;
    B().SetRegValue(status.c_str(), "Sent", REG_DWORD, &one, sizeof one);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, status.c_str(), 0,
                                                 KEY_QUERY_VALUE | KEY_SET_VALUE |
                                                     KEY_CREATE_SUB_KEY,
                                                 &key));
    ASSERT_EQ(ERROR_SUCCESS, Win().RegDeleteKeyA(HKEY_LOCAL_MACHINE, status.c_str()));

    EXPECT_EQ(ERROR_KEY_DELETED, Win().RegSetValueExA(key, "Sent", 0, REG_DWORD,
                                                      reinterpret_cast<const BYTE*>(&one),
                                                      sizeof one));
    DWORD value = 0, type = 0, size = sizeof value;
    EXPECT_EQ(ERROR_KEY_DELETED, Win().RegQueryValueExA(key, "Sent", nullptr, &type,
                                                        reinterpret_cast<BYTE*>(&value), &size));
    HKEY child = nullptr;
    EXPECT_EQ(ERROR_KEY_DELETED,
              Win().RegCreateKeyExA(key, "Child", 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                                    nullptr, &child, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(key));
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, status.c_str(), 0, KEY_READ, &gone));
}

TEST_P(Win32Contract, OpeningADevicePathThatNamesNothingFails) {
    SetLastError(kUnsetLastError);
    HANDLE h = Win().CreateFileA("\\\\.\\{0BADC0DE-0000-4000-8000-00000000F00D}", 0,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    if (h != INVALID_HANDLE_VALUE) Win().CloseHandle(h);
}

// ---- text in the ANSI code page in force ----
//
// The run decides the code page (Wine takes it from the Unix locale), and
// the simulation follows it; each code page the simulation models has its
// cases here. A run that asks for a code page (TOLVANE_CONTRACT_ACP) fails
// when it does not have it, rather than holding the wrong one to its cases.

struct LeadRange {
    BYTE first, last;
};

// Text the strict conversion gives so many characters for (0: refuses it),
// and these UTF-16 units where the simulation models them.
struct Conversion {
    const char* bytes;
    int chars;
    std::vector<WCHAR> units;
    const char* why;
};

struct CodePageCases {
    UINT codePage;
    std::vector<LeadRange> leads;
    const char* hardwareId;  // upper-cased whole in one call...
    const char* upperCased;  // ...to this
    std::vector<Conversion> conversions;
};

const CodePageCases kCodePages[] = {
    {1252,
     {},
     "usb\\vid_0b7a&pid_\xe9\xff&rev_0100",
     "USB\\VID_0B7A&PID_\xc9\x9f&REV_0100",
     {{"\xe9\x80\x81", 3, {0x00E9, 0x20AC, 0x0081},
       "a byte 1252 leaves unassigned stands for itself"},
      {"a\x9a\xff", 3, {'a', 0x0161, 0x00FF}, "every byte is a character"}}},
    {932,
     {{0x81, 0x9F}, {0xE0, 0xFC}},
     // A trail byte that reads as 'a' or '\' is no letter and no separator.
     "pci\\ven_\x82\x81z&dev_\x83\x61\x83\x5c\x81\x5c\xb1_\x83\xbf\x84\x70\x84\x80",
     "PCI\\VEN_\x82\x60Z&DEV_\x83\x61\x83\x5c\x81\x5c\xb1_\x83\x9f\x84\x40\x84\x4f",
     {{"\x82\xa0\x83\x5c\x82\x81\xb1z", 5, {0x3042, 0x30BD, 0xFF41, 0xFF71, 'z'}, "kana and Latin"},
      {"\x81\x5c\x83\xbf\x83\xd6", 3, {0x2015, 0x03B1, 0x03C9}, "a dash and Greek"},
      {"ab\x82", 0, {}, "a lead byte at the end"},
      {"\x82\x20", 0, {}, "a byte below the trail bytes"},
      {"\x81\x7f", 0, {}, "0x7F is no trail byte"},
      {"\x82\xfd", 0, {}, "nor is 0xFD"},
      {"\x82\x4e", 0, {}, "unassigned in a row assigned in part"},
      {"\xfc\x4c", 0, {}, "past the last character"},
      {"\x85\x40", 0, {}, "a lead byte with no characters"}}},
};

std::string ToHex(const char* bytes, int length) {
    std::string hex;
    for (int i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", static_cast<BYTE>(bytes[i]));
        hex += two;
    }
    return hex;
}

const CodePageCases* CasesInForce() {
    for (const CodePageCases& cases : kCodePages)
        if (cases.codePage == GetACP()) return &cases;
    return nullptr;
}

TEST(CodePageContract, TheRunHasTheCodePageItAsksFor) {
    char asked[16];
    const DWORD n = GetEnvironmentVariableA("TOLVANE_CONTRACT_ACP", asked, sizeof asked);
    if (n == 0 || n >= sizeof asked) GTEST_SKIP() << "no code page asked for; " << GetACP();
    EXPECT_EQ(std::strtoul(asked, nullptr, 10), GetACP());
    EXPECT_NE(nullptr, CasesInForce()) << "the simulation models no such code page";
}

// Every character of the code page in force, through the simulation and
// through the real calls side by side. Single bytes: the same character
// (loosely converted) and the same upper case. Double-byte pairs: the same
// verdict of the strict conversion, the same upper case (where the real
// call keeps the lead byte; see the simulation on re-encoding), and the
// same character in the rows converted as they are (0x82-0x83).
TEST(CodePageContract, EveryCharacterIsModelledAsTheRealCodePageHasIt) {
    if (CasesInForce() == nullptr) GTEST_SKIP() << "the simulation models 1252 and 932";
    kSimulatedBackend.Install();
    const Win32Api simulated = Win();
    kWineBackend.Install();
    const Win32Api& real = Win();
    int pairs = 0;
    for (int first = 0; first < 256; ++first) {
        const bool lead = real.IsDBCSLeadByte(static_cast<BYTE>(first)) != FALSE;
        for (int second = 0; second < (lead ? 256 : 1); ++second) {
            const char text[2] = {static_cast<char>(first), static_cast<char>(second)};
            const int length = lead ? 2 : 1;
            const DWORD flags = lead ? MB_ERR_INVALID_CHARS : 0;
            WCHAR simUnit = 0, realUnit = 0;
            const int simChars =
                simulated.MultiByteToWideChar(CP_ACP, flags, text, length, &simUnit, 1);
            const int realChars =
                real.MultiByteToWideChar(CP_ACP, flags, text, length, &realUnit, 1);
            const std::string at = "at 0x" + ToHex(text, length);
            EXPECT_EQ(realChars, simChars) << at;
            if (realChars != 1) continue;
            if (!lead || first == 0x82 || first == 0x83) EXPECT_EQ(realUnit, simUnit) << at;
            char simUpper[2] = {text[0], text[1]}, realUpper[2] = {text[0], text[1]};
            simulated.CharUpperBuffA(simUpper, length);
            real.CharUpperBuffA(realUpper, length);
            if (!lead || realUpper[0] == text[0])
                EXPECT_EQ(ToHex(realUpper, length), ToHex(simUpper, length)) << at;
            pairs += lead;
        }
    }
    kWineBackend.Remove();
    // 7,724 characters and 1,880 user-defined ones.
    if (GetACP() == 932) EXPECT_EQ(9604, pairs) << "assigned double-byte characters";
}

#define SKIP_UNLESS_MODELLED(cases)                                                        \
    if ((cases) == nullptr)                                                                \
        GTEST_SKIP() << "code page " << GetACP() << ": the simulation models 1252 and 932"

TEST_P(Win32Contract, LeadBytesAreTheCodePagesOwn) {
    const CodePageCases* cases = CasesInForce();
    SKIP_UNLESS_MODELLED(cases);
    for (int b = 0; b < 256; ++b) {
        bool lead = false;
        for (const LeadRange& r : cases->leads) lead = lead || (b >= r.first && b <= r.last);
        EXPECT_EQ(lead, Win().IsDBCSLeadByte(static_cast<BYTE>(b)) != FALSE) << std::hex << b;
    }
}

TEST_P(Win32Contract, AHardwareIdIsUpperCasedWholeInOneCall) {
    const CodePageCases* cases = CasesInForce();
    SKIP_UNLESS_MODELLED(cases);
    std::string id = cases->hardwareId;
    const DWORD length = static_cast<DWORD>(id.size());
    EXPECT_EQ(length, Win().CharUpperBuffA(&id[0], length)) << "the whole length is processed";
    EXPECT_EQ(cases->upperCased, id);

    // The lookup's own walk over the same text, as the service runs it.
    id = cases->hardwareId;
    EXPECT_EQ(static_cast<int>(length),
              UpperCaseFirstString(&id[0], length + 1, Win().IsDBCSLeadByte, Win().CharUpperBuffA,
                                   Win().MultiByteToWideChar));
    EXPECT_EQ(cases->upperCased, id);
}

TEST_P(Win32Contract, CodePageTextConvertsOrIsRefusedWhole) {
    const CodePageCases* cases = CasesInForce();
    SKIP_UNLESS_MODELLED(cases);
    EXPECT_EQ(cases->codePage, Win().GetACP());
    for (const Conversion& c : cases->conversions) {
        const int length = static_cast<int>(std::strlen(c.bytes));
        WCHAR wide[16];
        SetLastError(kUnsetLastError);
        const int n = Win().MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, c.bytes, length,
                                                wide, 16);
        EXPECT_EQ(c.chars, n) << c.why;
        if (!c.units.empty() && n > 0)
            EXPECT_EQ(c.units, std::vector<WCHAR>(wide, wide + n)) << c.why;
        if (c.chars == 0) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError()) << c.why;
            // Text the code page refuses is never upper-cased or matched.
            std::string text(c.bytes);
            EXPECT_EQ(-1, UpperCaseFirstString(&text[0], length + 1, Win().IsDBCSLeadByte,
                                               Win().CharUpperBuffA, Win().MultiByteToWideChar))
                << c.why;
        }
    }
}

// What the check tool relies on: its settings file opens for reading as
// the profile read opens it, and one that is absent says so.
TEST_P(Win32Contract, AFileIsSeen) {
    const std::string dir = GetParam()->ScratchDir();
    GetParam()->WriteTextFile(dir + "seen.ini", "[Settings]\r\n");
    HANDLE file = Win().CreateFileA((dir + "seen.ini").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    // Its first bytes as they are, then nothing past its end.
    char head[64];
    DWORD got = 0;
    EXPECT_TRUE(Win().ReadFile(file, head, sizeof head, &got, nullptr));
    EXPECT_EQ("[Settings]\r\n", std::string(head, got));
    EXPECT_TRUE(Win().ReadFile(file, head, sizeof head, &got, nullptr));
    EXPECT_EQ(0u, got);
    EXPECT_TRUE(Win().CloseHandle(file));
    SetLastError(kUnsetLastError);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              Win().CreateFileA((dir + "absent.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    // Opened without the right to read, as a device path is: nothing is read.
    file = Win().CreateFileA((dir + "seen.ini").c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    SetLastError(kUnsetLastError);
    got = 77;
    EXPECT_FALSE(Win().ReadFile(file, head, sizeof head, &got, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(Win().CloseHandle(file));
}

// A file's access list, "SID:mask " per entry in order.
std::string Entries(const std::string& path) {
    std::vector<BYTE> descriptor(0x10000);
    DWORD needed = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!Win().GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                0x10000, &needed) ||
        !Win().GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted) || !acl)
        return "unread";
    std::string entries;
    ACCESS_ALLOWED_ACE* ace = nullptr;
    for (DWORD i = 0; i < acl->AceCount && GetAce(acl, i, reinterpret_cast<void**>(&ace)); ++i) {
        char* sid = nullptr;
        char mask[16];
        ConvertSidToStringSidA(&ace->SidStart, &sid);
        std::snprintf(mask, sizeof mask, ":0x%06lX ", ace->Mask);
        entries += std::string(sid) + mask;
        LocalFree(sid);
    }
    return entries;
}

// As the check tool reads who may change the service's files: the access
// list alone, a buffer too small told the size that would do, SYSTEM (so
// named) with full control of a file just written. Wine makes the
// list up from the Unix file's owner and mode: SYSTEM and its own user
// with full control, Everyone with read and run; a list a program sets
// becomes the mode, and no other account's entry is kept.
TEST_P(Win32Contract, AFileJustWrittenHasAnAccessListThatGivesSystemFullControl) {
    const std::string path = B().ScratchDir() + "access.ini";
    DeleteFileA(path.c_str());  // anew, whatever an earlier run left of its mode
    B().WriteTextFile(path, "[Settings]\r\n");
    BYTE small[8];
    DWORD needed = 0;
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, small,
                                        sizeof small, &needed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_GT(needed, sizeof(SECURITY_DESCRIPTOR_RELATIVE) + sizeof(ACL));
    const std::string entries = Entries(path);
    EXPECT_NE(std::string::npos, (" " + entries).find(" S-1-5-18:0x1F01FF ")) << entries;
    // Its owner, asked for with the list: Wine names its own user.
    std::vector<BYTE> descriptor(0x10000);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(Win().GetFileSecurityA(path.c_str(),
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       descriptor.data(), 0x10000, &needed));
    ASSERT_TRUE(Win().GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted));
    ASSERT_NE(nullptr, owner);
    char* ownerText = nullptr;
    ConvertSidToStringSidA(owner, &ownerText);
    const std::string ownerSid = ownerText ? ownerText : "";
    LocalFree(ownerText);
    if (WineItself())
        EXPECT_EQ("S-1-5-21-0-0-0-1000", ownerSid);
    PSID system = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-18", &system));
    char name[64], domain[64];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    EXPECT_TRUE(
        Win().LookupAccountSidA(nullptr, system, name, &nameSize, domain, &domainSize, &use));
    EXPECT_STREQ("SYSTEM", name);
    LocalFree(system);
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().GetFileSecurityA((B().ScratchDir() + "absent.ini").c_str(),
                                        DACL_SECURITY_INFORMATION, small, sizeof small, &needed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    if (WineItself()) {
        EXPECT_EQ("S-1-5-18:0x1F01FF S-1-5-21-0-0-0-1000:0x1F01FF S-1-1-0:0x1200A9 ", entries);
        PSECURITY_DESCRIPTOR usersWrite = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;SY)(A;;0x2;;;BU)",
                                                             SDDL_REVISION_1, &usersWrite, nullptr);
        EXPECT_TRUE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, usersWrite));
        LocalFree(usersWrite);
        EXPECT_EQ(std::string::npos, Entries(path).find("S-1-5-32-545")) << Entries(path);
    }
    DeleteFileA(path.c_str());
}

// The service's Status key: made volatile under its service's open key,
// opened when there, removed whole when it has no subkey, and not found
// once gone.
TEST_P(Win32Contract, AKeyIsMadeUnderAnOpenKeyAndRemoved) {
    const DWORD one = 1;
    B().SetRegValue(kTestKey, "Type", REG_DWORD, &one, sizeof one);
    HKEY service = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_CREATE_SUB_KEY, &service));
    for (DWORD want : {static_cast<DWORD>(REG_CREATED_NEW_KEY),
                       static_cast<DWORD>(REG_OPENED_EXISTING_KEY)}) {
        HKEY status = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  Win().RegCreateKeyExA(service, "Status", 0, nullptr, REG_OPTION_VOLATILE,
                                        KEY_SET_VALUE, nullptr, &status, &disposition));
        EXPECT_EQ(want, disposition);
        EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(status));
    }
    // The key's security decides whether a key is made under it, not the
    // rights its handle was opened with: one that may only read makes it too.
    HKEY reader = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_QUERY_VALUE, &reader));
    HKEY child = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, Win().RegCreateKeyExA(reader, "Status\\Child", 0, nullptr,
                                                   REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                                                   &child, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(ERROR_SUCCESS, Win().RegSetValueExA(child, "Sequence", 0, REG_DWORD,
                                                  reinterpret_cast<const BYTE*>(&one), sizeof one));
    Win().RegCloseKey(child);
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(reader));
    EXPECT_NE(ERROR_SUCCESS, Win().RegDeleteKeyA(service, "Status")) << "it has a subkey";
    EXPECT_EQ(ERROR_SUCCESS, Win().RegDeleteKeyA(service, "Status\\Child"));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegDeleteKeyA(service, "Status"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Win().RegDeleteKeyA(service, "Status"));

    // With its subkeys, by a handle with the rights a removal of a tree
    // asks; a reader's handle then answers that its key is gone.
    ASSERT_EQ(ERROR_SUCCESS, Win().RegCreateKeyExA(service, "Status\\Child", 0, nullptr,
                                                   REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                                                   &child, nullptr));
    Win().RegCloseKey(child);
    reader = nullptr;
    HKEY remover = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Win().RegOpenKeyExA(service, "Status", 0, KEY_QUERY_VALUE, &reader));
    ASSERT_EQ(ERROR_SUCCESS,
              Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0,
                                  DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE,
                                  &remover));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegDeleteTreeA(remover, "Status"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Win().RegDeleteTreeA(remover, "Status"));
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(ERROR_KEY_DELETED, Win().RegQueryValueExA(reader, "Sequence", nullptr, &type,
                                                        reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(reader));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(remover));
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Win().RegOpenKeyExA(service, "Status", 0, KEY_READ, &gone));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(service));
}

// A zone an hour ahead of UTC, two in summer: a time is moved by the rule
// in force on its own date, not by today's.
TEST_P(Win32Contract, AUtcTimeIsMovedByTheZonesRuleOnItsDate) {
    TIME_ZONE_INFORMATION zone{};
    zone.Bias = -60;
    zone.DaylightBias = -60;
    zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};  // last Sunday of October, 03:00
    zone.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};   // last Sunday of March, 02:00
    const SYSTEMTIME winter = {2026, 1, 0, 15, 12, 0, 0, 0};
    const SYSTEMTIME summer = {2026, 7, 0, 15, 23, 30, 0, 0};
    SYSTEMTIME local{};
    ASSERT_TRUE(Win().SystemTimeToTzSpecificLocalTime(&zone, &winter, &local));
    EXPECT_EQ(13, local.wHour);
    ASSERT_TRUE(Win().SystemTimeToTzSpecificLocalTime(&zone, &summer, &local));
    EXPECT_EQ(16, local.wDay);
    EXPECT_EQ(1, local.wHour);
    EXPECT_EQ(30, local.wMinute);
}

// Whether the check runs as a member of Administrators: Wine's user is one,
// as the simulation's is unless a test says otherwise.
TEST_P(Win32Contract, TheProcessIsAMemberOfAdministrators) {
    PSID administrators = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-32-544", &administrators));
    BOOL member = FALSE;
    EXPECT_TRUE(Win().CheckTokenMembership(nullptr, administrators, &member));
    if (!OnRealWindows()) EXPECT_TRUE(member);
    LocalFree(administrators);
}

// UTF-8 as the exe's path is converted: the flag that refuses a lone
// surrogate is taken, others and the used-default argument refused.
TEST_P(Win32Contract, Utf8RefusesALoneSurrogateOnlyWhenAsked) {
    char out[16];
    const WCHAR pair[] = {'a', 0xD83D, 0xDE00};
    EXPECT_EQ(5, Win().WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pair, 3, out, 16,
                                           nullptr, nullptr));
    EXPECT_EQ("a\xF0\x9F\x98\x80", std::string(out, 5));
    const WCHAR lone[] = {'a', 0xD83D, 'b'};
    EXPECT_EQ(5, Win().WideCharToMultiByte(CP_UTF8, 0, lone, 3, out, 16, nullptr, nullptr));
    EXPECT_EQ("a\xEF\xBF\xBD" "b", std::string(out, 5));
    SetLastError(kUnsetLastError);
    EXPECT_EQ(0, Win().WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, out, 16,
                                           nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    // Windows documents ERROR_INVALID_FLAGS and ERROR_INVALID_PARAMETER for
    // these; Wine converts regardless.
    const bool wine = WineItself();
    BOOL usedDefault = FALSE;
    SetLastError(kUnsetLastError);
    EXPECT_EQ(wine ? 5 : 0, Win().WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, pair, 3, out,
                                                      16, nullptr, nullptr));
    if (!wine) EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
    SetLastError(kUnsetLastError);
    EXPECT_EQ(wine ? 5 : 0,
              Win().WideCharToMultiByte(CP_UTF8, 0, pair, 3, out, 16, nullptr, &usedDefault));
    if (!wine) EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // The refusing flag is taken with CP_UTF8 named only, not with CP_ACP.
    const WCHAR plain[] = {'a'};
    SetLastError(kUnsetLastError);
    EXPECT_EQ(wine ? 1 : 0, Win().WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, plain, 1, out,
                                                      16, nullptr, nullptr));
    if (!wine) EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
}

// UTF-8 into UTF-16: a character past U+FFFF as a pair; strict, a byte
// that starts no character, a character cut short, an overlong form, a
// surrogate and a code point past U+10FFFF refuse the text; loose, a stray
// byte and a character cut short each give U+FFFD.
TEST_P(Win32Contract, Utf8TextIsDecodedAndRefusedOnlyWhenAsked) {
    WCHAR out[8] = {};
    EXPECT_EQ(4, Win().MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                           "\xC3\x9C" "b\xF0\x9F\x98\x80", 7, out, 8));
    EXPECT_EQ(std::wstring(L"\x00DC" L"b\xD83D\xDE00"), std::wstring(out, 4));
    for (const char* bad : {"\xC3", "\xFF", "\x9C", "\xC0\x80", "\xE0\x9F\xBF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xE2\x82"}) {
        SetLastError(kUnsetLastError);
        EXPECT_EQ(0, Win().MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad,
                                               static_cast<int>(std::strlen(bad)), out, 8))
            << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    }
    EXPECT_EQ(4, Win().MultiByteToWideChar(CP_UTF8, 0, "a\xFF" "b\xE2\x82", 5, out, 8));
    EXPECT_EQ(std::wstring(L"a\xFFFD" L"b\xFFFD"), std::wstring(out, 4));
}

void CALLBACK NeverDue(PVOID ran, BOOLEAN) { *static_cast<int*>(ran) = 1; }

// What a bounded request rests on: an event starts as asked and a manual one
// stays set; a wait on one not set times out; a request's result is read
// from its OVERLAPPED as the I/O manager left it; a cancel with nothing to
// cancel succeeds; a timer deleted before it is due never runs.
TEST_P(Win32Contract, EventsWaitsResultsCancelsAndTimers) {
    HANDLE unset = Win().CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE set = Win().CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(nullptr, unset);
    ASSERT_NE(nullptr, set);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Win().WaitForSingleObject(unset, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Win().WaitForSingleObject(unset, 10));
    EXPECT_EQ(WAIT_OBJECT_0, Win().WaitForSingleObject(set, 0));
    EXPECT_EQ(WAIT_OBJECT_0, Win().WaitForSingleObject(set, 0));

    OVERLAPPED o;
    std::memset(&o, 0, sizeof o);
    const ULONG_PTR pending = STATUS_PENDING, cancelled = 0xC0000120;
    const ULONG_PTR states[] = {pending, cancelled, 0};
    const DWORD errors[] = {ERROR_IO_INCOMPLETE, ERROR_OPERATION_ABORTED, kUnsetLastError};
    for (int i = 0; i < 3; ++i) {
        o.Internal = states[i];
        o.InternalHigh = 4;
        DWORD n = 0;
        SetLastError(kUnsetLastError);
        EXPECT_EQ(i == 2, Win().GetOverlappedResult(unset, &o, &n, FALSE) != FALSE) << i;
        EXPECT_EQ(errors[i], GetLastError()) << i;
    }

    const std::string path = B().ScratchDir() + "request.ini";
    B().WriteTextFile(path, "[Settings]\r\n");
    HANDLE file = Win().CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_TRUE(Win().CancelIo(file));
    EXPECT_TRUE(Win().CloseHandle(file));
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().CancelIo(file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    int ran = 0;
    HANDLE timer = nullptr;
    ASSERT_TRUE(Win().CreateTimerQueueTimer(&timer, nullptr, NeverDue, &ran, 60000, 0,
                                            WT_EXECUTEONLYONCE));
    EXPECT_TRUE(Win().DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE));
    ASSERT_TRUE(Win().CreateTimerQueueTimer(&timer, nullptr, NeverDue, &ran, 60000, 0,
                                            WT_EXECUTEONLYONCE));
    // Without waiting, the deletion is only begun, callback running or not.
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().DeleteTimerQueueTimer(nullptr, timer, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    EXPECT_EQ(0, ran);
    EXPECT_TRUE(Win().CloseHandle(unset));
    EXPECT_TRUE(Win().CloseHandle(set));
}

CONTRACT_SUITE(Win32Contract);

}  // namespace
