#include "devices/device_lookup.h"

#include <cstring>
#include <string>
#include <vector>

#include "host/host_classify.h"
#include "sim_setupapi.h"
#include "sim_test.h"

namespace {

const char kId1[] = "{11111111-2222-3333-4444-555555555555}";
const char kId2[] = "{66666666-7777-8888-9999-AAAAAAAAAAAA}";
const unsigned char kSentinel = 0xEE;

class DeviceLookupTest : public SimTest {
protected:
    // The host code is classified at its first use; done here, its own
    // registry read is not counted as the lookup's.
    void HostCodeOnceClassified() { HostCode(); }

    DeviceRecord record;
    SP_DEVINFO_DATA info;

    void SetUp() override {
        SimTest::SetUp();
        Reset();
    }
    // The record as a caller might hand it over: anything in it.
    void Reset() {
        std::memset(&record, kSentinel, sizeof record);
        std::memset(&info, 0, sizeof info);
    }
    int Lookup(const char* pattern, const char* className = "Net") {
        return DeviceLookup(&record, pattern, className, &info);
    }
    const DevicePayload& P() { return record.Payload; }
    bool PayloadUntouched() {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&record.Payload);
        for (size_t i = 0; i < sizeof record.Payload; ++i) {
            if (b[i] != kSentinel) return false;
        }
        return true;
    }
    // A "Net" device with one hardware ID and otherwise plain properties.
    DEVINST Add(const std::string& hardwareId, const std::string& friendly,
                const std::string& instance) {
        return sim::AddDevice("Net", {hardwareId}, friendly, "Description " + instance,
                              sim::DriverKey("Net", instance), "Location " + instance,
                              "Maker " + instance);
    }
};

TEST_F(DeviceLookupTest, FillsEverySlotFromTheMatchedDevice) {
    Sim().SetHostCode(7);
    DEVINST d = sim::AddDevice("Net", {"PCI\\VEN_7E57&DEV_7A29&SUBSYS_1101", "PCI\\VEN_7E57"},
                               "Test Wireless 4229", "Wireless Adapter",
                               sim::DriverKey("Net", "0007"), "PCI bus 3, device 0, function 0",
                               "Test Maker");
    sim::AddNetAdapterKey("0007", kId1);

    ASSERT_EQ(1, Lookup("DEV_7A29"));
    EXPECT_EQ(0u, record.Header);
    EXPECT_STREQ("Test Wireless 4229", P().DisplayName);
    EXPECT_STREQ("DEV_7A29", P().HardwarePattern);
    EXPECT_STREQ("0007", P().DriverSuffix);
    EXPECT_STREQ("Test Wireless 4229", P().FriendlyName);
    EXPECT_EQ(std::string("\\\\.\\") + kId1, P().DevicePath);
    EXPECT_STREQ(kId1, P().InstanceId);
    EXPECT_EQ(std::string("\\Device\\") + kId1, P().DeviceObjectName);
    EXPECT_STREQ("PCI bus 3, device 0, function 0", P().Location);
    EXPECT_STREQ("Test Maker", P().Manufacturer);
    EXPECT_EQ(28u, info.cbSize);
    EXPECT_EQ(d, info.DevInst);
    EXPECT_EQ(0, std::memcmp(&sim::kNetClassGuid, &info.ClassGuid, sizeof(GUID)));

    const sim::SetupApi& s = sim::SetupState();
    ASSERT_EQ(1u, s.classDevsCalls.size());
    EXPECT_EQ(0, std::memcmp(&sim::kNetClassGuid, &s.classDevsCalls[0].guid, sizeof(GUID)));
    EXPECT_EQ(static_cast<DWORD>(DIGCF_PRESENT), s.classDevsCalls[0].flags);
    EXPECT_FALSE(s.classDevsCalls[0].enumeratorGiven);
    EXPECT_FALSE(s.classDevsCalls[0].parentGiven);
    for (const sim::PropertyRead& r : s.propertyReads) {
        EXPECT_EQ(256u, r.bufferSize) << r.property;
        EXPECT_TRUE(r.bufferWasClear) << r.property;
    }
}

TEST_F(DeviceLookupTest, OnlyTheUpperCasedFirstHardwareIdIsSearched) {
    DEVINST d = sim::AddDevice("Net", {"pci\\ven_abcd&dev_1234", "USB\\SECOND_ONLY"}, "", "", "",
                               "", "");
    for (const char* hit : {"PCI\\", "VEN_ABCD&DEV", "DEV_1234"}) {
        Reset();
        EXPECT_EQ(1, Lookup(hit)) << hit;
        EXPECT_EQ(d, info.DevInst);
        EXPECT_STREQ(hit, P().HardwarePattern) << "kept as given";
    }
    for (const char* miss : {"SECOND_ONLY", "ven_abcd", "Ven_ABCD"}) {
        Reset();
        EXPECT_EQ(-9, Lookup(miss)) << miss;
        EXPECT_TRUE(PayloadUntouched()) << miss;
        EXPECT_EQ(0u, info.cbSize) << "info untouched";
    }
}

TEST_F(DeviceLookupTest, EmptyPatternMatchesEveryDeviceEvenOneWithoutHardwareId) {
    Add("PCI\\VEN_1", "First", "0001");
    DEVINST last = sim::AddDevice("Net", {}, "Second", "", "", "", "");
    EXPECT_EQ(1, Lookup(""));
    EXPECT_EQ(last, info.DevInst);
    EXPECT_STREQ("Second", P().DisplayName);
    EXPECT_STREQ("", P().Location) << "the earlier match's text is not kept";

    // It matches nothing else, and info may be absent.
    Reset();
    EXPECT_EQ(1, DeviceLookup(&record, "VEN_1", "Net", nullptr));
    EXPECT_STREQ("First", P().DisplayName);
}

struct Visit {
    DEVINST devInst;
    std::string hardwareId;  // "<invalid>" when the lookup could not read it as text
    int matched;
};

void Record(void* context, const SP_DEVINFO_DATA* element, const char* hardwareId, int matched) {
    static_cast<std::vector<Visit>*>(context)->push_back(
        {element->DevInst, hardwareId ? hardwareId : "<invalid>", matched});
}

TEST_F(DeviceLookupTest, OnlyTheLastMatchIsDescribedAndNoEarlierMatchFillsItsSlots) {
    DEVINST first = sim::AddWifiAdapter("PCI\\VEN_1111&DEV_0001", "0001", kId1);
    DEVINST second = sim::AddWifiAdapter("pci\\ven_1111&dev_0002", "0002", "");
    DEVINST other = sim::AddWifiAdapter("PCI\\VEN_2222&DEV_0003", "0003", kId2);

    std::vector<Visit> visits;
    ASSERT_EQ(1, DeviceLookup(&record, "VEN_1111", "Net", &info, kLookupAdapterNames, Record,
                              &visits));
    EXPECT_EQ(second, info.DevInst);
    EXPECT_STREQ("Wi-Fi Adapter #0002", P().DisplayName);
    EXPECT_STREQ("0002", P().DriverSuffix);
    // Its names cannot be resolved: empty, never the first adapter's, which
    // would aim the request at another device.
    EXPECT_STREQ("", P().DevicePath);
    EXPECT_STREQ("", P().InstanceId);
    EXPECT_STREQ("", P().DeviceObjectName);

    // Every device is shown to the visitor as compared, in order.
    ASSERT_EQ(3u, visits.size());
    EXPECT_EQ(first, visits[0].devInst);
    EXPECT_EQ("PCI\\VEN_1111&DEV_0001", visits[0].hardwareId);
    EXPECT_EQ(1, visits[0].matched);
    EXPECT_EQ("PCI\\VEN_1111&DEV_0002", visits[1].hardwareId);
    EXPECT_EQ(1, visits[1].matched);
    EXPECT_EQ(other, visits[2].devInst);
    EXPECT_EQ(0, visits[2].matched);

    // Only the hardware ID is read from the devices that do not stand.
    for (const sim::PropertyRead& r : sim::SetupState().propertyReads) {
        if (r.devInst != second) EXPECT_EQ(static_cast<DWORD>(SPDRP_HARDWAREID), r.property);
    }
}

TEST_F(DeviceLookupTest, APlainLookupSeeksNoAdapterNames) {
    sim::AddNetAdapterKey("0000", kId2);
    sim::AddBluetoothDevice("USB\\VID_0B7A&PID_0001", "0000");
    HostCodeOnceClassified();
    size_t opens = Sim().regOpens.size();
    ASSERT_EQ(1, DeviceLookup(&record, "VID_0B7A", "Bluetooth", &info, kLookupPlain));
    EXPECT_EQ(opens, Sim().regOpens.size());
    EXPECT_STREQ("", P().DevicePath);
    EXPECT_STREQ("0000", P().DriverSuffix);
}

TEST_F(DeviceLookupTest, NamesAreTakenFromTheDescriptionAndCutToTheirSlots) {
    Add("ROOT\\A", "", "0001");
    DEVINST emptyFriendly = Add("ROOT\\B", "", "0002");
    sim::SetTextProperty(emptyFriendly, SPDRP_FRIENDLYNAME, "");
    sim::AddDevice("Net", {"ROOT\\C"}, "", "", "", "", "");
    Add("ROOT\\D", std::string(300, 'F'), "0004");
    Add("ROOT\\E", std::string(100, 'G'), "0005");
    DEVINST full = Add("ROOT\\F", "Full", "0006");
    sim::SetProperty(full, SPDRP_LOCATION_INFORMATION, REG_SZ, std::string(256, 'L'));
    sim::SetProperty(full, SPDRP_MFG, REG_BINARY, std::string(256, 'M'));

    struct Case {
        const char* pattern;
        std::string friendly, display;
    };
    for (const Case& c : {Case{"ROOT\\A", "", "Description 0001"},
                          Case{"ROOT\\B", "", "Description 0002"}, Case{"ROOT\\C", "", ""},
                          Case{"ROOT\\D", "", "Description 0004"},
                          Case{"ROOT\\E", std::string(100, 'G'), std::string(63, 'G')}}) {
        Reset();
        ASSERT_EQ(1, Lookup(c.pattern));
        EXPECT_EQ(c.friendly, P().FriendlyName) << c.pattern;
        EXPECT_EQ(c.display, P().DisplayName) << c.pattern;
    }
    // Buffers filled without a terminator are cut to the slot, never overrun.
    ASSERT_EQ(1, Lookup("ROOT\\F"));
    EXPECT_EQ(std::string(255, 'L'), P().Location);
    EXPECT_EQ(std::string(255, 'M'), P().Manufacturer);
    EXPECT_STREQ("0006", P().DriverSuffix);
}

TEST_F(DeviceLookupTest, DriverSuffixAndTheNamesLookedUpWithIt) {
    sim::AddNetAdapterKey("0012", kId1);
    Add("PCI\\TWELVE", "", "0012");
    Add("PCI\\THREE", "", "0003");
    sim::AddDevice("Net", {"PCI\\NODRIVER"}, "", "", "", "", "");
    ASSERT_EQ(1, Lookup("TWELVE"));
    EXPECT_STREQ("0012", P().DriverSuffix);
    EXPECT_STREQ(kId1, P().InstanceId);
    ASSERT_EQ(1, Lookup("THREE"));
    EXPECT_STREQ("0003", P().DriverSuffix);
    // No driver key: the names are sought under the class key itself.
    ASSERT_EQ(1, Lookup("NODRIVER"));
    EXPECT_STREQ("", P().DriverSuffix);
    EXPECT_EQ('\\', Sim().regOpens.back().path.back());

    // A full lookup of a Bluetooth device seeks them under the network class all the same.
    sim::AddNetAdapterKey("0000", kId2);
    sim::AddBluetoothDevice("USB\\VID_0B7A&PID_0001", "0000");
    ASSERT_EQ(1, Lookup("VID_0B7A", "Bluetooth"));
    EXPECT_EQ(std::string("\\\\.\\") + kId2, P().DevicePath);
}

TEST_F(DeviceLookupTest, NotFoundLeavesPayloadAndInfoUntouched) {
    Add("PCI\\NET_DEVICE", "Net device", "0001");
    for (const GUID& g : {sim::kNetClassGuid, sim::kBluetoothClassGuid, GUID{1}, GUID{2}})
        sim::AddSetupClass("Quad", g);

    struct Case {
        const char* className;
        const char* pattern;
        int failLists;
        int result;
        size_t listsAsked;
    };
    const std::string longPattern(64, 'N');
    for (const Case& c : {Case{"Bluetooth", "", 0, -9, 1},  // no devices in the class
                          Case{"NoSuchClass", "", 0, -9, 0},
                          Case{"Quad", "", 0, -99, 0},      // more GUIDs than the list holds
                          Case{"Net", "", 1, -7, 1},
                          Case{"Net", longPattern.c_str(), 0, -9, 0}}) {
        Reset();
        sim::SetupState().classDevsCalls.clear();
        sim::SetupState().failListCreations = c.failLists;
        EXPECT_EQ(c.result, Lookup(c.pattern, c.className)) << c.className;
        EXPECT_EQ(0u, record.Header) << c.className;
        EXPECT_TRUE(PayloadUntouched()) << c.className;
        EXPECT_EQ(0u, info.cbSize) << c.className;
        EXPECT_EQ(c.listsAsked, sim::SetupState().classDevsCalls.size()) << c.className;
    }
    // The longest pattern the record holds is used whole.
    Add("PCI\\" + std::string(63, 'N'), "", "0002");
    EXPECT_EQ(1, Lookup(longPattern.c_str() + 1));
}

TEST_F(DeviceLookupTest, OnlyTheClassNamesFirstGuidIsListed) {
    const GUID first = {0x0A, 0, 0, {0}};
    const GUID second = {0x0B, 0, 0, {0}};
    sim::AddSetupClass("Second", second);
    sim::AddSetupClass("Twin", first);
    sim::AddSetupClass("Twin", second);
    sim::AddDevice("Second", {"ROOT\\IN_SECOND"}, "", "", "", "", "");
    EXPECT_EQ(-9, Lookup("", "Twin"));
    EXPECT_EQ(0, std::memcmp(&first, &sim::SetupState().classDevsCalls[0].guid, sizeof first));
}

TEST_F(DeviceLookupTest, DoubleByteHardwareIdsMatchOnCharacterBoundaries) {
    Sim().codePage = 932;
    sim::AddDevice("Net", {"X\x82\x60Y"}, "", "", "", "", "");
    DEVINST trail = sim::AddDevice("Net", {"Q\x83\x61z"}, "", "", "", "", "");
    sim::AddDevice("Net", {"BAD\x82"}, "", "", "", "", "");  // ends inside a character
    sim::AddDevice("Net", {"BAD\x82 TRAIL"}, "", "", "", "", "");  // no trail byte after a lead

    EXPECT_EQ(-9, Lookup("\x60Y")) << "begins on a trail byte";
    EXPECT_EQ(1, Lookup("\x82\x60Y"));
    EXPECT_EQ(1, Lookup("\x83\x61Z")) << "a trail byte is no letter";
    EXPECT_EQ(-9, Lookup("\x83\x41Z"));
    EXPECT_EQ(-9, Lookup("BAD"));
    EXPECT_EQ(-9, Lookup("TRAIL"));
    EXPECT_EQ(1, Lookup(""));
    EXPECT_EQ(trail, info.DevInst) << "an invalid ID matches not even the empty pattern";
}

}  // namespace
