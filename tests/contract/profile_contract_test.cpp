// How the profile read and the module path behave, checked with the same
// code against the simulation and against Wine: the settings reader relies
// on both.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend.h"
#include "sim_windows.h"
#include "config/settings.h"
#include "platform/win32_api.h"

namespace {

const DWORD kValueBuffer = 256;

std::string AsciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

class ProfileContract : public ::testing::TestWithParam<const Backend*> {
protected:
    void SetUp() override {
        GetParam()->Install();
        dir_ = GetParam()->ScratchDir();
    }
    void TearDown() override {
        // Files laid out on the Wine side are real and would outlive the test.
        if (GetParam() == &kWineBackend) {
            for (const std::string& path : written_) DeleteFileA(path.c_str());
        }
        GetParam()->Remove();
    }

    void Write(const std::string& path, const std::string& text) {
        GetParam()->WriteTextFile(path, text);
        written_.push_back(path);
    }

    // Reads into a 256-byte buffer as the settings reader does; the buffer
    // starts full of 'X' so a missing terminator shows.
    std::string Read(const char* section, const char* key, const char* def,
                     const std::string& file, DWORD* returned = nullptr) {
        char out[kValueBuffer];
        std::memset(out, 'X', sizeof out);
        DWORD n = Win().GetPrivateProfileStringA(section, key, def, out, sizeof out,
                                                 file.c_str());
        if (returned) *returned = n;
        EXPECT_EQ(std::strlen(out), n) << "the count is the length of what was written";
        return out;
    }

    std::string dir_;
    std::vector<std::string> written_;
};

TEST_P(ProfileContract, MissingFileSectionOrKeyGivesTheDefault) {
    std::string file = dir_ + "present.ini";
    Write(file, "[Product]\r\nModel=QM7\r\n");

    EXPECT_EQ("QM5520", Read("Product", "Model", "QM5520", dir_ + "absent.ini"));
    EXPECT_EQ("QM5520", Read("Other", "Model", "QM5520", file));
    EXPECT_EQ("Verdin Service", Read("Product", "ServiceDisplayName", "Verdin Service", file));
    EXPECT_EQ("", Read("Product", "Absent", "", file));
    EXPECT_EQ("QM7", Read("Product", "Model", "QM5520", file));
}

TEST_P(ProfileContract, PresentKeyWithEmptyValueGivesEmptyNotDefault) {
    std::string file = dir_ + "empty.ini";
    Write(file, "[Product]\r\nModel=\r\n[Settings]\r\nBTHWID=   \r\n");
    EXPECT_EQ("", Read("Product", "Model", "QM5520", file));
    EXPECT_EQ("", Read("Settings", "BTHWID", "USB\\VID", file));
}

TEST_P(ProfileContract, NamesIgnoreCaseAndValuesAreTrimmedAndUnquoted) {
    std::string file = dir_ + "forms.ini";
    Write(file,
          "[settings]\r\n"
          "  btHwId  =  USB\\VID_0B7A  \r\n"
          "WiFiHWID=\"PCI\\VEN_7E59 \"\r\n"
          "[Product]\n"
          "Model=QM 9\n");
    EXPECT_EQ("USB\\VID_0B7A", Read("Settings", "BTHWID", "", file));
    EXPECT_EQ("PCI\\VEN_7E59 ", Read("Settings", "WiFiHWID", "", file));
    EXPECT_EQ("QM 9", Read("PRODUCT", "model", "", file));
}

TEST_P(ProfileContract, LongValueIsCutToTheBufferLessOne) {
    std::string file = dir_ + "long.ini";
    std::string longText;
    for (int i = 0; i < 300; ++i) longText += static_cast<char>('a' + i % 26);
    Write(file, "[Product]\r\nServiceDescription=" + longText + "\r\n");

    DWORD n = 0;
    std::string value = Read("Product", "ServiceDescription", "", file, &n);
    EXPECT_EQ(255u, n);
    EXPECT_EQ(longText.substr(0, 255), value);
}

TEST_P(ProfileContract, FileInADottedFolderIsReadByItsFullPath) {
    std::string file = dir_ + "dir.v2\\tolvane.ini";
    Write(file, "[Product]\r\nModel=DOTTED\r\n");
    EXPECT_EQ("DOTTED", Read("Product", "Model", "QM5520", file));
}

// The profile read opens a file whose path fits in MAX_PATH, terminator
// included, and answers the default for one a character longer, though it
// exists. (Windows may refuse to create the longer one: the default stands
// all the same.) The longer one is read first: Wine 8 answers a path that
// long from the file it read last, if any, which is worse than a default.
TEST_P(ProfileContract, FilePathBeyondMaxPathGivesTheDefault) {
    const std::string folder = dir_ + std::string(MAX_PATH - 1 - 12 - dir_.size(), 'p');
    const std::string within = folder + "\\within1.ini";
    const std::string beyond = folder + "\\beyond12.ini";
    ASSERT_EQ(MAX_PATH - 1u, within.size());
    ASSERT_EQ(MAX_PATH + 0u, beyond.size());
    Write(within, "[Product]\r\nModel=WITHIN\r\n");
    Write(beyond, "[Product]\r\nModel=BEYOND\r\n");
    EXPECT_EQ("QM5520", Read("Product", "Model", "QM5520", beyond));
    EXPECT_EQ("WITHIN", Read("Product", "Model", "QM5520", within));
    if (GetParam() == &kWineBackend) RemoveDirectoryA(folder.c_str());
}

// The settings reader on either side: the file named like the running exe
// is found. The simulated exe lies in a dotted folder beside a decoy that a
// cut at the folder's "." would name; under Wine the exe is the real test
// exe, wherever the build put it.
TEST_P(ProfileContract, ReadSettingFindsTheFileNamedLikeTheExe) {
    GetParam()->SetExePath(dir_ + "dir.v2\\tolvane.exe");
    char exe[MAX_PATH];
    DWORD n = Win().GetModuleFileNameA(nullptr, exe, sizeof exe);
    ASSERT_GT(n, 4u);
    ASSERT_LT(n, sizeof exe);
    std::string exePath(exe, n);
    ASSERT_EQ(".exe", AsciiLower(exePath.substr(n - 4)));

    std::string ini = exePath.substr(0, n - 3) + "ini";
    Write(ini, "[Product]\r\nModel=BESIDE\r\n[Settings]\r\nWiFiHWID=PCI\\VEN_7E57\r\n");
    Write(dir_ + "dir.ini", "[Product]\r\nModel=DECOY\r\n");

    char model[kModelCapacity];
    EXPECT_EQ(1, ReadSetting(kSectionProduct, kKeyModel, kDefaultModel, model, sizeof model));
    EXPECT_STREQ("BESIDE", model);
    char pattern[kPatternCapacity];
    EXPECT_EQ(1, ReadSetting(kSectionSettings, kKeyWifiPattern, kDefaultPattern, pattern,
                             sizeof pattern));
    EXPECT_STREQ("PCI\\VEN_7E57", pattern);
    char name[kDisplayNameCapacity];
    EXPECT_EQ(1, ReadSetting(kSectionProduct, kKeyDisplayName, kDefaultDisplayName, name,
                             sizeof name));
    EXPECT_STREQ("Verdin Service", name);

    EXPECT_EQ(1, DeriveServiceName());
    EXPECT_STREQ("Tolvane_BESIDE", ServiceName);
}

// A buffer that cannot hold the path and its terminator gets the path cut to
// the buffer's size, the size as the result and ERROR_INSUFFICIENT_BUFFER.
TEST_P(ProfileContract, ModuleFileNameInAShortBuffer) {
    GetParam()->SetExePath("C:\\Program Files\\Tolvane\\tolvane.exe");
    char full[MAX_PATH];
    DWORD length = Win().GetModuleFileNameA(nullptr, full, sizeof full);
    ASSERT_GT(length, 8u);
    ASSERT_LT(length, sizeof full);
    EXPECT_EQ(length, std::strlen(full));

    // Exactly room for the terminator: the whole path.
    char buffer[MAX_PATH + 1];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(length, Win().GetModuleFileNameA(nullptr, buffer, length + 1));
    EXPECT_STREQ(full, buffer);

    for (DWORD size : {length, DWORD{8}}) {
        std::memset(buffer, 'X', sizeof buffer);
        SetLastError(kUnsetLastError);
        EXPECT_EQ(size, Win().GetModuleFileNameA(nullptr, buffer, size)) << size;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError()) << size;
        EXPECT_EQ(0, std::memcmp(full, buffer, size - 1)) << size;
        // Windows from Vista on ends the cut path with a terminator; Wine and
        // the simulation write none, the last byte is the path's own.
        const bool realWindows = GetParam() == &kWineBackend && OnRealWindows();
        EXPECT_EQ(realWindows ? '\0' : full[size - 1], buffer[size - 1]) << size;
        EXPECT_EQ('X', buffer[size]) << "nothing past the buffer, size " << size;
    }
}

// A folder named in Hangul, which neither 1252 nor 932 holds: the "A" call
// gives each character as "?", a path that names no file, and a conversion
// with no best fit reports the lack. Under Wine the module is a copy of this
// exe loaded there without running it.
TEST_P(ProfileContract, ModuleFileNameInAFolderTheCodePageCannotSpell) {
    const std::wstring folder = std::wstring(dir_.begin(), dir_.end()) + L"\xD55C\xAE00";
    const std::wstring exe = folder + L"\\probe.exe";
    HMODULE module = nullptr;
    if (GetParam() == &kWineBackend) {
        WCHAR self[MAX_PATH];
        ASSERT_LT(GetModuleFileNameW(nullptr, self, MAX_PATH), DWORD{MAX_PATH});
        CreateDirectoryW(folder.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(self, exe.c_str(), FALSE));
        module = LoadLibraryExW(exe.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        ASSERT_NE(nullptr, module);
    } else {
        sim::State().exePathWide = exe;
    }
    char ansi[kExePathCapacity];
    WCHAR wide[kExePathCapacity];
    const DWORD length = Win().GetModuleFileNameA(module, ansi, kExePathCapacity);
    const DWORD units = Win().GetModuleFileNameW(module, wide, kExePathCapacity);
    EXPECT_EQ(dir_ + "??\\probe.exe", std::string(ansi, length));
    EXPECT_EQ(exe, std::wstring(wide, units));
    BOOL lacking = FALSE;
    char converted[kExePathCapacity];
    EXPECT_EQ(static_cast<int>(length),
              Win().WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(units),
                                        converted, sizeof converted, nullptr, &lacking));
    EXPECT_TRUE(lacking);
    // The product's own reading refuses it.
    char path[kExePathCapacity];
    if (module == nullptr) EXPECT_EQ(kExePathUnspelled, ReadExePath(path));
    if (module != nullptr) {
        FreeLibrary(module);
        DeleteFileW(exe.c_str());
        RemoveDirectoryW(folder.c_str());
    }
}

CONTRACT_SUITE(ProfileContract);

}  // namespace
