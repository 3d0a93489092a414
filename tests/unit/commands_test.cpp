#include "service/commands.h"
#include "service/image_path.h"

#include <cstring>

#include "config/settings.h"
#include "sim_services.h"
#include "sim_test.h"

namespace {

const char kKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520";
const char kSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvane_QM5520";

LONG WINAPI RefusedKeyOpen(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_ACCESS_DENIED; }

class Commands : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(1, DeriveServiceName());
    }

    void Settings(const std::string& product) {
        std::string ini = Sim().exePath.substr(0, Sim().exePath.rfind('.')) + ".ini";
        Sim().WriteFile(ini, "[Product]\n" + product);
    }

    const sim::SimService* Service() {
        auto it = sim::Scm().services.find("tolvane_qm5520");
        return it == sim::Scm().services.end() ? nullptr : &it->second;
    }

    std::string Registered(const char* value, const char* key = kKey, DWORD type = REG_SZ) {
        const sim::RegValue* v = Sim().FindValue(sim::RegView::View32, key, value);
        return !v ? "<absent>" : v->type == type && v->name == value ? v->data : "<other type>";
    }

    bool Called(const std::string& prefix) {
        for (const std::string& c : sim::Scm().calls)
            if (c.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
};

TEST_F(Commands, InstallRegistersTheServiceAndItsDescription) {
    Settings("ServiceDisplayName=Radio Peace\nServiceDescription=Keeps the radios apart\n");
    EXPECT_EQ(1, CommandInstall());
    EXPECT_EQ("Service Tolvane_QM5520 Installed.\n", Sim().stdoutText);

    const sim::SimService* s = Service();
    ASSERT_NE(nullptr, s);
    EXPECT_EQ("Tolvane_QM5520", s->name);
    EXPECT_EQ("Radio Peace", s->displayName);
    EXPECT_EQ("\"C:\\Program Files\\Tolvane\\tolvane.exe\"", s->imagePath);
    EXPECT_EQ(0x10u, s->type);
    EXPECT_EQ(2u, s->startType);
    EXPECT_EQ(0u, s->errorControl);
    EXPECT_TRUE(s->groupNull && s->tagNull && s->dependenciesNull && s->accountNull &&
                s->passwordNull);
    EXPECT_EQ(std::string("Keeps the radios apart", 23), Registered("Description"))
        << "stored with its terminating null";
    const sim::RegValue* d = Sim().FindValue(sim::RegView::View32, kKey, "Description");
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), d->type);
    // The log's source: the exe's path unquoted, and three types.
    EXPECT_EQ(std::string("C:\\Program Files\\Tolvane\\tolvane.exe", 37),
              Registered("EventMessageFile", kSource, REG_EXPAND_SZ));
    EXPECT_EQ(std::string("\7\0\0\0", 4), Registered("TypesSupported", kSource, REG_DWORD));

    // Recovery: a restart after 5 s twice, then nothing; the count reset
    // after a day. Set on the created service's handle, before it closes.
    EXPECT_EQ(86400u, s->failureResetSeconds);
    ASSERT_EQ(3u, s->failureActions.size());
    const SC_ACTION expected[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000},
                                  {SC_ACTION_NONE, 0}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(expected[i].Type, s->failureActions[i].Type) << "action " << i;
        EXPECT_EQ(expected[i].Delay, s->failureActions[i].Delay) << "action " << i;
    }
    // Then the one privilege it keeps, the list ending in a second null.
    EXPECT_EQ(std::vector<std::string>{"SeChangeNotifyPrivilege"}, s->requiredPrivileges);
    EXPECT_EQ(sizeof "SeChangeNotifyPrivilege" + 1, sizeof kRequiredPrivileges);
    const std::vector<std::string>& calls = sim::Scm().calls;
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ("ChangeServiceConfig2A 0x2", calls[calls.size() - 4]);
    EXPECT_EQ("ChangeServiceConfig2A 0x6", calls[calls.size() - 3]);
    EXPECT_EQ("CloseServiceHandle service", calls[calls.size() - 2]);
}

TEST_F(Commands, InstallDefaultsAndAnUnquotedPath) {
    Sim().exePath = "C:\\Tolvane\\tolvane.exe";
    EXPECT_EQ(1, CommandInstall());
    ASSERT_NE(nullptr, Service());
    EXPECT_EQ("Verdin Service", Service()->displayName);
    EXPECT_EQ("C:\\Tolvane\\tolvane.exe", Service()->imagePath);
    EXPECT_EQ(std::string("", 1), Registered("Description"));
}

TEST_F(Commands, ADescriptionRecoveryOrPrivilegesThatCannotBeSetNeverFailTheInstall) {
    Sim().regSetFails = true;
    Sim().regCreateFails = ERROR_ACCESS_DENIED;
    sim::Scm().changeConfig2Error = ERROR_INVALID_PARAMETER;  // as Wine answers for privileges
    EXPECT_EQ(1, CommandInstall());
    EXPECT_FALSE(Sim().KeyExists(0, kSource));
    EXPECT_EQ("Service Tolvane_QM5520 Installed.\n", Sim().stdoutText);
    EXPECT_EQ("<absent>", Registered("Description"));
    EXPECT_TRUE(Called("ChangeServiceConfig2A 0x2") && Called("ChangeServiceConfig2A 0x6"))
        << "asked for, and refused";
    EXPECT_TRUE(Service()->failureActions.empty());
    EXPECT_TRUE(Service()->requiredPrivileges.empty());

    // Nor one whose key does not open.
    sim::UseSimulatedWindows();
    ASSERT_EQ(1, DeriveServiceName());
    Win32Api api = sim::Api();
    api.RegOpenKeyExA = RefusedKeyOpen;
    SetWin32Api(&api);
    EXPECT_EQ(1, CommandInstall());
    EXPECT_NE(nullptr, Service());
    SetWin32Api(&sim::Api());
}

TEST_F(Commands, LongExePathsAreRegisteredWholeOrNotAtAll) {
    // Well past the 127 characters a short buffer would keep, with a space.
    std::string folder = "C:\\Program Files\\" + std::string(150, 'd') + "\\";
    Sim().exePath = folder + "tolvane.exe";
    EXPECT_EQ(1, CommandInstall());
    ASSERT_NE(nullptr, Service());
    EXPECT_EQ("\"" + Sim().exePath + "\"", Service()->imagePath);

    // The longest path whose settings file the profile read still opens,
    // quoted: whole.
    sim::UseSimulatedWindows();
    ASSERT_EQ(1, DeriveServiceName());
    Sim().exePath = "C:\\a b\\" + std::string(MAX_PATH - 12, 'x') + ".exe";
    ASSERT_EQ(MAX_PATH - 1u, Sim().exePath.size());
    EXPECT_EQ(1, CommandInstall());
    ASSERT_NE(nullptr, Service());
    EXPECT_EQ("\"" + Sim().exePath + "\"", Service()->imagePath);

    // The exe path at its room, with a space: its quotes still fit. An
    // image path whose quote never closes gives the rest as the exe.
    char image[kImagePathCapacity];
    const std::string atRoom = "C:\\a b\\" + std::string(kExePathCapacity - 8, 'x');
    EXPECT_EQ("\"" + atRoom + "\"",
              std::string(FormImagePath(atRoom.c_str(), image, sizeof image) ? image : "?"));
    char exe[kImagePathCapacity];
    EXPECT_EQ("C:\\a b\\tolvane.exe",
              std::string(ImagePathExe("\"C:\\a b\\tolvane.exe", exe, sizeof exe) ? exe : "?"));

    // One more character and the settings are out of reach; far more and
    // the exe path is cut; a Cyrillic folder the code page cannot spell (0).
    // Each way nothing is created, and no default name addresses a service
    // another installation registered.
    for (size_t length : {size_t{MAX_PATH}, size_t{kExePathCapacity}, size_t{0}}) {
        sim::UseSimulatedWindows();
        ASSERT_EQ(1, DeriveServiceName());
        EXPECT_EQ(1, CommandInstall());
        Sim().exePath = "C:\\ab\\" + std::string(length ? length - 10 : 0, 'x') + ".exe";
        if (length == 0) Sim().exePathWide = L"C:\\\x0418\x043D\\tolvane.exe";
        EXPECT_EQ(-2, CommandInstall()) << "the name was formed before; the path is still refused";
        EXPECT_EQ(0, DeriveServiceName());
        sim::Scm().calls.clear();
        Sim().stdoutText.clear();
        EXPECT_EQ(-2, CommandInstall());
        EXPECT_EQ(-3, CommandStart());
        EXPECT_EQ(-3, CommandStop());
        EXPECT_EQ(-3, CommandUninstall());
        EXPECT_FALSE(Called("CreateServiceA") || Called("OpenServiceA")) << length;
        EXPECT_EQ("", Sim().stdoutText);
        EXPECT_NE(nullptr, Service()) << "the installed service is left alone";
    }
}

TEST_F(Commands, RefusedNamesCreateAndAddressNothing) {
    // A display name too long to hold is not registered cut or empty.
    Settings("ServiceDisplayName=" + std::string(kDisplayNameCapacity, 'n') + "\n");
    EXPECT_EQ(-2, CommandInstall());
    EXPECT_TRUE(sim::Scm().services.empty());
    Settings("ServiceDisplayName=" + std::string(kDisplayNameCapacity - 1, 'n') + "\n");
    EXPECT_EQ(1, CommandInstall());
    ASSERT_NE(nullptr, Service());
    EXPECT_EQ(kDisplayNameCapacity - 1, Service()->displayName.size());

    // A model too long for the service name leaves the name empty.
    Settings("Model=" + std::string(56, 'm') + "\n");
    EXPECT_EQ(0, DeriveServiceName());
    sim::Scm().calls.clear();
    EXPECT_EQ(-2, CommandInstall());
    EXPECT_EQ(-3, CommandStart());
    EXPECT_EQ(-3, CommandStop());
    EXPECT_EQ(-3, CommandUninstall());
    EXPECT_FALSE(Called("CreateServiceA") || Called("OpenServiceA"));
    EXPECT_EQ("Service Tolvane_QM5520 Installed.\n", Sim().stdoutText);
}

TEST_F(Commands, EachCommandOnEachServiceState) {
    struct Row { int (*command)(); int result; const char* line; };
    // Not installed.
    for (const Row& r : {Row{CommandUninstall, -3, ""}, Row{CommandStart, -3, ""},
                         Row{CommandStop, -3, ""}}) {
        EXPECT_EQ(r.result, r.command());
    }
    ASSERT_EQ(1, CommandInstall());
    Sim().stdoutText.clear();
    const Row installed[] = {
        {CommandStop, -6, ""},                                  // not running
        {CommandStart, 1, "Service Tolvane_QM5520 Started.\n"},
        {CommandStart, -5, ""},                                 // already running
        {CommandInstall, -2, ""},                               // exists
        {CommandStop, 1, "Service Tolvane_QM5520 Stopped.\n"},
        {CommandUninstall, 1, "Service Tolvane_QM5520 Uninstalled.\n"},
        {CommandUninstall, -3, ""},
    };
    for (const Row& r : installed) {
        SCOPED_TRACE(testing::Message() << "expecting " << r.result);
        Sim().stdoutText.clear();
        EXPECT_EQ(r.result, r.command());
        EXPECT_EQ(r.line, Sim().stdoutText);
    }
    EXPECT_EQ(0u, sim::Scm().lastStartArgc);
    EXPECT_TRUE(sim::Scm().lastStartArgvNull);
    EXPECT_FALSE(Sim().KeyExists(0, kKey)) << "the deleted service's key is gone";
    EXPECT_FALSE(Sim().KeyExists(0, kSource)) << "and its source";
    EXPECT_EQ(1u, Sim().regDeletes.size()) << "removed by the uninstall that deleted the service";
}

// A stop is taken at once and done later: while the service is still
// stopping, neither a second stop nor a start is taken, and nothing prints.
TEST_F(Commands, AServiceStillStoppingTakesNoSecondStopNorAStart) {
    ASSERT_EQ(1, CommandInstall());
    ASSERT_EQ(1, CommandStart());
    sim::Scm().stopPendingCalls = 1000;
    Sim().stdoutText.clear();
    EXPECT_EQ(1, CommandStop());
    EXPECT_EQ("Service Tolvane_QM5520 Stopped.\n", Sim().stdoutText);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), Service()->state);
    Sim().stdoutText.clear();
    EXPECT_EQ(-6, CommandStop());
    EXPECT_EQ(-5, CommandStart());
    EXPECT_EQ("", Sim().stdoutText);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), Service()->state);
}

TEST_F(Commands, AnInstallOverAnExistingServiceLeavesItAlone) {
    Settings("ServiceDescription=first\n");
    ASSERT_EQ(1, CommandInstall());
    Settings("ServiceDisplayName=Other\nServiceDescription=second\n");
    Sim().stdoutText.clear();
    EXPECT_EQ(-2, CommandInstall());
    EXPECT_EQ("", Sim().stdoutText);
    EXPECT_EQ("Verdin Service", Service()->displayName);
    EXPECT_EQ(std::string("first", 6), Registered("Description"));
}

TEST_F(Commands, WithoutAdministratorRightsEveryCommandFailsAtTheManager) {
    sim::Scm().admin = false;
    for (int (*command)() : {CommandInstall, CommandUninstall, CommandStart, CommandStop})
        EXPECT_EQ(-1, command());
    EXPECT_EQ("", Sim().stdoutText);
    EXPECT_EQ(4u, sim::Scm().calls.size()) << "nothing after the manager";
}

TEST_F(Commands, HandlesCloseServiceFirstThenManager) {
    ASSERT_EQ(1, CommandInstall());
    sim::Scm().calls.clear();
    EXPECT_EQ(-6, CommandStop());
    const std::vector<std::string> expected = {
        "OpenSCManagerA", "OpenServiceA Tolvane_QM5520", "ControlService 0x1",
        "CloseServiceHandle service", "CloseServiceHandle manager"};
    EXPECT_EQ(expected, sim::Scm().calls);
}

}  // namespace
