#include "radio/coordinator.h"

#include <cstring>

#include "config/settings.h"
#include "devices/device_lookup.h"
#include "platform/win32_api.h"
#include "radio/driver_request.h"

int LastBluetoothState = 0;
int WifiPresent = 0;
char AdapterPath[kDevicePathSlot] = "";
int CoordinatorHostCode = 0;

namespace {

// Finds the device the settings key names in the class; on a match reports
// whether its node is started and, when wanted, its device path.
int ProbeDevice(const char* key, const char* className, int* started, char* devicePath) {
    char pattern[kPatternCapacity];
    // A pattern too long to hold is refused: it then names no device, where
    // an empty or cut pattern would name the wrong one.
    if (!ReadSetting(kSectionSettings, key, kDefaultPattern, pattern, sizeof pattern)) return 0;

    HANDLE heap = Win().GetProcessHeap();
    DeviceRecord* record =
        static_cast<DeviceRecord*>(Win().HeapAlloc(heap, 0, sizeof(DeviceRecord)));
    if (record == nullptr) return 0;

    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof info);
    int found = DeviceLookup(record, pattern, className, &info) == 1;
    if (found) {
        // Wine's stand-in answers success and writes nothing: start from no bits.
        ULONG status = 0;
        ULONG problem = 0;
        if (Win().CM_Get_DevNode_Status(&status, &problem, info.DevInst, 0) != CR_SUCCESS)
            status = 0;
        *started = (status & DN_STARTED) ? 1 : 0;
        if (devicePath != nullptr && *started)
            std::memcpy(devicePath, record->Payload.DevicePath, kDevicePathSlot);
    }
    Win().HeapFree(heap, 0, record);
    return found;
}

}  // namespace

int ProbeBluetooth(int* state) {
    int started = 0;
    if (!ProbeDevice(kKeyBluetoothPattern, "Bluetooth", &started, nullptr)) return 0;
    *state = started;
    return 1;
}

int ProbeWifi(int* present) {
    int started = 0;
    if (!ProbeDevice(kKeyWifiPattern, "Net", &started, AdapterPath)) return 0;
    *present = started;
    return 1;
}

int SendBluetoothState(int state) {
    LastBluetoothState = state;
    DWORD value = state != 0 ? 1 : 0;
    DWORD base = CoordinatorHostCode < 10 ? kBaseCodeBefore10 : kBaseCodeFrom10;
    SendDriverRequest(AdapterPath, base, &value);
    return 0;
}

void OnServiceStart() {
    ProbeBluetooth(&LastBluetoothState);
    ProbeWifi(&WifiPresent);
    if (WifiPresent != 0) SendBluetoothState(LastBluetoothState);
}

void OnDeviceArrival() {
    int bt = 0;
    ProbeBluetooth(&bt);
    // Sent before the Wi-Fi probe: aimed at the adapter path known so far.
    if (bt != LastBluetoothState) SendBluetoothState(bt);

    int wifi = 0;
    ProbeWifi(&wifi);
    if (wifi == 0) {
        WifiPresent = 0;
    } else if (WifiPresent == 0) {
        SendBluetoothState(bt);
        WifiPresent = wifi;
    }
}

void OnDeviceRemoval() {
    int wifi = 0;
    ProbeWifi(&wifi);
    // Only start-up and arrival bring the adapter up; removal only takes it down.
    if (wifi == 0) WifiPresent = 0;

    int bt = 0;
    ProbeBluetooth(&bt);
    if (bt != LastBluetoothState) SendBluetoothState(bt);
}

void ResetCoordinator() {
    LastBluetoothState = 0;
    WifiPresent = 0;
    AdapterPath[0] = '\0';
    CoordinatorHostCode = 0;
}
