// The service control manager as the install, uninstall, start and stop
// commands rely on it, checked with the same code against the simulation
// and against Wine.
//
// Every service made here has a name of its own and an image that names no
// file, so none can ever run; each is deleted again before and after its
// check, as a run that died half-way may have left it behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "backend.h"
#include "platform/win32_api.h"
#include "service/commands.h"
#include "sim_services.h"
#include "sim_windows.h"

namespace {

const DWORD kAllAccess = kCommandAccess;  // what the commands ask for, manager and service alike
const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kAbsentImage[] = "C:\\windows\\system32\\tolvane-contract-absent.exe";

const char kFirst[] = "TolvaneContract_1";
const char kSecond[] = "TolvaneContract_2";
const char* const kNames[] = {kFirst, kSecond};

class ServicesContract : public ::testing::TestWithParam<const Backend*> {
protected:
    void SetUp() override {
        GetParam()->Install();
        RemoveLeftovers();
    }
    void TearDown() override {
        RemoveLeftovers();
        if (!OnWine()) EXPECT_EQ(0, sim::State().OpenHandles()) << "handles left open";
        GetParam()->Remove();
    }

    bool OnWine() { return GetParam() == &kWineBackend; }

    SC_HANDLE OpenManager() { return Win().OpenSCManagerA(nullptr, nullptr, kAllAccess); }

    SC_HANDLE Create(SC_HANDLE manager, const char* name, const char* displayName) {
        return Win().CreateServiceA(manager, name, displayName, kAllAccess,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                    SERVICE_ERROR_IGNORE, kAbsentImage, nullptr, nullptr, nullptr,
                                    nullptr, nullptr);
    }

    void RemoveLeftovers() {
        SC_HANDLE manager = OpenManager();
        if (manager == nullptr) return;
        for (const char* name : kNames) {
            SC_HANDLE service = Win().OpenServiceA(manager, name, kAllAccess);
            if (service == nullptr) continue;
            Win().DeleteService(service);
            Win().CloseServiceHandle(service);
        }
        Win().CloseServiceHandle(manager);
    }
};

TEST_P(ServicesContract, ManagerOpensAndAMissingServiceIsReportedMissing) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager) << "error " << GetLastError();

    SetLastError(kUnsetLastError);
    EXPECT_EQ(nullptr, Win().OpenServiceA(manager, "TolvaneContract_Missing", kAllAccess));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());

    EXPECT_TRUE(Win().CloseServiceHandle(manager));
}

TEST_P(ServicesContract, CreatedServiceHasAKeyThatTakesADescription) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = Create(manager, kFirst, "Tolvane Contract One");
    ASSERT_NE(nullptr, service) << "error " << GetLastError();

    std::string keyPath = std::string(kServicesKey) + kFirst;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, kAllAccess, &key));
    const char text[] = "Radio coordination for the contract check";
    EXPECT_EQ(ERROR_SUCCESS,
              Win().RegSetValueExA(key, "Description", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(text), sizeof text));

    // Filled first, so a terminator that was not stored shows.
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    DWORD type = 0;
    DWORD size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, Win().RegQueryValueExA(key, "Description", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(buffer), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(sizeof text, size);
    EXPECT_EQ(std::string(text, sizeof text), std::string(buffer, sizeof text));
    EXPECT_EQ(ERROR_SUCCESS, Win().RegCloseKey(key));

    EXPECT_TRUE(Win().CloseServiceHandle(service));
    EXPECT_TRUE(Win().CloseServiceHandle(manager));
}

// As the check tool reads a service: with query rights only.
TEST_P(ServicesContract, QueriesGiveTheStateAndTheImagePathAsCreated) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager);
    SC_HANDLE created = Create(manager, kFirst, "Tolvane Contract One");
    ASSERT_NE(nullptr, created) << "error " << GetLastError();
    EXPECT_TRUE(Win().CloseServiceHandle(created));
    EXPECT_TRUE(Win().CloseServiceHandle(manager));

    manager = Win().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service =
        Win().OpenServiceA(manager, kFirst, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    ASSERT_NE(nullptr, service) << "error " << GetLastError();
    SERVICE_STATUS status;
    std::memset(&status, 0xEE, sizeof status);
    EXPECT_TRUE(Win().QueryServiceStatus(service, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);

    // Too small a buffer is refused with the size that would do.
    alignas(8) char buffer[8192];
    DWORD needed = 0;
    SetLastError(kUnsetLastError);
    QUERY_SERVICE_CONFIGA* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    EXPECT_FALSE(Win().QueryServiceConfigA(service, config, sizeof *config, &needed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_GT(needed, sizeof *config + sizeof kAbsentImage);
    ASSERT_TRUE(Win().QueryServiceConfigA(service, config, sizeof buffer, &needed));
    EXPECT_STREQ(kAbsentImage, config->lpBinaryPathName);
    EXPECT_STREQ("Tolvane Contract One", config->lpDisplayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config->dwStartType);

    EXPECT_TRUE(Win().CloseServiceHandle(service));
    EXPECT_TRUE(Win().CloseServiceHandle(manager));
}

// A handle grants what it was opened with, and nothing more: each call is
// refused with ERROR_ACCESS_DENIED, whatever state the service is in, when
// the right it needs is missing; the manager makes no service through a
// handle that may only connect.
TEST_P(ServicesContract, AHandleRefusesWhatItsAccessDoesNotGrant) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager);
    SC_HANDLE created = Create(manager, kFirst, "Tolvane Contract One");
    ASSERT_NE(nullptr, created) << "error " << GetLastError();
    EXPECT_TRUE(Win().CloseServiceHandle(created));

    SERVICE_STATUS status;
    SC_HANDLE query = Win().OpenServiceA(manager, kFirst, SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, query) << "error " << GetLastError();
    EXPECT_TRUE(Win().QueryServiceStatus(query, &status));
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().ControlService(query, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "stop";
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().StartServiceA(query, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "start";
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().DeleteService(query));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "delete";
    EXPECT_TRUE(Win().CloseServiceHandle(query));

    SC_HANDLE act = Win().OpenServiceA(manager, kFirst, SERVICE_STOP | SERVICE_START | DELETE);
    ASSERT_NE(nullptr, act) << "error " << GetLastError();
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().QueryServiceStatus(act, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "status";
    alignas(8) char buffer[8192];
    DWORD needed = 0;
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().QueryServiceConfigA(act, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer),
                                           sizeof buffer, &needed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "configuration";
    SERVICE_FAILURE_ACTIONSA none;
    std::memset(&none, 0, sizeof none);
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().ChangeServiceConfig2A(act, SERVICE_CONFIG_FAILURE_ACTIONS, &none));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << "recovery";
    // The right to stop, on a service that is not running.
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().ControlService(act, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
    EXPECT_TRUE(Win().DeleteService(act)) << "error " << GetLastError();
    EXPECT_TRUE(Win().CloseServiceHandle(act));
    EXPECT_TRUE(Win().CloseServiceHandle(manager));

    SC_HANDLE connect = Win().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, connect);
    SetLastError(kUnsetLastError);
    SC_HANDLE made = Win().CreateServiceA(connect, kSecond, "Tolvane Contract Two", kAllAccess,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                          SERVICE_ERROR_IGNORE, kAbsentImage, nullptr, nullptr,
                                          nullptr, nullptr, nullptr);
    EXPECT_EQ(nullptr, made);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    if (made) Win().CloseServiceHandle(made);
    EXPECT_TRUE(Win().CloseServiceHandle(connect));
}

// As /install sets recovery and the one privilege the service keeps, and
// the check tool reads them back. Both accept the actions. Wine's manager
// keeps none of them and refuses this query level (ERROR_INVALID_LEVEL),
// so both are held only to this: a query that answers gives the actions as
// set. Wine refuses the privileges (ERROR_INVALID_PARAMETER) and their
// query (ERROR_INVALID_LEVEL), as a manager before Windows Vista would.
TEST_P(ServicesContract, FailureActionsAndRequiredPrivilegesAreReadBackAsSet) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager);
    SC_HANDLE created = Create(manager, kFirst, "Tolvane Contract One");
    ASSERT_NE(nullptr, created) << "error " << GetLastError();
    SetLastError(kUnsetLastError);
    EXPECT_TRUE(SetRecovery(created)) << "error " << GetLastError();
    SetLastError(kUnsetLastError);
    const BOOL privilegesSet = SetRequiredPrivileges(created);
    const DWORD privilegesError = GetLastError();
    EXPECT_TRUE(Win().CloseServiceHandle(created));

    SC_HANDLE service = Win().OpenServiceA(manager, kFirst, SERVICE_QUERY_CONFIG);
    ASSERT_NE(nullptr, service) << "error " << GetLastError();
    alignas(8) BYTE buffer[8192];
    std::memset(buffer, 0xEE, sizeof buffer);
    DWORD needed = 0;
    if (Win().QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer,
                                   &needed)) {
        const SERVICE_FAILURE_ACTIONSA* read =
            reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(buffer);
        EXPECT_EQ(kFailureResetSeconds, read->dwResetPeriod);
        ASSERT_EQ(kFailureActionCount, read->cActions);
        for (DWORD i = 0; i < kFailureActionCount; ++i) {
            EXPECT_EQ(kFailureActions[i].Type, read->lpsaActions[i].Type) << i;
            EXPECT_EQ(kFailureActions[i].Delay, read->lpsaActions[i].Delay) << i;
        }
        // Too small a buffer gets the size that would do.
        SetLastError(kUnsetLastError);
        DWORD small = 0;
        EXPECT_FALSE(Win().QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                                                sizeof(SERVICE_FAILURE_ACTIONSA) - 1, &small));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
        EXPECT_EQ(needed, small);
    } else {
        EXPECT_TRUE(OnWine()) << "error " << GetLastError();
    }
    SetLastError(kUnsetLastError);
    if (Win().QueryServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, buffer,
                                   sizeof buffer, &needed)) {
        EXPECT_TRUE(privilegesSet) << "error " << privilegesError;
        const char* names =
            reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(buffer)->pmszRequiredPrivileges;
        ASSERT_NE(nullptr, names);
        EXPECT_EQ(std::string(kRequiredPrivileges, sizeof kRequiredPrivileges),
                  std::string(names, sizeof kRequiredPrivileges));
    } else {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
        EXPECT_TRUE(OnWine() && !privilegesSet);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), privilegesError);
    }

    EXPECT_TRUE(Win().CloseServiceHandle(service));
    EXPECT_TRUE(Win().CloseServiceHandle(manager));
}

TEST_P(ServicesContract, TakenNamesAndDisplayNamesAreRefused) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = Create(manager, kFirst, "Tolvane Contract One");
    ASSERT_NE(nullptr, service) << "error " << GetLastError();

    SetLastError(kUnsetLastError);
    SC_HANDLE again = Create(manager, kFirst, "Tolvane Contract Other");
    EXPECT_EQ(nullptr, again);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), GetLastError());
    if (again) Win().CloseServiceHandle(again);

    // Names are compared without regard to case.
    SetLastError(kUnsetLastError);
    again = Create(manager, "TOLVANECONTRACT_1", "Tolvane Contract Other");
    EXPECT_EQ(nullptr, again);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), GetLastError());
    if (again) Win().CloseServiceHandle(again);

    // A display name is taken whatever its case. Windows also refuses a
    // name that is another service's display name and a display name that
    // is another service's name; Wine accepts both, so neither is checked.
    for (const char* displayName : {"Tolvane Contract One", "TOLVANE CONTRACT ONE"}) {
        SetLastError(kUnsetLastError);
        SC_HANDLE other = Create(manager, kSecond, displayName);
        EXPECT_EQ(nullptr, other) << displayName;
        EXPECT_EQ(static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME), GetLastError())
            << displayName;
        if (other) Win().CloseServiceHandle(other);
    }

    EXPECT_TRUE(Win().CloseServiceHandle(service));
    EXPECT_TRUE(Win().CloseServiceHandle(manager));
}

TEST_P(ServicesContract, AServiceThatCannotStartIsNeverRunning) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = Create(manager, kFirst, "Tolvane Contract One");
    ASSERT_NE(nullptr, service) << "error " << GetLastError();

    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());

    // The image names no file. Wine says ERROR_FILE_NOT_FOUND, and the
    // simulation is told to fail the same way; only the failure is relied on.
    if (!OnWine()) sim::Scm().startError = ERROR_FILE_NOT_FOUND;
    EXPECT_FALSE(Win().StartServiceA(service, 0, nullptr));

    // A failed start leaves nothing to stop.
    std::memset(&status, 0, sizeof status);
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());

    EXPECT_TRUE(Win().CloseServiceHandle(service));
    EXPECT_TRUE(Win().CloseServiceHandle(manager));
}

TEST_P(ServicesContract, DeletedServiceIsGoneOnceItsHandlesClose) {
    SC_HANDLE manager = OpenManager();
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = Create(manager, kFirst, "Tolvane Contract One");
    ASSERT_NE(nullptr, service) << "error " << GetLastError();

    EXPECT_TRUE(Win().DeleteService(service)) << "error " << GetLastError();

    // While a handle is open the service is only marked: it can still be
    // opened, but neither deleted again nor created anew.
    SC_HANDLE reopened = Win().OpenServiceA(manager, kFirst, kAllAccess);
    EXPECT_NE(nullptr, reopened) << "error " << GetLastError();
    if (reopened) Win().CloseServiceHandle(reopened);
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().DeleteService(service));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
    // Windows marks it in its key (DeleteFlag 1), which is how the check
    // knows it; the simulation does so. Wine keeps no such value.
    {
        HKEY key = nullptr;
        DWORD flag = 0, type = 0, size = sizeof flag;
        ASSERT_EQ(ERROR_SUCCESS, Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                                     (std::string(kServicesKey) + kFirst).c_str(),
                                                     0, KEY_QUERY_VALUE, &key));
        const LONG rc = Win().RegQueryValueExA(key, "DeleteFlag", nullptr, &type,
                                               reinterpret_cast<BYTE*>(&flag), &size);
        Win().RegCloseKey(key);
        if (OnWine() && !OnRealWindows()) {
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
        } else {
            EXPECT_EQ(ERROR_SUCCESS, rc);
            EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
            EXPECT_EQ(1u, flag);
        }
    }
    SetLastError(kUnsetLastError);
    SC_HANDLE recreated = Create(manager, kFirst, "Tolvane Contract One");
    EXPECT_EQ(nullptr, recreated);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
    if (recreated) Win().CloseServiceHandle(recreated);

    // The last handle going takes the service and its key with it.
    EXPECT_TRUE(Win().CloseServiceHandle(service));

    SetLastError(kUnsetLastError);
    reopened = Win().OpenServiceA(manager, kFirst, kAllAccess);
    EXPECT_EQ(nullptr, reopened);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    if (reopened) Win().CloseServiceHandle(reopened);

    std::string keyPath = std::string(kServicesKey) + kFirst;
    HKEY key = nullptr;
    LONG rc = Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    if (rc == ERROR_SUCCESS) Win().RegCloseKey(key);

    // The name can be installed again.
    SetLastError(kUnsetLastError);
    service = Create(manager, kFirst, "Tolvane Contract One");
    EXPECT_NE(nullptr, service) << "error " << GetLastError();
    if (service) Win().CloseServiceHandle(service);

    EXPECT_TRUE(Win().CloseServiceHandle(manager));
}

// A source of the local machine, registered or not, opens, takes an event
// with its inserts, and closes. Wine keeps no log: its ReportEventW traces
// the inserts; Windows writes them to the Application log.
TEST_P(ServicesContract, AnEventSourceOpensTakesAnEventAndCloses) {
    HANDLE log = Win().RegisterEventSourceA(nullptr, "Tolvane_Contract");
    ASSERT_NE(nullptr, log);
    const char* inserts[2] = {"first", "second"};
    EXPECT_TRUE(Win().ReportEventA(log, EVENTLOG_WARNING_TYPE, 0, 0x800000C8, nullptr, 2, 0,
                                   inserts, nullptr));
    EXPECT_TRUE(Win().ReportEventA(log, EVENTLOG_INFORMATION_TYPE, 0, 0x40000064, nullptr, 0, 0,
                                   nullptr, nullptr));
    EXPECT_TRUE(Win().DeregisterEventSource(log));
    if (GetParam() == &kSimulatedBackend) {
        const std::vector<sim::EventWrite> w = sim::EventWrites();
        ASSERT_EQ(2u, w.size());
        EXPECT_EQ((std::vector<std::string>{"first", "second"}), w[0].inserts);
        EXPECT_EQ(static_cast<WORD>(EVENTLOG_WARNING_TYPE), w[0].type);
        EXPECT_EQ(0x40000064u, w[1].id);
    }
}

CONTRACT_SUITE(ServicesContract);

}  // namespace
