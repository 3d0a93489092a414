#include "config/settings.h"
#include "config/text_join.h"

#include <cstring>
#include <string>

#include "sim_test.h"

namespace {

const char kExe[] = "C:\\Program Files\\Tolvane\\tolvane.exe";
const char kIni[] = "C:\\Program Files\\Tolvane\\tolvane.ini";

std::string PathFor(const char* exe, DWORD capacity = kSettingsPathCapacity) {
    char out[kSettingsPathCapacity + 8];
    std::memset(out, '#', sizeof out);
    out[sizeof out - 1] = '\0';
    if (!SettingsPathFromExePath(exe, out, capacity)) return "<refused>";
    return out;
}

TEST(SettingsPath, ExtensionOfTheFileNameBecomesIni) {
    EXPECT_EQ(kIni, PathFor(kExe));
    EXPECT_EQ("C:\\svc.ini", PathFor("C:\\svc.exe"));
    EXPECT_EQ("C:\\a\\svc.tar.ini", PathFor("C:\\a\\svc.tar.exe"));
    EXPECT_EQ("C:\\a\\svc.ini", PathFor("C:\\a\\svc."));
    EXPECT_EQ("svc.ini", PathFor("svc.exe"));
}

TEST(SettingsPath, DotInAFolderNameIsNeverTheExtension) {
    EXPECT_EQ("C:\\dir.v2\\tolvane.ini", PathFor("C:\\dir.v2\\tolvane.exe"));
    // A file name without a "." gets ".ini" added to the whole path.
    EXPECT_EQ("C:\\dir.v2\\tolvane.ini", PathFor("C:\\dir.v2\\tolvane"));
    EXPECT_EQ("C:/dir.v2/tolvane.ini", PathFor("C:/dir.v2/tolvane"));
    EXPECT_EQ("C:tolvane.ini", PathFor("C:tolvane"));
    EXPECT_EQ("\\\\host\\share.x\\svc.ini", PathFor("\\\\host\\share.x\\svc"));
}

TEST(SettingsPath, ResultMustFitTheCapacity) {
    // "C:\svc.exe" -> "C:\svc.ini": 10 characters and the terminator.
    EXPECT_EQ("C:\\svc.ini", PathFor("C:\\svc.exe", 11));
    EXPECT_EQ("<refused>", PathFor("C:\\svc.exe", 10));
    // Appending ".ini" needs four more.
    EXPECT_EQ("C:\\svc.ini", PathFor("C:\\svc", 11));
    EXPECT_EQ("<refused>", PathFor("C:\\svc", 10));

    // The longest exe path read, without an extension, still fits.
    std::string longest(kExePathCapacity - 1, 'a');
    longest.replace(0, 3, "C:\\");
    EXPECT_EQ(longest + ".ini", PathFor(longest.c_str()));
}

TEST(TextJoin, WholeOrNothingAtEveryEdge) {
    char out[8];
    // "Service" + "_" = 8 characters: one too many for 8 bytes with the NUL.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(1, JoinText(out, 8, "Serv", "ic", "e"));
    EXPECT_STREQ("Service", out);
    EXPECT_EQ(0, JoinText(out, 8, "Serv", "ice", "_"));
    EXPECT_STREQ("", out) << "refused, never cut";
    EXPECT_EQ(0, JoinText(out, 8, "", "", "12345678"));
    EXPECT_STREQ("", out);

    EXPECT_EQ(1, JoinText(out, 1, ""));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, JoinText(out, 1, "x"));
    std::strcpy(out, "kept");
    EXPECT_EQ(0, JoinText(out, 0, ""));
    EXPECT_STREQ("kept", out) << "no room at all: nothing written";
}

class Settings : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Sim().exePath = kExe;
    }
    void WriteIni(const std::string& text) { Sim().WriteFile(kIni, text); }
};

TEST_F(Settings, NoFileGivesEveryDefault) {
    char model[kModelCapacity];
    char display[kDisplayNameCapacity];
    char description[kDescriptionCapacity];
    char bt[kPatternCapacity];
    char wifi[kPatternCapacity];
    std::strcpy(description, "junk");
    std::strcpy(bt, "junk");
    std::strcpy(wifi, "junk");

    EXPECT_EQ(1, ReadSetting(kSectionProduct, kKeyModel, kDefaultModel, model, sizeof model));
    EXPECT_EQ(1, ReadSetting(kSectionProduct, kKeyDisplayName, kDefaultDisplayName, display,
                             sizeof display));
    EXPECT_EQ(1, ReadSetting(kSectionProduct, kKeyDescription, kDefaultDescription, description,
                             sizeof description));
    EXPECT_EQ(1, ReadSetting(kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, bt,
                             sizeof bt));
    EXPECT_EQ(1, ReadSetting(kSectionSettings, kKeyWifiPattern, kDefaultPattern, wifi,
                             sizeof wifi));
    EXPECT_STREQ("QM5520", model);
    EXPECT_STREQ("Verdin Service", display);
    EXPECT_STREQ("", description);
    EXPECT_STREQ("", bt);
    EXPECT_STREQ("", wifi);

    EXPECT_EQ(1, DeriveServiceName());
    EXPECT_STREQ("Tolvane_QM5520", ServiceName);
}

TEST_F(Settings, ValuesComeFromTheFileBesideTheExe) {
    WriteIni(
        "[Product]\r\nModel=QM7\r\nServiceDisplayName=Radio Share\r\n"
        "ServiceDescription=Keeps the radios apart\r\n"
        "[Settings]\r\nBTHWID=USB\\VID_0B7A\r\nWiFiHWID=PCI\\VEN_7E57\r\n");
    char display[kDisplayNameCapacity];
    char description[kDescriptionCapacity];
    char bt[kPatternCapacity];
    char wifi[kPatternCapacity];
    ReadSetting(kSectionProduct, kKeyDisplayName, kDefaultDisplayName, display, sizeof display);
    ReadSetting(kSectionProduct, kKeyDescription, kDefaultDescription, description,
                sizeof description);
    ReadSetting(kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, bt, sizeof bt);
    ReadSetting(kSectionSettings, kKeyWifiPattern, kDefaultPattern, wifi, sizeof wifi);
    EXPECT_STREQ("Radio Share", display);
    EXPECT_STREQ("Keeps the radios apart", description);
    EXPECT_STREQ("USB\\VID_0B7A", bt);
    EXPECT_STREQ("PCI\\VEN_7E57", wifi);
    EXPECT_EQ(1, DeriveServiceName());
    EXPECT_STREQ("Tolvane_QM7", ServiceName);
}

TEST_F(Settings, EachReadSeesTheFileAsItIsNow) {
    char bt[kPatternCapacity];
    WriteIni("[Settings]\r\nBTHWID=USB\\VID_0B7A\r\n");
    ReadSetting(kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, bt, sizeof bt);
    EXPECT_STREQ("USB\\VID_0B7A", bt);

    WriteIni("[Settings]\r\nBTHWID=USB\\VID_7E58\r\n");
    ReadSetting(kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, bt, sizeof bt);
    EXPECT_STREQ("USB\\VID_7E58", bt);

    Sim().files.clear();
    ReadSetting(kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, bt, sizeof bt);
    EXPECT_STREQ("", bt);
}

TEST_F(Settings, EmptyModelGivesThePrefixAlone) {
    WriteIni("[Product]\r\nModel=\r\n");
    EXPECT_EQ(1, DeriveServiceName());
    EXPECT_STREQ("Tolvane_", ServiceName);
}

TEST_F(Settings, ModelOfAtMost55CharactersNamesTheService) {
    std::string model55(55, 'M');
    WriteIni("[Product]\r\nModel=" + model55 + "\r\n");
    EXPECT_EQ(1, DeriveServiceName());
    EXPECT_EQ("Tolvane_" + model55, ServiceName);
    EXPECT_EQ(63u, std::strlen(ServiceName));
}

TEST_F(Settings, LongerModelLeavesTheNameEmptyRatherThanCut) {
    // 56 fits the model buffer but not the name; 64 fits neither.
    for (size_t length : {size_t{56}, size_t{63}, size_t{64}, size_t{255}}) {
        std::strcpy(ServiceName, "Tolvane_OLD");
        WriteIni("[Product]\r\nModel=" + std::string(length, 'M') + "\r\n");
        EXPECT_EQ(0, DeriveServiceName()) << length;
        EXPECT_STREQ("", ServiceName) << length;
    }
}

TEST_F(Settings, ValueLongerThanTheCallersBufferIsRefusedNotCut) {
    char bt[kPatternCapacity];
    WriteIni("[Settings]\r\nBTHWID=" + std::string(63, 'P') + "\r\n");
    EXPECT_EQ(1, ReadSetting(kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, bt,
                             sizeof bt));
    EXPECT_EQ(std::string(63, 'P'), bt);

    WriteIni("[Settings]\r\nBTHWID=" + std::string(64, 'P') + "\r\n");
    EXPECT_EQ(0, ReadSetting(kSectionSettings, kKeyBluetoothPattern, kDefaultPattern, bt,
                             sizeof bt));
    EXPECT_STREQ("", bt);

    char display[kDisplayNameCapacity];
    WriteIni("[Product]\r\nServiceDisplayName=" + std::string(128, 'D') + "\r\n");
    EXPECT_EQ(0, ReadSetting(kSectionProduct, kKeyDisplayName, kDefaultDisplayName, display,
                             sizeof display));
    EXPECT_STREQ("", display);

    // A default too long for the buffer is refused the same way.
    EXPECT_EQ(0, ReadSetting(kSectionProduct, kKeyDisplayName, "Verdin Service", display, 8));
    EXPECT_STREQ("", display);

    // The package asks the same of a value before writing it.
    EXPECT_EQ(1, SettingFits(kSettingDisplayName, std::string(127, 'D').c_str()));
    EXPECT_EQ(0, SettingFits(kSettingDisplayName, std::string(128, 'D').c_str()));
    EXPECT_EQ(1, SettingFits(kSettingBluetoothPattern, std::string(63, 'P').c_str()));
    EXPECT_EQ(0, SettingFits(kSettingWifiPattern, std::string(64, 'P').c_str()));
    EXPECT_EQ(0, SettingFits(kSettingCount, ""));
}

TEST_F(Settings, NothingIsWrittenIntoABufferOfNoCapacity) {
    char dest[2] = {'X', 'X'};
    EXPECT_EQ(0, ReadSetting(kSectionProduct, kKeyModel, kDefaultModel, dest, 0));
    EXPECT_EQ('X', dest[0]);
}

TEST_F(Settings, StoredTextIsCutTo255ByTheProfileRead) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
    WriteIni("[Product]\r\nServiceDescription=" + text + "\r\n");
    char description[kDescriptionCapacity];
    EXPECT_EQ(1, ReadSetting(kSectionProduct, kKeyDescription, kDefaultDescription, description,
                             sizeof description));
    EXPECT_EQ(text.substr(0, 255), description);
}

TEST_F(Settings, ExeInADottedFolderReadsItsOwnNameWithIni) {
    Sim().exePath = "C:\\Tools\\dir.v2\\tolvane.exe";
    Sim().WriteFile("C:\\Tools\\dir.ini", "[Product]\r\nModel=WRONG\r\n");
    Sim().WriteFile("C:\\Tools\\dir.v2\\tolvane.ini", "[Product]\r\nModel=RIGHT\r\n");
    EXPECT_EQ(1, DeriveServiceName());
    EXPECT_STREQ("Tolvane_RIGHT", ServiceName);

    // Without an extension the file is the whole path with ".ini".
    Sim().exePath = "C:\\Tools\\dir.v2\\tolvane";
    EXPECT_EQ(1, DeriveServiceName());
    EXPECT_STREQ("Tolvane_RIGHT", ServiceName);
}

// The profile read opens a file whose path fits in MAX_PATH and no other:
// a settings file beyond it is refused, never read as its defaults.
TEST_F(Settings, SettingsFileMustBeWithinMaxPath) {
    struct Case {
        size_t iniLength;
        int located;
    };
    for (const Case& c : {Case{MAX_PATH - 1, kSettingsFileNamed},
                          Case{MAX_PATH, kSettingsFileOutOfReach},
                          Case{kExePathCapacity - 1, kSettingsFileOutOfReach}}) {
        std::string folder = "C:\\" + std::string(c.iniLength - 3 - 12, 'f');
        std::string exe = folder + "\\tolvane.exe";
        std::string ini = folder + "\\tolvane.ini";
        ASSERT_EQ(c.iniLength, ini.size());
        Sim().exePath = exe;
        Sim().WriteFile(ini, "[Product]\r\nModel=LONG\r\n");

        char path[kSettingsPathCapacity];
        EXPECT_EQ(c.located, LocateSettingsFile(path)) << c.iniLength;
        EXPECT_EQ(ini, path) << "the file named either way, for a report";
        const bool named = c.located == kSettingsFileNamed;
        EXPECT_EQ(named ? 1 : 0, SettingsFilePath(path)) << c.iniLength;
        EXPECT_EQ(named ? ini : "", path);
        EXPECT_EQ(named ? 1 : 0, DeriveServiceName()) << c.iniLength;
        EXPECT_STREQ(named ? "Tolvane_LONG" : "", ServiceName);
        char pattern[kPatternCapacity];
        std::strcpy(pattern, "unchanged");
        EXPECT_EQ(named ? 1 : 0, ReadSetting(kSectionSettings, kKeyWifiPattern, kDefaultPattern,
                                            pattern, sizeof pattern));
        EXPECT_STREQ("", pattern);
        // The exe's own path is read whole all the same.
        char exePath[kExePathCapacity];
        EXPECT_EQ(1, ReadExePath(exePath));
        EXPECT_EQ(exe, exePath);
    }
    // Characters, not bytes: a double-byte folder of 259 characters in all
    // is named, one more is not.
    Sim().codePage = 932;
    for (size_t chars : {size_t{MAX_PATH - 1}, size_t{MAX_PATH}}) {
        std::string folder = "C:\\";
        for (size_t i = 0; i < chars - 3 - 12; ++i) folder += "\x82\xA0";
        Sim().exePath = folder + "\\tolvane.exe";
        Sim().WriteFile(folder + "\\tolvane.ini", "[Product]\r\nModel=WIDE\r\n");
        char path[kSettingsPathCapacity];
        EXPECT_EQ(chars < MAX_PATH ? kSettingsFileNamed : kSettingsFileOutOfReach,
                  LocateSettingsFile(path)) << chars;
        EXPECT_EQ(chars < MAX_PATH ? 1 : 0, DeriveServiceName()) << chars;
    }
    // An exe named "\x83\x5C.exe": its 0x5C is a trail byte, not the folder's end.
    Sim().exePath = "C:\\Tools\\\x83\x5C.exe";
    ReadSettingsOf(kServiceExeName);
    char exe[kExePathCapacity];
    EXPECT_EQ(kExePathRead, SettingsExePath(exe));
    EXPECT_STREQ("C:\\Tools\\tolvane.exe", exe);
    ReadSettingsOf(nullptr);
    Sim().codePage = 1252;
    // An exe without an extension has ".ini" added: 256 characters are
    // already out of reach.
    Sim().exePath = "C:\\" + std::string(256 - 3, 'g');
    char path[kSettingsPathCapacity];
    EXPECT_EQ(kSettingsFileOutOfReach, LocateSettingsFile(path));
}

TEST_F(Settings, ExePathThatCannotBeReadWholeRefusesEveryRead) {
    // The files a cut path or the full path would name exist, and so do the
    // defaults; none may be used: the defaults could name another
    // installation's service and match every device.
    std::string folder = "C:\\" + std::string(1100, 'f');
    std::string exe = folder + "\\tolvane.exe";
    Sim().WriteFile(folder + "\\tolvane.ini", "[Product]\r\nModel=FULL\r\n");
    Sim().WriteFile(exe.substr(0, kExePathCapacity - 1) + ".ini", "[Product]\r\nModel=CUT\r\n");
    // One character over the buffer is already too long; an empty path is
    // no path at all.
    const std::string oneOver = "C:\\" + std::string(kExePathCapacity - 3 - 12, 'f') + "\\tolvane.exe";
    ASSERT_EQ(kExePathCapacity, oneOver.size());
    // The edge in figures, as documented: 1,023 characters are read whole,
    // 1,024 are not.
    const std::string longest = "C:\\" + std::string(1023 - 3 - 12, 'f') + "\\tolvane.exe";
    ASSERT_EQ(1023u, longest.size());
    Sim().exePath = longest;
    char whole[kExePathCapacity];
    EXPECT_EQ(1, ReadExePath(whole));
    EXPECT_EQ(longest, whole);
    ASSERT_EQ(1024u, oneOver.size());
    for (const std::string& path : {exe, oneOver, std::string()}) {
        Sim().exePath = path;
        EXPECT_EQ(0, DeriveServiceName()) << path.size();
        EXPECT_STREQ("", ServiceName);

        char display[kDisplayNameCapacity];
        std::strcpy(display, "unchanged");
        EXPECT_EQ(0, ReadSetting(kSectionProduct, kKeyDisplayName, kDefaultDisplayName, display,
                                 sizeof display));
        EXPECT_STREQ("", display);
        char exePath[kExePathCapacity];
        EXPECT_EQ(0, ReadExePath(exePath));
        EXPECT_STREQ("", exePath);
        char file[kSettingsPathCapacity];
        EXPECT_EQ(kSettingsExeUnread, LocateSettingsFile(file));
        EXPECT_STREQ("", file);
    }
}

// The exe's path comes in UTF-16. One the ANSI code page spells only with
// "?" or a best-fit look-alike (o for U+0151) is refused as one cut would be,
// though a file stands where the look-alike leads.
TEST_F(Settings, ExePathTheCodePageCannotSpellIsRefused) {
    Sim().WriteFile("C:\\Tools\\tolvane.ini", "[Product]\r\nModel=LOOKALIKE\r\n");
    struct Case {
        UINT codePage;
        std::wstring wide;
        int read;
        const char* ansi;
    };
    for (const Case& c :
         {Case{1252, L"C:\\T\x0151ols\\tolvane.exe", kExePathUnspelled, ""},
          Case{1252, L"C:\\\x0418\x043D\\tolvane.exe", kExePathUnspelled, ""},
          Case{932, L"C:\\\xD55C\\tolvane.exe", kExePathUnspelled, ""},
          Case{1252, L"C:\\Caf\x00E9\\tolvane.exe", kExePathRead, "C:\\Caf\xE9\\tolvane.exe"},
          Case{932, L"C:\\\x3042\\tolvane.exe", kExePathRead, "C:\\\x82\xA0\\tolvane.exe"},
          // UTF-8 spells every character (this one beyond the basic plane
          // too), but not a lone surrogate.
          Case{CP_UTF8, L"C:\\\x0418\xD83D\xDE00\\tolvane.exe", kExePathRead,
               "C:\\\xD0\x98\xF0\x9F\x98\x80\\tolvane.exe"},
          Case{CP_UTF8, L"C:\\\xD83D\\tolvane.exe", kExePathUnspelled, ""}}) {
        Sim().codePage = c.codePage;
        Sim().exePathWide = c.wide;
        char exePath[kExePathCapacity];
        EXPECT_EQ(c.read, ReadExePath(exePath)) << c.ansi;
        EXPECT_STREQ(c.ansi, exePath);
        char file[kSettingsPathCapacity];
        const bool spelled = c.read == kExePathRead;
        EXPECT_EQ(spelled ? kSettingsFileNamed : kSettingsExeUnspelled, LocateSettingsFile(file));
        EXPECT_EQ(spelled ? 1 : 0, DeriveServiceName());
        EXPECT_STREQ(spelled ? "Tolvane_QM5520" : "", ServiceName) << "no look-alike's file";
    }
}

}  // namespace
