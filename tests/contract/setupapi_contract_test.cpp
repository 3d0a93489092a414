// The Setup API as the device lookup relies on it, and the lookup itself,
// checked with the same code against the simulation and against Wine.
//
// On Wine the test devices are registry keys three levels below Enum, under
// an enumerator of our own; a setup class name resolves through the "Class"
// value of the class key. Everything laid out is removed again.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "backend.h"
#include "devices/device_lookup.h"
#include "platform/win32_api.h"
#include "sim_setupapi.h"

namespace {

const char kEnumerator[] = "SYSTEM\\CurrentControlSet\\Enum\\TOLVANETEST";
const char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\";

// Classes of our own for the name-resolution checks.
const GUID kQuadGuids[] = {
    {0x7A0E5C11, 0x3B2D, 0x4C4E, {0x9F, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x01}},
    {0x7A0E5C11, 0x3B2D, 0x4C4E, {0x9F, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x02}},
    {0x7A0E5C11, 0x3B2D, 0x4C4E, {0x9F, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x03}},
    {0x7A0E5C11, 0x3B2D, 0x4C4E, {0x9F, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x04}},
};

// Instance numbers of the test devices' driver keys, unlikely to be taken.
const char kWifiInstance[] = "9871";
const char kBluetoothInstance[] = "9872";
const char kAdapterId[] = "{5E1F0A2B-7C3D-4E5F-8A9B-0C1D2E3F4A5B}";

const DWORD kBufferSize = 256;

struct Property {
    DWORD spdrp;
    const char* valueName;  // under the device's Enum key
    DWORD type;
    std::string bytes;
};

Property Text(DWORD spdrp, const char* valueName, const std::string& text) {
    return {spdrp, valueName, REG_SZ, std::string(text.c_str(), text.size() + 1)};
}

Property HardwareIds(const std::vector<std::string>& ids) {
    std::string bytes;
    for (const std::string& id : ids) bytes += std::string(id.c_str(), id.size() + 1);
    return {SPDRP_HARDWAREID, "HardwareID", REG_MULTI_SZ, bytes + std::string(1, '\0')};
}

Property FriendlyName(const std::string& t) { return Text(SPDRP_FRIENDLYNAME, "FriendlyName", t); }
Property DeviceDesc(const std::string& t) { return Text(SPDRP_DEVICEDESC, "DeviceDesc", t); }
Property Driver(const std::string& t) { return Text(SPDRP_DRIVER, "Driver", t); }
Property Location(const std::string& t) {
    return Text(SPDRP_LOCATION_INFORMATION, "LocationInformation", t);
}
Property Mfg(const std::string& t) { return Text(SPDRP_MFG, "Mfg", t); }

std::string NetKey(const std::string& instance) {
    return sim::GuidText(sim::kNetClassGuid) + "\\" + instance;
}
std::string BluetoothKey(const std::string& instance) {
    return sim::GuidText(sim::kBluetoothClassGuid) + "\\" + instance;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The Wi-Fi adapter and Bluetooth device most checks look for.
const std::vector<Property> kWifiProperties = {
    HardwareIds({"TolvaneTest\\Wifi_Radio&Rev_01", "TolvaneTest\\Wifi_Compat"}),
    FriendlyName("Tolvane Test Wi-Fi"),
    DeviceDesc("Test Wireless Adapter"),
    Driver(NetKey(kWifiInstance)),
    Location("PCI bus 7, device 0, function 0"),
    Mfg("Tolvane Test Maker"),
};
const std::vector<Property> kBluetoothProperties = {
    HardwareIds({"TolvaneTest\\Bt_Radio"}),
    FriendlyName("Tolvane Test Radio"),
    DeviceDesc("Test Bluetooth Radio"),
    Driver(BluetoothKey(kBluetoothInstance)),
    Location("Port_#0002.Hub_#0001"),
    Mfg("Tolvane Radio Maker"),
};

// Test devices are entries under Enum, which Windows lets only its own
// device installer write (administrators may read it); on Windows the
// cases that need them skip, those that need only class keys run.
#define NEEDS_TEST_DEVICES()                                                              \
    if (OnWine() && OnRealWindows())                                                      \
    GTEST_SKIP() << "needs test devices under HKLM\\SYSTEM\\CurrentControlSet\\Enum, " \
                    "which Windows lets only its device installer write"

class SetupApiContract : public ::testing::TestWithParam<const Backend*> {
protected:
    void SetUp() override {
        B().Install();
        RemoveLayout();
    }
    void TearDown() override {
        if (!OnWine()) EXPECT_EQ(0, sim::State().OpenHandles()) << "handles left open";
        RemoveLayout();
        B().Remove();
    }

    const Backend& B() { return *GetParam(); }
    bool OnWine() { return GetParam() == &kWineBackend; }

    // Makes the class name resolve to the GUID (one more GUID for the name).
    void RegisterClass(const char* name, const GUID& guid) {
        // A class the system knows already is left as it is (on Windows,
        // Net and Bluetooth are real classes).
        GUID known[4];
        DWORD count = 0;
        Win().SetupDiClassGuidsFromNameA(name, known, 4, &count);
        for (DWORD i = 0; i < count && i < 4; ++i) {
            if (SameGuid(known[i], guid)) return;
        }
        if (!OnWine()) {
            sim::AddSetupClass(name, guid);
            return;
        }
        std::string key = kClassRoot + sim::GuidText(guid);
        ClassKey made{key, KeyExists(key), ValueExists(key, "Class")};
        classKeys_.push_back(made);
        B().SetRegValue(key.c_str(), "Class", REG_SZ, name, static_cast<DWORD>(std::strlen(name) + 1));
    }

    void AddDevice(const char* className, const char* deviceName,
                   const std::vector<Property>& properties) {
        if (!OnWine()) {
            DEVINST d = sim::AddDevice(className, {}, "", "", "", "", "", true);
            for (const Property& p : properties) sim::SetProperty(d, p.spdrp, p.type, p.bytes);
            return;
        }
        GUID classGuid{};
        DWORD count = 0;
        ASSERT_TRUE(Win().SetupDiClassGuidsFromNameA(className, &classGuid, 1, &count));
        ASSERT_EQ(1u, count);
        std::string key = std::string(kEnumerator) + "\\" + deviceName + "\\0000";
        for (const Property& p : properties) {
            // A byte other than NUL right after the data: text is stored
            // exactly as given, the registry adds no terminator it lacks.
            std::string guarded = p.bytes + "X";
            B().SetRegValue(key.c_str(), p.valueName, p.type, guarded.data(),
                            static_cast<DWORD>(p.bytes.size()));
        }
        // Last: enumeration lists the key once it names the class.
        std::string guid = sim::GuidText(classGuid);
        B().SetRegValue(key.c_str(), "ClassGUID", REG_SZ, guid.c_str(),
                        static_cast<DWORD>(guid.size() + 1));
    }

    void AddAdapterEntry(const std::string& instance, const char* netCfgInstanceId) {
        std::string key = kClassRoot + NetKey(instance);
        B().SetRegValue(key.c_str(), "NetCfgInstanceId", REG_SZ, netCfgInstanceId,
                        static_cast<DWORD>(std::strlen(netCfgInstanceId) + 1));
    }

    void LayOutRadios() {
        RegisterClass("Net", sim::kNetClassGuid);
        RegisterClass("Bluetooth", sim::kBluetoothClassGuid);
        AddDevice("Net", "WIFI", kWifiProperties);
        AddDevice("Bluetooth", "BT", kBluetoothProperties);
        AddAdapterEntry(kWifiInstance, kAdapterId);
    }

    // The device of the list whose first hardware ID is `firstId`.
    bool FindInList(HDEVINFO list, const std::string& firstId, SP_DEVINFO_DATA* found) {
        SP_DEVINFO_DATA element;
        std::memset(&element, 0, sizeof element);
        element.cbSize = sizeof element;
        for (DWORD i = 0; Win().SetupDiEnumDeviceInfo(list, i, &element); ++i) {
            char buffer[kBufferSize] = {};
            if (Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_HARDWAREID, nullptr,
                                                        reinterpret_cast<BYTE*>(buffer),
                                                        sizeof buffer, nullptr) &&
                firstId == buffer) {
                *found = element;
                return true;
            }
        }
        return false;
    }

private:
    struct ClassKey {
        std::string key;
        bool keyExisted;
        bool classValueExisted;
    };
    std::vector<ClassKey> classKeys_;

    static bool KeyExists(const std::string& key) {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            return false;
        RegCloseKey(h);
        return true;
    }

    static bool ValueExists(const std::string& key, const char* name) {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            return false;
        bool found = RegQueryValueExA(h, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(h);
        return found;
    }

    // Removes what this suite lays out, leftovers of an earlier run included.
    void RemoveLayout() {
        B().DeleteRegKey(kEnumerator);
        for (const char* instance : {kWifiInstance, kBluetoothInstance})
            B().DeleteRegKey((kClassRoot + NetKey(instance)).c_str());
        for (const GUID& g : kQuadGuids) B().DeleteRegKey((kClassRoot + sim::GuidText(g)).c_str());
        // Keys taken over from the machine lose only what we added.
        for (auto it = classKeys_.rbegin(); it != classKeys_.rend(); ++it) {
            if (!it->keyExisted) {
                B().DeleteRegKey(it->key.c_str());
            } else if (!it->classValueExisted) {
                HKEY h = nullptr;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, it->key.c_str(), 0, KEY_SET_VALUE, &h) ==
                    ERROR_SUCCESS) {
                    RegDeleteValueA(h, "Class");
                    RegCloseKey(h);
                }
            }
        }
        classKeys_.clear();
        // A device key deleted while something enumerates can come back.
        for (int attempt = 0; OnWine() && KeyExists(kEnumerator) && attempt < 5; ++attempt) {
            Sleep(100);
            B().DeleteRegKey(kEnumerator);
        }
        if (OnWine()) EXPECT_FALSE(KeyExists(kEnumerator)) << "test devices left behind";
    }
};

TEST_P(SetupApiContract, ClassNamesResolveThroughTheClassValue) {
    RegisterClass("Net", sim::kNetClassGuid);
    RegisterClass("Bluetooth", sim::kBluetoothClassGuid);

    GUID list[3];
    DWORD count = 99;
    ASSERT_TRUE(Win().SetupDiClassGuidsFromNameA("Net", list, 3, &count));
    ASSERT_EQ(1u, count);
    EXPECT_TRUE(SameGuid(sim::kNetClassGuid, list[0]));

    count = 99;
    ASSERT_TRUE(Win().SetupDiClassGuidsFromNameA("bLUETOOTH", list, 3, &count));
    ASSERT_EQ(1u, count) << "names compare without case";
    EXPECT_TRUE(SameGuid(sim::kBluetoothClassGuid, list[0]));

    // A name no class carries resolves, to nothing.
    count = 99;
    EXPECT_TRUE(Win().SetupDiClassGuidsFromNameA("TolvaneNoSuchClass", list, 3, &count));
    EXPECT_EQ(0u, count);
}

TEST_P(SetupApiContract, MoreGuidsThanTheListHoldsFailsWithTheCount) {
    for (const GUID& g : kQuadGuids) RegisterClass("TolvaneQuad", g);

    GUID list[3];
    DWORD count = 0;
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().SetupDiClassGuidsFromNameA("TolvaneQuad", list, 3, &count));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(4u, count);

    GUID all[4];
    ASSERT_TRUE(Win().SetupDiClassGuidsFromNameA("TolvaneQuad", all, 4, &count));
    ASSERT_EQ(4u, count);
    std::set<std::string> names;
    for (const GUID& g : all) names.insert(sim::GuidText(g));
    for (const GUID& g : kQuadGuids) EXPECT_EQ(1u, names.count(sim::GuidText(g)));

    // The lookup cannot resolve such a name.
    DeviceRecord record{};
    EXPECT_EQ(-99, DeviceLookup(&record, "", "TolvaneQuad", nullptr));
}

TEST_P(SetupApiContract, ListHoldsTheDevicesOfItsClassOnly) {
    NEEDS_TEST_DEVICES();
    LayOutRadios();

    HDEVINFO list = Win().SetupDiGetClassDevsA(&sim::kBluetoothClassGuid, nullptr, nullptr,
                                               DIGCF_PRESENT);
    ASSERT_NE(INVALID_HANDLE_VALUE, list);
    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof element;
    std::set<std::string> firstIds;
    DWORD index = 0;
    for (; Win().SetupDiEnumDeviceInfo(list, index, &element); ++index) {
        EXPECT_EQ(28u, element.cbSize);
        EXPECT_TRUE(SameGuid(sim::kBluetoothClassGuid, element.ClassGuid));
        char buffer[kBufferSize] = {};
        Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_HARDWAREID, nullptr,
                                                reinterpret_cast<BYTE*>(buffer), sizeof buffer,
                                                nullptr);
        firstIds.insert(buffer);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_EQ(1u, firstIds.count("TolvaneTest\\Bt_Radio"));
    EXPECT_EQ(0u, firstIds.count("TolvaneTest\\Wifi_Radio&Rev_01"));

    // An element of the wrong size is refused.
    element.cbSize = 20;
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().SetupDiEnumDeviceInfo(list, 0, &element));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());

    EXPECT_TRUE(Win().SetupDiDestroyDeviceInfoList(list));

    // A class without devices gives an empty list.
    RegisterClass("TolvaneQuad", kQuadGuids[0]);
    list = Win().SetupDiGetClassDevsA(&kQuadGuids[0], nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(INVALID_HANDLE_VALUE, list);
    element.cbSize = sizeof element;
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().SetupDiEnumDeviceInfo(list, 0, &element));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_TRUE(Win().SetupDiDestroyDeviceInfoList(list));
}

TEST_P(SetupApiContract, PropertiesReportTheirSizeAndFailWhenAbsentOrTooLarge) {
    NEEDS_TEST_DEVICES();
    RegisterClass("Bluetooth", sim::kBluetoothClassGuid);
    const std::string longMaker(300, 'M');
    AddDevice("Bluetooth", "PROPS",
              {HardwareIds({"TolvaneTest\\Props", "TolvaneTest\\Props_Compat"}),
               FriendlyName("Radio One"), Mfg(longMaker),
               {SPDRP_LOCATION_INFORMATION, "LocationInformation", REG_SZ, std::string(10, 'L')},
               {SPDRP_DRIVER, "Driver", REG_SZ, std::string(256, 'D')}});

    HDEVINFO list = Win().SetupDiGetClassDevsA(&sim::kBluetoothClassGuid, nullptr, nullptr,
                                               DIGCF_PRESENT);
    ASSERT_NE(INVALID_HANDLE_VALUE, list);
    SP_DEVINFO_DATA element;
    ASSERT_TRUE(FindInList(list, "TolvaneTest\\Props", &element));

    char buffer[kBufferSize];
    DWORD type = 0;
    DWORD size = 0;
    std::memset(buffer, 0, sizeof buffer);
    ASSERT_TRUE(Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_HARDWAREID, &type,
                                                        reinterpret_cast<BYTE*>(buffer),
                                                        sizeof buffer, &size));
    const std::string multi = HardwareIds({"TolvaneTest\\Props", "TolvaneTest\\Props_Compat"}).bytes;
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ(multi.size(), size) << "every terminator counts";
    EXPECT_EQ(multi, std::string(buffer, multi.size()));

    std::memset(buffer, 0, sizeof buffer);
    ASSERT_TRUE(Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_FRIENDLYNAME, &type,
                                                        reinterpret_cast<BYTE*>(buffer),
                                                        sizeof buffer, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(10u, size);
    EXPECT_STREQ("Radio One", buffer);

    // Absent. The type and size it reports are not the property's.
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_DEVICEDESC, &type,
                                                         reinterpret_cast<BYTE*>(buffer),
                                                         sizeof buffer, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
    EXPECT_EQ(sizeof buffer, size);

    // Too large: the size needed is reported.
    std::memset(buffer, 0x5A, sizeof buffer);
    size = 0;
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_MFG, &type,
                                                         reinterpret_cast<BYTE*>(buffer),
                                                         sizeof buffer, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(301u, size);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    for (char c : buffer) ASSERT_EQ(static_cast<char>(0x5A), c) << "nothing copied";

    // Text stored without its NUL: one is added where there is room, not
    // counted; text that fills the buffer stays unterminated.
    std::memset(buffer, 0x5A, sizeof buffer);
    ASSERT_TRUE(Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_LOCATION_INFORMATION,
                                                        &type, reinterpret_cast<BYTE*>(buffer),
                                                        sizeof buffer, &size));
    EXPECT_EQ(10u, size);
    EXPECT_EQ(std::string(10, 'L'), std::string(buffer, 10));
    EXPECT_EQ('\0', buffer[10]);
    std::memset(buffer, 0x5A, sizeof buffer);
    ASSERT_TRUE(Win().SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_DRIVER, &type,
                                                        reinterpret_cast<BYTE*>(buffer),
                                                        sizeof buffer, &size));
    EXPECT_EQ(256u, size);
    EXPECT_EQ(std::string(256, 'D'), std::string(buffer, sizeof buffer));

    // An element of the wrong size is refused.
    SP_DEVINFO_DATA shortElement = element;
    shortElement.cbSize = 20;
    SetLastError(kUnsetLastError);
    EXPECT_FALSE(Win().SetupDiGetDeviceRegistryPropertyA(list, &shortElement, SPDRP_HARDWAREID,
                                                         &type, reinterpret_cast<BYTE*>(buffer),
                                                         sizeof buffer, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    EXPECT_TRUE(Win().SetupDiDestroyDeviceInfoList(list));
}

TEST_P(SetupApiContract, LookupFindsTheAdapterByPatternAndResolvesItsNames) {
    NEEDS_TEST_DEVICES();
    LayOutRadios();

    DeviceRecord record;
    std::memset(&record, 0x5A, sizeof record);
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof info);
    ASSERT_EQ(1, DeviceLookup(&record, "WIFI_RADIO&REV", "Net", &info));

    const DevicePayload& p = record.Payload;
    EXPECT_EQ(0u, record.Header);
    EXPECT_STREQ("Tolvane Test Wi-Fi", p.DisplayName);
    EXPECT_STREQ("WIFI_RADIO&REV", p.HardwarePattern);
    EXPECT_STREQ(kWifiInstance, p.DriverSuffix);
    EXPECT_STREQ("Tolvane Test Wi-Fi", p.FriendlyName);
    EXPECT_EQ(std::string("\\\\.\\") + kAdapterId, p.DevicePath);
    EXPECT_STREQ(kAdapterId, p.InstanceId);
    EXPECT_EQ(std::string("\\Device\\") + kAdapterId, p.DeviceObjectName);
    EXPECT_STREQ("PCI bus 7, device 0, function 0", p.Location);
    EXPECT_STREQ("Tolvane Test Maker", p.Manufacturer);
    EXPECT_EQ(28u, info.cbSize);
    EXPECT_TRUE(SameGuid(sim::kNetClassGuid, info.ClassGuid));
}

TEST_P(SetupApiContract, LookupOfTheBluetoothDeviceUsesTheNetworkClassForNames) {
    NEEDS_TEST_DEVICES();
    LayOutRadios();

    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof info);
    ASSERT_EQ(1, DeviceLookup(&record, "BT_RADIO", "Bluetooth", &info));
    const DevicePayload& p = record.Payload;
    EXPECT_STREQ("Tolvane Test Radio", p.DisplayName);
    EXPECT_STREQ("Tolvane Test Radio", p.FriendlyName);
    EXPECT_STREQ(kBluetoothInstance, p.DriverSuffix);
    EXPECT_STREQ("Port_#0002.Hub_#0001", p.Location);
    EXPECT_STREQ("Tolvane Radio Maker", p.Manufacturer);
    // No network adapter sits at its instance number.
    EXPECT_STREQ("", p.DevicePath);
    EXPECT_STREQ("", p.InstanceId);
    EXPECT_STREQ("", p.DeviceObjectName);
    EXPECT_TRUE(SameGuid(sim::kBluetoothClassGuid, info.ClassGuid));

    // Once one does, the Bluetooth device's record carries its names.
    AddAdapterEntry(kBluetoothInstance, kAdapterId);
    ASSERT_EQ(1, DeviceLookup(&record, "BT_RADIO", "Bluetooth", &info));
    EXPECT_EQ(std::string("\\\\.\\") + kAdapterId, p.DevicePath);
}

TEST_P(SetupApiContract, LookupMatchesOnlyTheUpperCasedFirstHardwareId) {
    NEEDS_TEST_DEVICES();
    LayOutRadios();

    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    EXPECT_EQ(-9, DeviceLookup(&record, "WIFI_COMPAT", "Net", nullptr)) << "second ID";
    EXPECT_EQ(-9, DeviceLookup(&record, "Wifi_Radio", "Net", nullptr)) << "lower case";
    EXPECT_EQ(-9, DeviceLookup(&record, "BT_RADIO", "Net", nullptr)) << "other class";
    EXPECT_EQ(-9, DeviceLookup(&record, "", "TolvaneNoSuchClass", nullptr));
    EXPECT_EQ(1, DeviceLookup(&record, "TOLVANETEST\\WIFI_RADIO&REV_01", "Net", nullptr));
}

TEST_P(SetupApiContract, LookupNamesFromTheDescriptionAndOversizedPropertiesAsEmpty) {
    NEEDS_TEST_DEVICES();
    RegisterClass("Net", sim::kNetClassGuid);
    AddDevice("Net", "PLAIN", {HardwareIds({"TolvaneTest\\Plain"}), DeviceDesc("Only A Description")});
    AddDevice("Net", "BIG",
              {HardwareIds({"TolvaneTest\\Big"}), FriendlyName(std::string(300, 'F')),
               DeviceDesc("Plain Description"), Driver(NetKey(kWifiInstance)),
               Location(std::string(255, 'L')), Mfg(std::string(256, 'M'))});
    // Fills the buffer with no terminator: cut to its slot, not overrun.
    AddDevice("Net", "FULL",
              {HardwareIds({"TolvaneTest\\Full"}),
               {SPDRP_FRIENDLYNAME, "FriendlyName", REG_SZ, std::string(256, 'F')},
               {SPDRP_LOCATION_INFORMATION, "LocationInformation", REG_SZ, std::string(256, 'L')},
               {SPDRP_MFG, "Mfg", REG_BINARY, std::string(256, 'M')}});

    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    const DevicePayload& p = record.Payload;
    ASSERT_EQ(1, DeviceLookup(&record, "TOLVANETEST\\PLAIN", "Net", nullptr));
    EXPECT_STREQ("", p.FriendlyName);
    EXPECT_STREQ("Only A Description", p.DisplayName);
    EXPECT_STREQ("", p.DriverSuffix);

    ASSERT_EQ(1, DeviceLookup(&record, "TOLVANETEST\\BIG", "Net", nullptr));
    EXPECT_STREQ("", p.FriendlyName);
    EXPECT_STREQ("Plain Description", p.DisplayName);
    EXPECT_EQ(std::string(255, 'L'), p.Location) << "255 characters and the NUL fit";
    EXPECT_STREQ("", p.Manufacturer) << "256 characters and the NUL do not";

    std::memset(&record, 0, sizeof record);
    ASSERT_EQ(1, DeviceLookup(&record, "TOLVANETEST\\FULL", "Net", nullptr));
    EXPECT_EQ(std::string(255, 'F'), p.FriendlyName);
    EXPECT_EQ(std::string(63, 'F'), p.DisplayName);
    EXPECT_EQ(std::string(255, 'L'), p.Location);
    EXPECT_EQ(std::string(255, 'M'), p.Manufacturer);
    EXPECT_STREQ("", p.DriverSuffix);
}

CONTRACT_SUITE(SetupApiContract);

}  // namespace
