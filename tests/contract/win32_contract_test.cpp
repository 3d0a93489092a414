// Behaviours of the Win32 API the service relies on, checked with the same
// code against the simulation and against Wine.
#include <gtest/gtest.h>

#include <cstring>

#include "backend.h"
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
};

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

TEST_P(Win32Contract, OpeningADevicePathThatNamesNothingFails) {
    SetLastError(kUnsetLastError);
    HANDLE h = Win().CreateFileA("\\\\.\\{0BADC0DE-0000-4000-8000-00000000F00D}", 0,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    if (h != INVALID_HANDLE_VALUE) Win().CloseHandle(h);
}

TEST_P(Win32Contract, AHardwareIdIsUpperCasedWholeInOneCall) {
    // Code page 1252, as Wine's prefixes and most machines have it.
    char id[] = "usb\\vid_0b7a&pid_\xe9\xff&rev_0100";
    const DWORD length = sizeof id - 1;
    EXPECT_EQ(static_cast<int>(length),
              Win().MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, id, length, nullptr, 0))
        << "single-byte text is always valid";
    EXPECT_EQ(length, Win().CharUpperBuffA(id, length)) << "the whole length is processed";
    EXPECT_STREQ("USB\\VID_0B7A&PID_\xc9\x9f&REV_0100", id);
}

// What the check tool relies on: its JSON text and its settings file.
TEST_P(Win32Contract, CodePageTextConvertsToUtf16AndAFileIsSeen) {
    WCHAR wide[4] = {0, 0, 0, 0};
    EXPECT_EQ(3,
              Win().MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "\xe9\x80\x81", 3, wide, 4));
    EXPECT_EQ(0x00E9, wide[0]);
    EXPECT_EQ(0x20AC, wide[1]);
    EXPECT_EQ(0x0081, wide[2]) << "a byte 1252 leaves unassigned stands for itself";

    const std::string dir = GetParam()->ScratchDir();
    GetParam()->WriteTextFile(dir + "seen.ini", "[Settings]\r\n");
    const DWORD attributes = Win().GetFileAttributesA((dir + "seen.ini").c_str());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
    SetLastError(kUnsetLastError);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, Win().GetFileAttributesA((dir + "absent.ini").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

CONTRACT_SUITE(Win32Contract);

}  // namespace
