#include "service/entry.h"

#include <dbt.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "service/service_runtime.h"
#include "sim_services.h"
#include "sim_test.h"

namespace {

const DWORD kSafety = 10000;  // a bound on waits, never a measured time

HMODULE WINAPI NoModule(LPCSTR) { return nullptr; }
LPSTR WINAPI NoCommandLine() { return nullptr; }
HMODULE WINAPI OtherModule(LPCSTR) { return reinterpret_cast<HMODULE>(0x12340000); }

class Entry : public SimTest {
protected:
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), "tolvane.exe");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        return ProcessEntry(static_cast<int>(args.size()), argv.data());
    }

    bool Installed() { return sim::Scm().services.count("tolvane_qm5520") != 0; }
    DWORD ServiceState() { return sim::Scm().services["tolvane_qm5520"].state; }
};

TEST_F(Entry, FrameworkFailurePrintsItsLineAndDoesNothingElse) {
    for (int which = 0; which < 2; ++which) {
        sim::UseSimulatedWindows();
        Win32Api api = sim::Api();
        if (which == 0) api.GetModuleHandleA = NoModule;
        else api.GetCommandLineA = NoCommandLine;
        SetWin32Api(&api);
        EXPECT_EQ(-99, Run({"/install"}));
        EXPECT_EQ("Fatal Error: MFC initialization failed\n", Sim().stdoutText);
        EXPECT_TRUE(sim::SettingsReads().empty()) << "no service name formed";
        EXPECT_TRUE(sim::Scm().calls.empty());
        SetWin32Api(&sim::Api());
    }
}

TEST_F(Entry, FrameworkRecordsModuleAndCommandLine) {
    Sim().commandLine = "tolvane.exe /bogus";
    Win32Api api = sim::Api();
    api.GetModuleHandleA = OtherModule;
    SetWin32Api(&api);
    EXPECT_EQ(1, Run({"/bogus"}));
    SetWin32Api(&sim::Api());
    EXPECT_EQ(OtherModule(nullptr), AppObject.instance);
    EXPECT_STREQ("tolvane.exe /bogus", AppObject.commandLine);
    EXPECT_EQ(nullptr, AppObject.appName);
}

TEST_F(Entry, NoArgumentFromAConsoleEndsWithMinusSeven) {
    sim::Scm().dispatcherFails = true;
    EXPECT_EQ(-7, Run({}));
    EXPECT_EQ("", Sim().stdoutText);
    EXPECT_EQ(std::vector<std::string>{"Tolvane_QM5520"}, sim::Scm().dispatcherTable);
    EXPECT_TRUE(sim::Scm().dispatcherTableTerminated);
}

// What the service role has prepared when the dispatcher is started.
struct AtDispatch {
    std::string tableName;
    DWORD state = 0;
};
AtDispatch g_atDispatch;

BOOL WINAPI RecordingDispatcher(const SERVICE_TABLE_ENTRYA* table) {
    g_atDispatch.tableName = table[0].lpServiceName;
    g_atDispatch.state = ServiceCurrentState();
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}

TEST_F(Entry, TheServiceRoleDerivesTheNameAndPreparesTheRuntimeBeforeTheDispatcher) {
    // What an earlier run left: another name, and a runtime that reported stopped.
    std::strcpy(ServiceName, "Stale");
    InitServiceRuntime();
    ControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceCurrentState());

    Win32Api api = sim::Api();
    api.StartServiceCtrlDispatcherA = RecordingDispatcher;
    SetWin32Api(&api);
    EXPECT_EQ(-7, Run({}));
    SetWin32Api(&sim::Api());
    EXPECT_EQ("Tolvane_QM5520", g_atDispatch.tableName);
    // A device event from here on waits for the start-up rule, and an
    // interrogation reports start pending.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), g_atDispatch.state);
}

DWORD WINAPI RunServiceRole(LPVOID) {
    char program[] = "tolvane.exe";
    char* argv[] = {program, nullptr};
    return static_cast<DWORD>(ProcessEntry(1, argv));
}

TEST_F(Entry, NoArgumentRunsTheServiceUntilItStops) {
    HANDLE process = CreateThread(nullptr, 0, RunServiceRole, nullptr, 0, nullptr);
    ASSERT_TRUE(sim::WaitForReport(SERVICE_RUNNING, kSafety));
    DWORD result = 99;
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, &result));
    EXPECT_EQ(0u, result);
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_STOP, 0, &result));
    EXPECT_EQ(0u, result);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, kSafety));
    DWORD code = 0;
    GetExitCodeThread(process, &code);
    CloseHandle(process);
    EXPECT_EQ(1, static_cast<int>(code));
    EXPECT_EQ("Tolvane_QM5520", sim::Scm().handlerName);
    EXPECT_NE(sim::Scm().dispatcherThread, sim::Scm().serviceThread);
    // Running from the service thread; the rest from the dispatcher's.
    std::vector<sim::StatusReport> reports = sim::Reports();
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(sim::Scm().serviceThread, reports[0].thread);
    EXPECT_EQ(sim::Scm().dispatcherThread, reports[3].thread);
    EXPECT_EQ("", Sim().stdoutText);
}

TEST_F(Entry, OptionsIgnoreCaseAndRunTheirCommands) {
    EXPECT_EQ(1, Run({"/INSTALL"}));
    EXPECT_EQ("Service Tolvane_QM5520 Installed.\nService Tolvane_QM5520 Started.\n",
              Sim().stdoutText);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());

    Sim().stdoutText.clear();
    EXPECT_EQ(1, Run({"/Stop", "/start"}));
    EXPECT_EQ("Service Tolvane_QM5520 Stopped.\n", Sim().stdoutText);

    Sim().stdoutText.clear();
    EXPECT_EQ(1, Run({"/sTaRt", "extra"}));
    EXPECT_EQ("Service Tolvane_QM5520 Started.\n", Sim().stdoutText);

    Sim().stdoutText.clear();
    EXPECT_EQ(1, Run({"/UNINSTALL"}));
    EXPECT_EQ("Service Tolvane_QM5520 Stopped.\nService Tolvane_QM5520 Uninstalled.\n",
              Sim().stdoutText);
    EXPECT_FALSE(Installed());
}

TEST_F(Entry, UninstallOfAStoppedServiceAndOfNone) {
    ASSERT_EQ(1, Run({"/install"}));
    ASSERT_EQ(1, Run({"/stop"}));
    Sim().stdoutText.clear();
    EXPECT_EQ(1, Run({"/uninstall"}));
    EXPECT_EQ("Service Tolvane_QM5520 Uninstalled.\n", Sim().stdoutText);
    Sim().stdoutText.clear();
    EXPECT_EQ(-3, Run({"/uninstall"}));
    EXPECT_EQ("", Sim().stdoutText);
}

TEST_F(Entry, InstallPassesOnWhatFailed) {
    ASSERT_EQ(1, Run({"/install"}));
    ASSERT_EQ(1, Run({"/stop"}));
    sim::Scm().calls.clear();
    Sim().stdoutText.clear();
    EXPECT_EQ(-2, Run({"/install"}));
    EXPECT_EQ("", Sim().stdoutText);
    for (const std::string& c : sim::Scm().calls) EXPECT_NE("StartServiceA", c);
    ASSERT_EQ(1, Run({"/uninstall"}));

    // Created, then the start fails: installed, and the start's code.
    sim::Scm().startError = ERROR_SERVICE_DISABLED;
    Sim().stdoutText.clear();
    EXPECT_EQ(-5, Run({"/install"}));
    EXPECT_EQ("Service Tolvane_QM5520 Installed.\n", Sim().stdoutText);
    EXPECT_TRUE(Installed());
}

TEST_F(Entry, UnknownOptionsDoNothing) {
    for (const char* option : {"install", "-install", "/remove", "/stopx", "/star", "/", "",
                               "/install ", "/ÍNSTALL"}) {
        SCOPED_TRACE(option);
        EXPECT_EQ(1, Run({option}));
    }
    EXPECT_EQ("", Sim().stdoutText);
    EXPECT_TRUE(sim::Scm().calls.empty());
}

}  // namespace
