// The radio coordinator: decides when the Wi-Fi driver must hear the
// Bluetooth state. Its rules run one at a time (the service runtime holds
// one lock around each).
#pragma once

#include <windows.h>

#include "config/settings.h"
#include "devices/device_lookup.h"
#include "devices/device_record.h"
#include "radio/driver_request.h"

// Coordinator state, zero when the process starts.
extern int LastBluetoothState;
extern int WifiPresent;  // 1: the adapter that stands has been told
extern char AdapterPath[kDevicePathSlot];
extern char ToldAdapterPath[kDevicePathSlot];  // where the last accepted request went
extern int CoordinatorHostCode;                // stored once by the service entry

// The device classes the service probes: the setup class, the settings key
// of its pattern and what the lookup fills in.
struct RadioClass {
    const char* className;
    const char* key;
    DWORD fill;
};
enum RadioClassIndex { kRadioBluetooth, kRadioWifi, kRadioClassCount };
const RadioClass kRadioClasses[kRadioClassCount] = {
    // The Bluetooth device is never sent anything: its adapter names are not sought.
    {"Bluetooth", kKeyBluetoothPattern, kLookupPlain},
    {"Net", kKeyWifiPattern, kLookupAdapterNames},
};

int ProbeBluetooth(int* state);
int ProbeWifi(int* present);

// Sends state to AdapterPath. Returns 1 when the driver accepted it, and
// then remembers the path in ToldAdapterPath.
int SendBluetoothState(int state);

void OnServiceStart();
void OnDeviceArrival();
void OnDeviceRemoval();

// Back to the process-start state (tests).
void ResetCoordinator();
