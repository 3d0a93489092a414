// The coordinator followed through device lives: what reached the driver,
// on which path, with which code and value, in which order.
#include "radio/coordinator.h"

#include <cstring>
#include <string>

#include "radio/driver_status.h"
#include "radio/event_trail.h"

#include "sim_services.h"
#include "sim_setupapi.h"
#include "sim_test.h"

namespace {

const char kIni[] = "C:\\Program Files\\Tolvane\\tolvane.ini";
const char kGuidA[] = "{A0A0A0A0-1111-4222-8333-444444444444}";
const char kGuidB[] = "{B0B0B0B0-1111-4222-8333-444444444444}";
const char kBtId[] = "USB\\VID_0B7A&PID_0001&REV_0100";
const char kWifiId[] = "PCI\\VEN_7E57&DEV_7A29&SUBSYS_11017E57";

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520";
const char kStatusKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520\\Status";

std::string PathOf(const char* guid) { return std::string("\\\\.\\") + guid; }

class Coordinator : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ResetCoordinator();
        UseHost(12);
        WriteSettings("VID_0B7A", "VEN_7E57");
        Sim().AddDevice(PathOf(kGuidA));
        Sim().AddDevice(PathOf(kGuidB));
        std::strcpy(ServiceName, "Tolvane_QM5520");
        Sim().AddKey(kServiceKey, sim::RegView::View32);
        ResetExchangeCounts();
        BeginStatus("Tolvane_QM5520");
    }

    void TearDown() override {
        ServiceName[0] = '\0';
        SimTest::TearDown();
    }

    // A fresh machine, as at SetUp, for another pass of a case.
    void Again() {
        EndDriverRequests();
        CloseEventTrail();
        SetUp();
    }

    void UseHost(int code) {
        Sim().SetHostCode(code);
        CoordinatorHostCode = code;
    }

    void WriteSettings(const std::string& bt, const std::string& wifi) {
        Sim().WriteFile(kIni, "[Settings]\nBTHWID=" + bt + "\nWiFiHWID=" + wifi + "\n");
    }

    DEVINST AddBt(bool started) { return sim::AddBluetoothDevice(kBtId, "0003", started); }
    DEVINST AddWifi(const char* guid, const char* suffix = "0007", bool started = true) {
        return sim::AddWifiAdapter(kWifiId, suffix, guid, started);
    }

    const std::vector<sim::DriverRequest>& Sent() { return Sim().driverRequests; }

    // The Status key's values, the numbers then FailedAt, Adapter, TimeUtc
    // and RetryUtc, by the names administrators and scripts read, spelled
    // here as they must be stored: a value of another name or case reads
    // as 0xBAD or "?".
    std::string Status() {
        std::string all;
        for (const char* name : {"State", "Accepted", "Error", "AcceptedState", "Sent", "Refused",
                                 "RetryWaiting"}) {
            const sim::RegValue* v = Sim().FindValue(sim::RegView::View32, kStatusKey, name);
            DWORD n = 0xBAD;
            if (v != nullptr && v->name == name && v->type == REG_DWORD && v->data.size() == 4)
                std::memcpy(&n, v->data.data(), 4);
            all += std::to_string(static_cast<long>(n)) + " ";
        }
        for (const char* name : {"FailedAt", "Adapter", "TimeUtc", "RetryUtc"}) {
            const sim::RegValue* v = Sim().FindValue(sim::RegView::View32, kStatusKey, name);
            const bool text = v != nullptr && v->name == name && v->type == REG_SZ &&
                              !v->data.empty() && v->data.back() == '\0';
            all += text ? "[" + v->data.substr(0, v->data.size() - 1) + "]" : "?";
        }
        return all;
    }

    void ExpectRequest(size_t i, const char* guid, DWORD code, DWORD value) {
        ASSERT_LT(i, Sent().size());
        EXPECT_EQ(PathOf(guid), Sent()[i].path) << "request " << i;
        EXPECT_EQ(0x170002u, Sent()[i].ioctl);
        EXPECT_EQ(code, Sent()[i].request) << "request " << i;
        EXPECT_EQ(value, Sent()[i].value) << "request " << i;
    }
};

TEST_F(Coordinator, StartUpSendsTheBluetoothStateOnceWhenTheAdapterIsUp) {
    AddBt(true);
    AddWifi(kGuidA);
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 1);
    EXPECT_EQ(1, LastBluetoothState);
    EXPECT_EQ(1, WifiPresent);
    EXPECT_EQ(PathOf(kGuidA), AdapterPath);
}

TEST_F(Coordinator, AbsentOrStoppedBluetoothCountsAsOff) {
    AddWifi(kGuidA);
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 0);

    // Present but not started is the same as absent: no change, nothing sent.
    AddBt(false);
    OnDeviceArrival();
    EXPECT_EQ(1u, Sent().size());
    EXPECT_EQ(0, LastBluetoothState);
}

TEST_F(Coordinator, AdapterAbsentAtStartUpGetsTheStateWhenItArrives) {
    AddBt(true);
    OnServiceStart();
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(Sim().fileOpens.empty());
    EXPECT_EQ(1, LastBluetoothState);
    EXPECT_EQ(0, WifiPresent);

    AddWifi(kGuidA);
    OnDeviceArrival();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 1);
    EXPECT_EQ(1, WifiPresent);

    // Another arrival with nothing changed sends nothing.
    OnDeviceArrival();
    EXPECT_EQ(1u, Sent().size());
}

TEST_F(Coordinator, BluetoothChangesWithTheAdapterPresentSendExactlyOnce) {
    DEVINST bt = AddBt(false);
    AddWifi(kGuidA);
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());

    sim::SetStarted(bt, true);
    OnDeviceArrival();
    ASSERT_EQ(2u, Sent().size());
    ExpectRequest(1, kGuidA, 0xFFF10220, 1);

    sim::RemoveDevice(bt);
    OnDeviceRemoval();
    ASSERT_EQ(3u, Sent().size());
    ExpectRequest(2, kGuidA, 0xFFF10220, 0);
    EXPECT_EQ(0, LastBluetoothState);
}

TEST_F(Coordinator, ChangeWhileANewAdapterAppearsGoesToTheOldPathThenTheNew) {
    DEVINST bt = AddBt(false);
    DEVINST first = AddWifi(kGuidA, "0007");
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());

    // The first adapter goes away (its device with it): nothing to send.
    sim::RemoveDevice(first);
    Sim().devices.erase(sim::Lower(PathOf(kGuidA)));
    OnDeviceRemoval();
    EXPECT_EQ(0, WifiPresent);
    EXPECT_EQ(1u, Sent().size());

    // Bluetooth comes on as a second adapter appears, in one event.
    sim::SetStarted(bt, true);
    AddWifi(kGuidB, "0008");
    size_t opensBefore = Sim().fileOpens.size();
    OnDeviceArrival();
    ASSERT_EQ(opensBefore + 2, Sim().fileOpens.size());
    EXPECT_EQ(PathOf(kGuidA), Sim().fileOpens[opensBefore].path) << "aimed at the old path";
    EXPECT_EQ(PathOf(kGuidB), Sim().fileOpens[opensBefore + 1].path);
    ASSERT_EQ(2u, Sent().size()) << "the old adapter is gone, so only the new one hears";
    ExpectRequest(1, kGuidB, 0xFFF10220, 1);
    EXPECT_EQ(1, WifiPresent);
}

TEST_F(Coordinator, ChangeWhileTheFirstAdapterAppearsSendsOnlyToIt) {
    DEVINST bt = AddBt(false);
    OnServiceStart();
    sim::SetStarted(bt, true);
    AddWifi(kGuidA);
    OnDeviceArrival();
    // The send before the Wi-Fi probe had no path: nothing was opened for
    // it, and with nothing left waiting no status was written for it.
    ASSERT_EQ(1u, Sim().fileOpens.size());
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 1);
    EXPECT_EQ(1u, Sim().regCreates.size());
}

TEST_F(Coordinator, AdapterRemovalSendsNothingUnlessBluetoothChanged) {
    DEVINST bt = AddBt(true);
    DEVINST wifi = AddWifi(kGuidA);
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());

    sim::RemoveDevice(wifi);
    OnDeviceRemoval();
    EXPECT_EQ(0, WifiPresent);
    EXPECT_EQ(1u, Sent().size());
    EXPECT_EQ(PathOf(kGuidA), AdapterPath) << "the old path stays";

    // Bluetooth changes while it is away; back at the same path, it hears
    // the state exactly once.
    Sim().devices.erase(sim::Lower(PathOf(kGuidA)));
    sim::SetStarted(bt, false);
    OnDeviceArrival();
    EXPECT_EQ(1u, Sent().size());
    EXPECT_EQ(0, LastBluetoothState);
    Sim().AddDevice(PathOf(kGuidA));
    AddWifi(kGuidA);
    OnDeviceArrival();
    OnDeviceArrival();
    ASSERT_EQ(2u, Sent().size());
    ExpectRequest(1, kGuidA, 0xFFF10220, 0);
}

// The adapter stops and starts again at the same path while Bluetooth
// comes on: the change sent before the Wi-Fi probe already reached it, so
// bringing it up sends nothing more.
TEST_F(Coordinator, AdapterBackAtTheSamePathHearsAChangeOnlyOnce) {
    DEVINST bt = AddBt(false);
    DEVINST wifi = AddWifi(kGuidA);
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());

    sim::SetStarted(wifi, false);
    OnDeviceRemoval();
    EXPECT_EQ(0, WifiPresent);
    OnDeviceArrival();
    EXPECT_EQ(1u, Sent().size()) << "an arrival while the adapter is gone sends nothing";

    sim::SetStarted(wifi, true);
    sim::SetStarted(bt, true);
    OnDeviceArrival();
    ASSERT_EQ(2u, Sent().size());
    ExpectRequest(1, kGuidA, 0xFFF10220, 1);
    EXPECT_EQ(1, WifiPresent);
    OnDeviceArrival();
    EXPECT_EQ(2u, Sent().size());
}

TEST_F(Coordinator, RemovalNeverBringsTheAdapterUp) {
    AddBt(false);
    DEVINST wifi = AddWifi(kGuidA, "0007", false);
    OnServiceStart();
    EXPECT_EQ(0, WifiPresent);
    EXPECT_TRUE(Sent().empty());

    sim::SetStarted(wifi, true);
    OnDeviceRemoval();
    EXPECT_EQ(0, WifiPresent);
    EXPECT_TRUE(Sent().empty());

    // The next arrival does, and sends the state it finds.
    OnDeviceArrival();
    EXPECT_EQ(1, WifiPresent);
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 0);
}

TEST_F(Coordinator, AnEditedPatternTakesEffectAtTheNextEvent) {
    sim::AddBluetoothDevice("USB\\VID_0B7A&PID_0001", "0001", true);
    sim::AddBluetoothDevice("USB\\VID_1234&PID_0002", "0002", false);
    AddWifi(kGuidA);
    WriteSettings("PID_0001", "VEN_7E57");
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 1);

    WriteSettings("PID_0002", "VEN_7E57");
    OnDeviceArrival();
    ASSERT_EQ(2u, Sent().size());
    ExpectRequest(1, kGuidA, 0xFFF10220, 0);

    // Lower case never matches: the device is not found, which reads as off.
    WriteSettings("pid_0001", "VEN_7E57");
    OnDeviceArrival();
    EXPECT_EQ(2u, Sent().size());
    EXPECT_EQ(0, LastBluetoothState);
}

TEST_F(Coordinator, AnAdapterWhoseNameAppearsLaterIsToldAtTheNextArrival) {
    AddBt(true);
    sim::AddWifiAdapter(kWifiId, "0007", "", true);  // no adapter entry in the registry yet
    OnServiceStart();
    EXPECT_EQ(0, WifiPresent) << "not told, so not present";
    EXPECT_STREQ("", AdapterPath);
    EXPECT_TRUE(Sim().fileOpens.empty());

    // A removal never brings it up, even once it can be named.
    sim::AddNetAdapterKey("0007", kGuidA);
    OnDeviceRemoval();
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(0, WifiPresent);

    OnDeviceArrival();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 1);
    EXPECT_EQ(1, WifiPresent);
    OnDeviceArrival();
    EXPECT_EQ(1u, Sent().size());
}

TEST_F(Coordinator, RequestCodeAndBufferFollowTheStoredHostCode) {
    AddBt(true);
    AddWifi(kGuidA);
    for (int code : {7, 8, 9, 10, 13}) {
        ResetCoordinator();
        UseHost(code);
        OnServiceStart();
    }
    ASSERT_EQ(5u, Sent().size());
    ExpectRequest(0, kGuidA, 0x0DF10220, 1);
    ExpectRequest(1, kGuidA, 0x0DF10220, 1);
    ExpectRequest(2, kGuidA, 0x0DF10220, 1);
    ExpectRequest(3, kGuidA, 0xFFF10220, 1);
    ExpectRequest(4, kGuidA, 0xFFF10220, 1);
    EXPECT_FALSE(Sent()[0].outIsHeapBlock);
    EXPECT_TRUE(Sent()[1].outIsHeapBlock) << "code 8 carries the value in a heap block";
    EXPECT_FALSE(Sent()[2].outIsHeapBlock);
}

TEST_F(Coordinator, ARefusedChangeIsSentAgainAtTheNextEventOfAnyKind) {
    for (bool retryOnRemoval : {false, true}) {
        SCOPED_TRACE(retryOnRemoval ? "retried at a removal" : "retried at an arrival");
        ResetCoordinator();
        Sim().driverRequests.clear();
        sim::SetupState().devices.clear();
        // A status that cannot be written changes nothing.
        Sim().regCreateFails = retryOnRemoval ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
        DEVINST bt = AddBt(true);
        AddWifi(kGuidA);
        OnServiceStart();
        ASSERT_EQ(1u, Sent().size());

        Sim().FindDevice(PathOf(kGuidA))->failNext = 1;
        sim::SetStarted(bt, false);
        OnDeviceArrival();
        ASSERT_EQ(2u, Sent().size()) << "one request, refused";
        EXPECT_EQ(1, LastBluetoothState) << "not recorded: the driver still holds 1";
        EXPECT_EQ(1, WifiPresent);

        if (retryOnRemoval) OnDeviceRemoval(); else OnDeviceArrival();
        ASSERT_EQ(3u, Sent().size());
        ExpectRequest(2, kGuidA, 0xFFF10220, 0);
        EXPECT_EQ(0, LastBluetoothState);

        OnDeviceArrival();
        OnDeviceRemoval();
        EXPECT_EQ(3u, Sent().size());
    }
}

TEST(RetrySchedule, TwoSecondsDoublingUpToFiveMinutes) {
    const DWORD expected[] = {2000, 2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000, 300000, 300000};
    for (DWORD n = 0; n < 11; ++n) EXPECT_EQ(expected[n], RetryDelayFor(n)) << n;
    EXPECT_EQ(300000u, RetryDelayFor(0xFFFFFFFF));
}

TEST(StatusTime, SecondsAddAcrossDaysMonthsAndLeapYears) {
    struct Row { SYSTEMTIME from; DWORD seconds; const char* to; };
    const Row rows[] = {
        {{2026, 12, 2, 31, 23, 59, 58, 999}, 2, "2027-01-01 00:00:00"},
        {{2028, 2, 1, 28, 23, 59, 59, 0}, 1, "2028-02-29 00:00:00"},
        {{2026, 2, 6, 28, 23, 59, 59, 0}, 1, "2026-03-01 00:00:00"},
        {{2100, 2, 0, 28, 12, 0, 0, 0}, 86400, "2100-03-01 12:00:00"},
        {{2026, 4, 0, 30, 23, 57, 0, 0}, 300, "2026-05-01 00:02:00"},
        {{2026, 1, 0, 1, 0, 0, 0, 0}, 0, "2026-01-01 00:00:00"},
    };
    for (const Row& r : rows) {
        SYSTEMTIME t = r.from;
        AddSeconds(&t, r.seconds);
        char text[kStatusTimeCapacity];
        FormatStatusTime(t, text);
        EXPECT_STREQ(r.to, text);
        EXPECT_EQ(r.seconds, TrailSeconds(t) - TrailSeconds(r.from)) << r.to;
    }
    const SYSTEMTIME origin{2000, 3, 3, 1, 0, 0, 0, 0}, later{2001, 3, 4, 1, 0, 0, 1, 0};
    EXPECT_EQ(0u, TrailSeconds(origin));
    EXPECT_EQ(365u * 86400 + 1, TrailSeconds(later));
}

// Every request leaves its exchange in the volatile status key, written
// only when a request goes out: state, accepted, error, the state the
// driver holds, counts, the retry, then where it failed, path and time.
TEST_F(Coordinator, TheStatusKeyHoldsTheLastExchange) {
    const std::string a = "[" + PathOf(kGuidA) + "]";
    DEVINST bt = AddBt(true);
    AddWifi(kGuidA);
    OnServiceStart();
    ASSERT_EQ(1u, Sim().regCreates.size());
    EXPECT_EQ("SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520\\Status",
              Sim().regCreates[0].path);
    EXPECT_EQ(static_cast<REGSAM>(REG_OPTION_VOLATILE), Sim().regCreates[0].sam);
    EXPECT_EQ("1 1 0 1 1 0 0 []" + a + "[2026-12-08 07:36:08][]", Status());

    Sim().FindDevice(PathOf(kGuidA))->failNext = 1;
    sim::SetStarted(bt, false);
    Sim().utcNow.wSecond = 9;
    OnDeviceArrival();
    EXPECT_EQ("0 0 31 1 2 1 1 [control]" + a + "[2026-12-08 07:36:09][2026-12-08 07:36:11]",
              Status());

    // Only what changed is set: 9 values for the refusal, 7 for the retry,
    // each record between an odd Sequence and the next even one.
    Sim().regSetNames.clear();
    OnDeviceRemoval();  // the retry
    EXPECT_EQ("0 1 0 0 3 1 0 []" + a + "[2026-12-08 07:36:09][]", Status());
    EXPECT_EQ(13 + 11 + 9, Sim().regSets);
    std::string names;
    for (const std::string& n : Sim().regSetNames) names += n + " ";
    EXPECT_EQ("Sequence Accepted Error AcceptedState Sent RetryWaiting FailedAt RetryUtc Sequence ", names);
    const sim::RegValue* sequence = Sim().FindValue(sim::RegView::View32, kStatusKey, "Sequence");
    ASSERT_NE(nullptr, sequence);
    EXPECT_EQ(std::string("\6\0\0\0", 4), sequence->data);
    OnDeviceArrival();  // nothing to send: nothing written
    EXPECT_EQ(3u, Sim().regCreates.size());

    // Aimed at a vanished adapter: refused at the open. A key made anew
    // (here deleted by hand) gets every value again.
    Sim().DeleteKey(kStatusKey);
    Sim().devices.erase(sim::Lower(PathOf(kGuidA)));
    sim::SetStarted(bt, true);
    OnDeviceArrival();
    EXPECT_EQ("1 0 2 0 4 2 1 [open]" + a + "[2026-12-08 07:36:09][2026-12-08 07:36:11]", Status());

    // Without the service's own key nothing is written, and nothing made.
    Sim().DeleteKey(kServiceKey);
    sim::SetStarted(bt, false);
    OnDeviceArrival();
    EXPECT_EQ(4u, Sim().regCreates.size());
    EXPECT_FALSE(Sim().KeyExists(static_cast<int>(sim::RegView::View32), kServiceKey));
}

// After a resume the adapter told before hears the state again, once;
// one away only has it recorded.
TEST_F(Coordinator, AResumeTellsTheStandingAdapterOnce) {
    DEVINST bt = AddBt(true);
    DEVINST wifi = AddWifi(kGuidA);
    OnServiceStart();
    OnResume();
    ASSERT_EQ(2u, Sent().size());
    ExpectRequest(1, kGuidA, 0xFFF10220, 1);
    EXPECT_EQ(1, WifiPresent);
    Sim().FindDevice(PathOf(kGuidA))->failNext = 1;
    OnResume();
    EXPECT_EQ(3u, Sent().size());
    EXPECT_EQ(0, WifiPresent) << "refused: the next arrival tells it";
    EXPECT_EQ(1, RetryOwed);
    sim::SetStarted(wifi, false);
    sim::SetStarted(bt, false);
    OnResume();
    EXPECT_EQ(3u, Sent().size());
    EXPECT_EQ(0, LastBluetoothState);
    EXPECT_EQ(0, RetryOwed);
    EXPECT_EQ(0u, RefusalsInARow);
    EXPECT_EQ("1 0 31 1 3 1 0 [control][" + PathOf(kGuidA) + "][2026-12-08 07:36:08][]", Status())
        << "the retry no longer announced";
}

// A driver that held a request past its bound is asked nothing more in
// that rule (a stop waits for one bound, not two); the next rule asks again.
TEST_F(Coordinator, ADriverThatHeldARequestIsNotAskedAgainInTheSameRule) {
    DEVINST bt = AddBt(true);
    AddWifi(kGuidA);
    sim::SimDevice* dev = Sim().FindDevice(PathOf(kGuidA));
    dev->failNext = 1;
    OnServiceStart();  // refused: the adapter is not yet told
    sim::SetStarted(bt, false);
    dev->hold = true;
    OnDeviceArrival();  // the change is held; telling the adapter would ask again
    EXPECT_EQ(2u, Sent().size());
    EXPECT_EQ(2u, Sim().waits.size());
    EXPECT_EQ(1, RetryOwed);
    dev->hold = false;
    OnDeviceArrival();
    ExpectRequest(2, kGuidA, 0xFFF10220, 0);
}

TEST_F(Coordinator, ARefusedAdapterUpIsRetriedByTheNextArrivalOnly) {
    AddBt(true);
    AddWifi(kGuidA);
    Sim().FindDevice(PathOf(kGuidA))->failNext = 1;
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(0, WifiPresent);
    EXPECT_EQ(1, LastBluetoothState);

    OnDeviceRemoval();
    EXPECT_EQ(1u, Sent().size());
    OnDeviceArrival();
    ASSERT_EQ(2u, Sent().size());
    ExpectRequest(1, kGuidA, 0xFFF10220, 1);
    EXPECT_EQ(1, WifiPresent);
}

TEST_F(Coordinator, RefusedAtTheOldPathAndAtTheNewTheAdapterIsAwayAndTheStateRecorded) {
    DEVINST bt = AddBt(true);
    DEVINST first = AddWifi(kGuidA, "0007");
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());

    // In one arrival: Bluetooth goes off, the adapter is found at a new path,
    // and the driver refuses both the change and the announcement.
    sim::RemoveDevice(first);
    AddWifi(kGuidB, "0008");
    Sim().FindDevice(PathOf(kGuidA))->failNext = 1;
    Sim().FindDevice(PathOf(kGuidB))->failNext = 1;
    sim::SetStarted(bt, false);
    OnDeviceArrival();
    ASSERT_EQ(3u, Sent().size());
    ExpectRequest(1, kGuidA, 0xFFF10220, 0);
    ExpectRequest(2, kGuidB, 0xFFF10220, 0);
    EXPECT_EQ(0, WifiPresent) << "not told, so away";
    EXPECT_EQ(0, LastBluetoothState) << "recorded, as while the adapter is away";

    OnDeviceRemoval();
    EXPECT_EQ(3u, Sent().size()) << "nothing changed since";
    OnDeviceArrival();
    ASSERT_EQ(4u, Sent().size()) << "one announcement";
    ExpectRequest(3, kGuidB, 0xFFF10220, 0);
    EXPECT_EQ(1, WifiPresent);
    OnDeviceArrival();
    EXPECT_EQ(4u, Sent().size());
}

TEST_F(Coordinator, AnotherAdapterStandingIsToldEvenWhileTheFirstIsPresent) {
    DEVINST bt = AddBt(true);
    AddWifi(kGuidA, "0007");
    Sim().WriteFile(kIni, "[Settings]\nBTHWID=VID_0B7A\n");  // empty Wi-Fi pattern: the last adapter
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());

    AddWifi(kGuidB, "0008");
    OnDeviceArrival();
    ASSERT_EQ(2u, Sent().size());
    ExpectRequest(1, kGuidB, 0xFFF10220, 1);
    EXPECT_EQ(1, WifiPresent);

    // A change reached in this rule is not told twice.
    sim::SetStarted(bt, false);
    OnDeviceArrival();
    ASSERT_EQ(3u, Sent().size());
    ExpectRequest(2, kGuidB, 0xFFF10220, 0);
}

TEST_F(Coordinator, ProbesThatCannotWorkFindNothing) {
    DEVINST bt = AddBt(true);
    AddWifi(kGuidA);

    // No heap for the Bluetooth probe's record: not found, so off.
    Sim().failHeapAllocs = 1;
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 0);

    // A failed node-status query gives no started bit.
    sim::FailNodeStatus(bt, CR_NO_SUCH_DEVNODE);
    OnDeviceArrival();
    EXPECT_EQ(1u, Sent().size());
    EXPECT_EQ(0, LastBluetoothState);
}

TEST_F(Coordinator, APatternTooLongToHoldNamesNoDevice) {
    AddBt(true);
    AddWifi(kGuidA);
    // Cut to 63 characters it would still match; empty it would match all.
    WriteSettings("USB" + std::string(70, '\\'), "VEN_7E57");
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidA, 0xFFF10220, 0);
}

TEST_F(Coordinator, EmptyPatternsTakeTheLastDeviceOfEachClass) {
    sim::AddBluetoothDevice("USB\\VID_0001", "0001", false);
    sim::AddBluetoothDevice("USB\\VID_0002", "0002", true);
    AddWifi(kGuidA, "0007");
    AddWifi(kGuidB, "0008");
    Sim().WriteFile(kIni, "");
    OnServiceStart();
    ASSERT_EQ(1u, Sent().size());
    ExpectRequest(0, kGuidB, 0xFFF10220, 1);
}

// A refusal writes once, then at most hourly while it lasts, and its end
// once; a failed write changes nothing, and without a source nothing is
// written. At start: the settings that name no device, an adapter missing
// or not started. Past twenty an hour, events are counted, then told.
TEST_F(Coordinator, TheTrailWritesAtStartARefusalOnceThenHourlyItsEndAndAnHourlyShare) {
    std::string firstStatus;
    for (DWORD failure : {0u, 1722u, 5u}) {
        Again();
        sim::Scm().reportEventError = failure == 1722 ? failure : 0;
        sim::Scm().eventSourceError = failure == 5 ? failure : 0;
        OpenEventTrail("Tolvane_QM5520");
        AddBt(true);
        AddWifi(kGuidA);
        Sim().FindDevice(PathOf(kGuidA))->failNext = 1000;
        OnServiceStart();
        for (DWORD step : {300, 300, 300, 300, 300, 300, 300, 300, 300, 300, 599, 1, 60}) {
            if (step == 60) Sim().FindDevice(PathOf(kGuidA))->failNext = 0;
            AddSeconds(&Sim().utcNow, step);
            OnRetry();
        }
        EXPECT_EQ(14u, Sent().size());
        if (firstStatus.empty()) firstStatus = Status();
        EXPECT_EQ(firstStatus, Status());
        const std::vector<sim::EventWrite> e = sim::EventWrites();
        const std::string a = PathOf(kGuidA);
        ASSERT_EQ(failure == 5 ? 0u : 4u, e.size()) << failure;
        if (failure == 5) continue;
        EXPECT_EQ((std::vector<std::string>{"Tolvane_QM5520", "12", "VID_0B7A", "VEN_7E57", a}),
                  e[0].inserts);
        EXPECT_EQ((std::vector<std::string>{"1", "control", "31", a, "2"}), e[1].inserts);
        EXPECT_EQ((std::vector<std::string>{"1", "13", "60", "control", "31", a, "300"}),
                  e[2].inserts);
        EXPECT_EQ((std::vector<std::string>{"1", "13", "3660", a}), e[3].inserts);
        EXPECT_EQ(0x800000CAu, e[2].id);
    }

    struct Case { std::string bt; bool adapter, started; DWORD id, at; std::string insert; };
    const Case cases[] = {{"VID_0B7A", false, false, 0x80000065, 1, "VEN_7E57"},
                          {"VID_0B7A", true, false, 0x80000066, 1, "VEN_7E57"},
                          {std::string(70, 'X'), true, true, 0xC0000068, 0, "BTHWID"}};
    for (const Case& c : cases) {
        Again();
        WriteSettings(c.bt, "VEN_7E57");
        if (c.adapter) AddWifi(kGuidA, "0007", c.started);
        OpenEventTrail("Tolvane_QM5520");
        OnServiceStart();
        const std::vector<sim::EventWrite> e = sim::EventWrites();
        ASSERT_EQ(2u, e.size());
        EXPECT_EQ(c.id, e[c.at].id);
        EXPECT_EQ(c.insert, e[c.at].inserts[0]);
        EXPECT_EQ(c.started ? PathOf(kGuidA) : "none", e[1 - c.at].inserts[4]);
    }

    // The hour's full, then the clock is set back an hour: a new hour opens.
    Again();
    OpenEventTrail("Tolvane_QM5520");
    const SYSTEMTIME start = Sim().utcNow;
    for (int i = 0; i < 43; ++i) {
        if (i == 21) AddSeconds(&Sim().utcNow, 3599);
        if (i == 22) AddSeconds(&Sim().utcNow, 1);
        if (i == 42) Sim().utcNow = start;
        NoteExchange(0, "A", DriverReply{kDriverOpenFailed, ERROR_ACCESS_DENIED}, 0, 2000);
    }
    const std::vector<sim::EventWrite> e = sim::EventWrites();
    ASSERT_EQ(42u, e.size());
    EXPECT_EQ(std::vector<std::string>{"1"}, e[40].inserts);
    EXPECT_EQ(0x800000CDu, e[20].id);
    EXPECT_EQ(std::vector<std::string>{"2"}, e[20].inserts);
    EXPECT_EQ((std::vector<std::string>{"0", "open", "5", "A", "2"}), e[21].inserts);

    // A refused adapter no pattern finds any more: nothing is left to tell.
    Again();
    OpenEventTrail("Tolvane_QM5520");
    AddWifi(kGuidA);
    Sim().FindDevice(PathOf(kGuidA))->failNext = 1;
    OnServiceStart();
    AddSeconds(&Sim().utcNow, 7);
    WriteSettings("VID_0B7A", "VEN_0000");
    OnDeviceArrival();
    const std::vector<sim::EventWrite> d = sim::EventWrites();
    ASSERT_EQ(3u, d.size());
    EXPECT_EQ(0x400000CCu, d[2].id);
    EXPECT_EQ((std::vector<std::string>{"1", "7"}), d[2].inserts);
    CloseEventTrail();
}

}  // namespace
