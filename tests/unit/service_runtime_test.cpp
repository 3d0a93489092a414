#include "service/service_runtime.h"

#include <cstring>

#include <dbt.h>

#include "config/settings.h"
#include "radio/coordinator.h"
#include "radio/driver_status.h"
#include "service/entry.h"
#include "sim_services.h"
#include "sim_setupapi.h"
#include "sim_test.h"

namespace {

const DWORD kSafety = 10000;  // a bound on waits, never a measured time

class ServiceRuntime : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ResetCoordinator();
        InitServiceRuntime();
        ASSERT_EQ(1, DeriveServiceName());
    }

    DWORD Control(DWORD control, DWORD eventType = 0) {
        return ControlHandler(control, eventType, nullptr, nullptr);
    }

    // The probes' settings reads (the model read that names the service left out).
    static std::vector<sim::SettingsRead> ProbeReads() {
        std::vector<sim::SettingsRead> reads;
        for (const sim::SettingsRead& r : sim::SettingsReads())
            if (r.key != "Model") reads.push_back(r);
        return reads;
    }

    // Their keys, in order, from `from` on.
    static std::string KeysRead(size_t from = 0) {
        std::string keys;
        std::vector<sim::SettingsRead> reads = ProbeReads();
        for (size_t i = from; i < reads.size(); ++i) keys += reads[i].key + " ";
        return keys;
    }
};

TEST_F(ServiceRuntime, EntryRegistersThenProbesWithTheHostCodeThenReportsRunning) {
    Sim().SetHostCode(10);
    size_t notificationsAtProbe = 99, reportsAtProbe = 99;
    int hostCodeAtProbe = -1;
    sim::Scm().onSettingsRead = [&](const char* key) {
        if (notificationsAtProbe != 99 || std::strcmp(key, "Model") == 0) return;
        notificationsAtProbe = sim::Scm().notifications.size();
        reportsAtProbe = sim::Reports().size();
        hostCodeAtProbe = CoordinatorHostCode;
    };

    ServiceMain(0, nullptr);

    EXPECT_EQ(ServiceName, sim::Scm().handlerName);
    EXPECT_EQ(&ControlHandler, sim::Scm().handler);
    EXPECT_EQ(nullptr, sim::Scm().handlerContext);
    EXPECT_EQ(1u, notificationsAtProbe) << "notification registered before the probes";
    EXPECT_EQ(0u, reportsAtProbe) << "no start-pending report";
    EXPECT_EQ(10, hostCodeAtProbe);
    EXPECT_EQ("BTHWID WiFiHWID ", KeysRead());

    std::vector<sim::StatusReport> reports = sim::Reports();
    ASSERT_EQ(1u, reports.size());
    const SERVICE_STATUS& s = reports[0].status;
    EXPECT_EQ(0x10u, s.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), s.dwCurrentState);
    EXPECT_EQ(0x45u, s.dwControlsAccepted);
    EXPECT_EQ(0u, s.dwWin32ExitCode + s.dwServiceSpecificExitCode + s.dwCheckPoint + s.dwWaitHint);

    // The filter as registered, byte for byte.
    ASSERT_EQ(1u, sim::Scm().notifications.size());
    const sim::NotifyRegistration& n = sim::Scm().notifications[0];
    EXPECT_EQ(reinterpret_cast<HANDLE>(reports[0].handle), n.recipient);
    EXPECT_EQ(5u, n.flags);
    ASSERT_EQ(32u, n.filter.size());
    DEV_BROADCAST_DEVICEINTERFACE_A f;
    std::memcpy(&f, n.filter.data(), sizeof f);
    EXPECT_EQ(5u, f.dbcc_devicetype);
    EXPECT_EQ(0u, f.dbcc_reserved);
    const unsigned char volumeClass[16] = {0x0D, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11,
                                           0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B};
    EXPECT_EQ(0, std::memcmp(volumeClass, &f.dbcc_classguid, 16));
    EXPECT_EQ('\0', f.dbcc_name[0]);

    EXPECT_EQ(0u, Control(SERVICE_CONTROL_STOP));  // releases the notification
}

// Model edited to MEB since the service was registered as Tolvane_MEA: the
// manager still starts it by that name, under which the handler is
// registered and whose key alone takes the status. A Status key an earlier
// run left goes at start, subkeys and all, even when nothing is sent.
TEST_F(ServiceRuntime, TheStatusIsKeptUnderTheNameTheServiceWasStartedBy) {
    const std::string services = "SYSTEM\\CurrentControlSet\\Services\\";
    const std::string status = services + "Tolvane_MEA\\Status";
    const int view = static_cast<int>(sim::RegView::View32);
    Sim().WriteFile("C:\\Program Files\\Tolvane\\tolvane.ini",
                    "[Product]\nModel=MEB\n[Settings]\nWiFiHWID=VEN_7E57\n");
    ASSERT_EQ(1, DeriveServiceName());
    Sim().SetValue(sim::RegView::View32, status, "Sent", REG_DWORD, std::string("\7\0\0\0", 4));
    Sim().AddKey(status + "\\Imported", sim::RegView::View32);
    char name[] = "Tolvane_MEA";
    char* argv[] = {name, nullptr};
    for (bool adapter : {false, true}) {
        SCOPED_TRACE(adapter ? "an adapter" : "no adapter");
        if (adapter) {
            sim::AddWifiAdapter("PCI\\VEN_7E57&DEV_7A29", "0007", "{7E57}", true);
            Sim().AddDevice("\\\\.\\{7E57}");
        }
        ResetCoordinator();
        ResetExchangeCounts();
        InitServiceRuntime();
        ServiceMain(1, argv);
        EXPECT_EQ("Tolvane_MEA", sim::Scm().handlerName);
        EXPECT_EQ(adapter, Sim().KeyExists(view, status));
        EXPECT_FALSE(Sim().KeyExists(view, status + "\\Imported"));
        EXPECT_TRUE(Sim().KeyExists(view, services + "Tolvane_MEA"));
        EXPECT_FALSE(Sim().KeyExists(view, services + "Tolvane_MEB"));
        EXPECT_EQ(0u, Control(SERVICE_CONTROL_STOP));
    }
    ASSERT_EQ(2u, Sim().regDeletes.size());
    EXPECT_EQ("SYSTEM\\CurrentControlSet\\Services\\Tolvane_MEA\\Status", Sim().regDeletes[0]);
    const sim::RegValue* sent = Sim().FindValue(sim::RegView::View32, status, "Sent");
    ASSERT_NE(nullptr, sent);
    EXPECT_EQ(std::string("\1\0\0\0", 4), sent->data) << "this run's count alone";
    EXPECT_EQ(static_cast<REGSAM>(REG_OPTION_VOLATILE), Sim().regCreates.back().sam);

    // A stale key that cannot be removed is not reused: nothing is written.
    Sim().regDeleteTreeFails = ERROR_ACCESS_DENIED;
    const int sets = Sim().regSets;
    ResetCoordinator();
    InitServiceRuntime();
    ServiceMain(1, argv);
    EXPECT_EQ(sets, Sim().regSets);
    EXPECT_EQ(0u, Control(SERVICE_CONTROL_STOP));
    Sim().regDeleteTreeFails = ERROR_SUCCESS;

    // Started by a name that has no key: nothing is written, nothing made.
    char other[] = "Tolvane_MEC";
    argv[0] = other;
    ResetCoordinator();
    InitServiceRuntime();
    ServiceMain(1, argv);
    EXPECT_FALSE(Sim().KeyExists(view, services + "Tolvane_MEC"));
    EXPECT_EQ(1u, Sim().regCreates.size());
    EXPECT_EQ(0u, Control(SERVICE_CONTROL_STOP));
}

TEST_F(ServiceRuntime, FailedHandlerRegistrationEndsTheEntrySilently) {
    sim::Scm().handlerRegistrationFails = true;
    ServiceMain(0, nullptr);
    EXPECT_EQ(1, sim::Scm().handlerRegistrations);
    EXPECT_TRUE(sim::Scm().notifications.empty());
    EXPECT_TRUE(sim::Reports().empty());
    EXPECT_EQ("", KeysRead()) << "no probe ran";
}

TEST_F(ServiceRuntime, HandlerAnswersEachControlAsTabulated) {
    ServiceMain(0, nullptr);
    struct Row { DWORD control, eventType, result; const char* keys; };
    const Row rows[] = {
        {SERVICE_CONTROL_INTERROGATE, 0, 0, ""},
        {SERVICE_CONTROL_POWEREVENT, 0, 0, ""},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, 0, "BTHWID WiFiHWID "},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, 0, ""},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, 0, ""},
        {SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, 0, "BTHWID WiFiHWID "},
        {SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, 0, "WiFiHWID BTHWID "},
        {SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE, 0, ""},
        {SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVEPENDING, 0, ""},
        {0, 0, 120, ""},  {SERVICE_CONTROL_PAUSE, 0, 120, ""},
        {SERVICE_CONTROL_CONTINUE, 0, 120, ""},
        {SERVICE_CONTROL_PARAMCHANGE, 0, 120, ""}, {10, 0, 120, ""},
        {SERVICE_CONTROL_HARDWAREPROFILECHANGE, 0, 120, ""}, {14, 0, 120, ""},
        {128, 0, 120, ""}, {255, 0, 120, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "control " << row.control << " event " << row.eventType);
        size_t reads = ProbeReads().size();
        size_t reports = sim::Reports().size();
        EXPECT_EQ(row.result, Control(row.control, row.eventType));
        EXPECT_EQ(row.keys, KeysRead(reads));
        std::vector<sim::StatusReport> after = sim::Reports();
        ASSERT_EQ(reports + 1, after.size()) << "exactly one closing report";
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), after.back().status.dwCurrentState);
        EXPECT_EQ(0x45u, after.back().status.dwControlsAccepted);
    }
    Control(SERVICE_CONTROL_STOP);
}

TEST_F(ServiceRuntime, StopOrShutdownReportsExactlyStopPendingThenStoppedAndKeepsCoordinatorState) {
    for (int run = 0; run < 4; ++run) {
        const bool notifyFails = run % 2 == 1;
        const DWORD control = run < 2 ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_SHUTDOWN;
        SCOPED_TRACE(testing::Message() << "control " << control
                                        << (notifyFails ? " without" : " with") << " a notification");
        sim::ResetServices();
        InitServiceRuntime();
        sim::Scm().notifyFails = notifyFails;
        ServiceMain(0, nullptr);
        LastBluetoothState = 1;
        WifiPresent = 1;
        size_t reports = sim::Reports().size();

        EXPECT_EQ(0u, Control(control));

        std::vector<sim::StatusReport> after = sim::Reports();
        ASSERT_EQ(reports + 2, after.size());
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), after[reports].status.dwCurrentState);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), after[reports + 1].status.dwCurrentState);
        EXPECT_EQ(0x45u, after[reports].status.dwControlsAccepted);
        EXPECT_EQ(15000u, after[reports].status.dwWaitHint);
        EXPECT_EQ(0u, after[reports + 1].status.dwWaitHint);
        EXPECT_EQ(0x45u, after[reports + 1].status.dwControlsAccepted);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceCurrentState());
        bool unregistered = false;
        for (const std::string& call : sim::Scm().calls)
            unregistered = unregistered || call == "UnregisterDeviceNotification";
        EXPECT_EQ(!notifyFails, unregistered);
        EXPECT_EQ(1, LastBluetoothState);
        EXPECT_EQ(1, WifiPresent);
    }
}

// One timer per refusal, each due later, none while nothing is owed; an
// event in between takes the retry's place; nothing runs after a stop.
TEST_F(ServiceRuntime, ARefusalIsRetriedByItsOwnTimerUntilAccepted) {
    sim::AddWifiAdapter("PCI\\VEN_7E57&DEV_7A29", "0007", "{7E57}", true);
    sim::SimDevice& dev = Sim().AddDevice("\\\\.\\{7E57}");
    dev.failNext = 3;
    const std::vector<sim::SimTimer>& timers = Sim().timers;
    ServiceMain(0, nullptr);
    ASSERT_EQ(1u, timers.size());
    EXPECT_EQ(2000u, timers[0].dueTime);
    EXPECT_EQ(0u, timers[0].period);
    EXPECT_EQ(static_cast<ULONG>(WT_EXECUTEONLYONCE | WT_EXECUTELONGFUNCTION), timers[0].flags);

    EXPECT_TRUE(Sim().FireTimer());
    ASSERT_EQ(2u, timers.size());
    EXPECT_EQ(2u, dev.requests.size());
    EXPECT_TRUE(timers[0].deleted);
    EXPECT_EQ(4000u, timers[1].dueTime);
    Control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(2u, timers.size()) << "a removal tells nothing: the retry stands";
    Control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
    ASSERT_EQ(3u, timers.size());
    EXPECT_TRUE(timers[1].deleted);
    EXPECT_EQ(8000u, timers[2].dueTime);
    EXPECT_EQ(3u, dev.requests.size());

    EXPECT_TRUE(Sim().FireTimer());
    EXPECT_EQ(4u, dev.requests.size());
    EXPECT_EQ(0, Sim().LiveTimers()) << "accepted: nothing armed";
    EXPECT_FALSE(Sim().FireTimer());

    // A new row of refusals starts at the first delay again.
    dev.failNext = 1;
    Control(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    ASSERT_EQ(4u, timers.size());
    EXPECT_EQ(2000u, timers[3].dueTime);
    const sim::SimTimer due = timers[3];
    EXPECT_EQ(3, Sim().OpenHandles()) << "the notification, the requests' event, the log";
    Control(SERVICE_CONTROL_STOP);
    EXPECT_EQ(0, Sim().OpenHandles()) << "all released by the stop";
    // Started, refused, told after three refusals, refused anew, under the source named.
    const std::vector<sim::EventWrite> events = sim::EventWrites();
    ASSERT_EQ(4u, events.size());
    const DWORD ids[4] = {0x40000064, 0x800000C8, 0x400000CB, 0x800000C8};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ids[i], events[i].id) << i;
    EXPECT_EQ(static_cast<WORD>(EVENTLOG_WARNING_TYPE), events[1].type);
    EXPECT_EQ(static_cast<WORD>(EVENTLOG_INFORMATION_TYPE), events[2].type);
    EXPECT_TRUE(events[0].userNull && events[0].dataSize == 0 && events[0].category == 0);
    EXPECT_EQ(std::vector<std::string>{"Tolvane_QM5520"}, sim::Scm().eventSources);
    EXPECT_EQ(0, Sim().LiveTimers());
    due.callback(due.parameter, TRUE);  // already on its way
    EXPECT_EQ(5u, dev.requests.size());
    EXPECT_EQ(4u, timers.size());
}

// The message table built into tolvane.exe, read as Event Viewer reads it:
// the exe mapped as data, each event's text in English with its inserts.
// The exe lies beside this one (the Windows kit) or a folder up (the build).
TEST(EventMessages, TheExeHoldsEachEventsTextInEnglish) {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    std::string folder(self, std::strrchr(self, '\\') + 1);
    HMODULE exe = nullptr;
    for (const char* up : {"", "..\\"}) {
        if (exe == nullptr)
            exe = LoadLibraryExA((folder + up + "tolvane.exe").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE);
    }
    ASSERT_NE(nullptr, exe) << "no tolvane.exe beside " << self << " or above it";
    struct Row { DWORD id; const char* text; };
    const Row rows[] = {
        {0x40000064, "<1> started (host code <2>). Bluetooth pattern: \"<3>\". Wi-Fi pattern: "
                     "\"<4>\". Wi-Fi adapter: <5>."},
        {0x80000065, "No Wi-Fi adapter matches \"<1>\". Its driver is told when one arrives."},
        {0x80000066, "The Wi-Fi adapter matching \"<1>\" is not started. Its driver is told "
                     "when it starts."},
        {0xC0000067, "Settings file \"<1>\" out of reach (path too long or unreadable). No "
                     "device is matched."},
        {0xC0000068, "Setting <1> in \"<2>\" is longer than <3> characters and refused. It "
                     "matches no device."},
        {0x800000C8, "The Wi-Fi driver refused Bluetooth state <1> at <2> (error <3>), adapter "
                     "<4>. Retry in <5> s."},
        {0x800000C9, "The Wi-Fi driver held a request past <2> ms (Bluetooth state <1>, adapter "
                     "<3>, error <4>). Retry in <5> s."},
        {0x800000CA, "The Wi-Fi driver still refuses Bluetooth state <1>: <2> times in <3> min, "
                     "last at <4> (error <5>), adapter <6>. Retry in <7> s."},
        {0x400000CB, "The Wi-Fi driver accepted Bluetooth state <1> after <2> refusals in <3> s, "
                     "adapter <4>."},
        {0x400000CC, "After <1> refusals in <2> s nothing is left to tell the Wi-Fi driver: no "
                     "more retries."},
        {0x800000CD, "<1> events were left out in the last hour to keep this log short."},
        {0x400000CE, nullptr},  // none after the last
        {0x40000063, nullptr},  // nor before the first
    };
    // As FORMAT_MESSAGE_ARGUMENT_ARRAY takes them: one pointer-sized slot each.
    const DWORD_PTR inserts[7] = {
        reinterpret_cast<DWORD_PTR>("<1>"), reinterpret_cast<DWORD_PTR>("<2>"),
        reinterpret_cast<DWORD_PTR>("<3>"), reinterpret_cast<DWORD_PTR>("<4>"),
        reinterpret_cast<DWORD_PTR>("<5>"), reinterpret_cast<DWORD_PTR>("<6>"),
        reinterpret_cast<DWORD_PTR>("<7>")};
    for (const Row& r : rows) {
        char text[512];
        const DWORD length = FormatMessageA(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, exe, r.id,
            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
            reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
        EXPECT_EQ(r.text ? std::string(r.text) + "\r\n" : "", std::string(text, length))
            << std::hex << r.id;
    }
    FreeLibrary(exe);
}

// ---- with the dispatcher: the service entry on its own thread ----

struct ServiceProcess {
    HANDLE thread = nullptr;
    static DWORD WINAPI Run(LPVOID) {
        char program[] = "tolvane.exe";
        char* argv[] = {program, nullptr};
        return static_cast<DWORD>(ProcessEntry(1, argv));
    }
    void Start() { thread = CreateThread(nullptr, 0, Run, nullptr, 0, nullptr); }
    // The exit code, or 0x7FFF if it did not end.
    int Finish() {
        DWORD code = 0x7FFF;
        if (WaitForSingleObject(thread, kSafety) == WAIT_OBJECT_0) GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        return static_cast<int>(code);
    }
};

// Holds the start-up rule inside its first probe until released.
class StartUpHeld : public ServiceRuntime {
protected:
    void SetUp() override {
        ServiceRuntime::SetUp();
        entered_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        sim::Scm().onSettingsRead = [this](const char* key) {
            if (std::strcmp(key, "Model") == 0) return;
            if (GetCurrentThreadId() == sim::Scm().dispatcherThread) return;
            SetEvent(entered_);
            WaitForSingleObject(release_, kSafety);
        };
        process_.Start();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered_, kSafety));
    }
    void TearDown() override {
        SetEvent(release_);
        DWORD result = 0;
        if (sim::WaitForReport(SERVICE_RUNNING, kSafety)) sim::SendControl(SERVICE_CONTROL_STOP, 0, &result);
        EXPECT_EQ(1, process_.Finish());
        CloseHandle(entered_);
        CloseHandle(release_);
        ServiceRuntime::TearDown();
    }
    HANDLE entered_ = nullptr;
    HANDLE release_ = nullptr;
    ServiceProcess process_;
};

TEST_F(StartUpHeld, InterrogationDuringStartUpReportsStartPendingWithNoControls) {
    DWORD result = 99;
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_INTERROGATE, 0, &result));
    EXPECT_EQ(0u, result);
    std::vector<sim::StatusReport> reports = sim::Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), reports[0].status.dwCurrentState);
    EXPECT_EQ(0u, reports[0].status.dwControlsAccepted);
    EXPECT_EQ(sim::Scm().dispatcherThread, reports[0].thread);

    SetEvent(release_);
    ASSERT_TRUE(sim::WaitForReport(SERVICE_RUNNING, kSafety));
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_INTERROGATE, 0, &result));
    EXPECT_EQ(0x45u, sim::Reports().back().status.dwControlsAccepted);
}

TEST_F(StartUpHeld, DeviceEventWaitsForTheWholeStartUpRule) {
    ASSERT_TRUE(sim::PostControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL));
    // Wait until the handler has tried the lock (a safety bound, not a timing).
    DWORD dispatcher = sim::Scm().dispatcherThread;
    bool tried = false;
    for (int i = 0; i < 200 && !tried; ++i) {
        for (const sim::LockEntry& e : sim::LockEntries()) tried = tried || e.thread == dispatcher;
        if (!tried) Sleep(50);
    }
    ASSERT_TRUE(tried) << "the device event never reached the lock";
    EXPECT_FALSE(sim::ControlAnswered());
    for (const sim::LockEntry& e : sim::LockEntries())
        if (e.thread == dispatcher) EXPECT_TRUE(e.wasHeld) << "start-up did not hold the lock";

    SetEvent(release_);
    DWORD result = 99;
    ASSERT_TRUE(sim::WaitControl(kSafety, &result));
    EXPECT_EQ(0u, result);
    // Start-up's two probes, then the arrival rule's, never interleaved.
    std::vector<sim::SettingsRead> reads = ProbeReads();
    ASSERT_EQ(4u, reads.size());
    EXPECT_EQ(sim::Scm().serviceThread, reads[1].thread);
    EXPECT_EQ(dispatcher, reads[2].thread);
    EXPECT_EQ("BTHWID WiFiHWID BTHWID WiFiHWID ", KeysRead());
}

TEST_F(StartUpHeld, ALateStartPendingReportIsFollowedByTheCurrentState) {
    // The interrogation's start-pending report reaches the manager only
    // after the running report: the handler must not leave it the last word.
    HANDLE release = release_;
    sim::Scm().onStatus = [release](const SERVICE_STATUS& s) {
        if (s.dwCurrentState != SERVICE_START_PENDING) return;
        SetEvent(release);
        sim::WaitForReport(SERVICE_RUNNING, kSafety);
    };
    DWORD result = 99;
    ASSERT_TRUE(sim::SendControl(SERVICE_CONTROL_INTERROGATE, 0, &result));
    std::vector<sim::StatusReport> reports = sim::Reports();
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), reports[0].status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), reports[1].status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), reports[2].status.dwCurrentState);
    EXPECT_EQ(0x45u, reports[2].status.dwControlsAccepted);
    EXPECT_EQ(sim::Scm().dispatcherThread, reports[2].thread);
}

}  // namespace
