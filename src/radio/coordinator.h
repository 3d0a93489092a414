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

// A refused state is sent again by itself: 2 s after the first refusal in a
// row, doubling, at most 5 minutes.
const DWORD kFirstRetryMs = 2000;
const DWORD kLongestRetryMs = 300000;
DWORD RetryDelayFor(DWORD refusalsInARow);

// A request the driver refused (no path is no refusal) waits to be sent
// again: RetryOwed is 1 and RefusalsInARow counts the refusals since it
// last accepted. An acceptance, or a rule that finds nothing left to tell,
// clears both. The removal rule leaves a waiting retry as it is: it never
// tells an adapter that stands.
extern int RetryOwed;
extern DWORD RefusalsInARow;

// The pattern each class's last probe read, and 1 when it was read (0: it
// was refused, or the settings file is out of reach, and the pattern is "").
extern char ProbedPattern[kRadioClassCount][kPatternCapacity];
extern int PatternRead[kRadioClassCount];

int ProbeBluetooth(int* state);
int ProbeWifi(int* present);

// Sends state to AdapterPath. Returns 1 when the driver accepted it, and
// then remembers the path in ToldAdapterPath.
int SendBluetoothState(int state);

void OnServiceStart();
void OnDeviceArrival();
void OnDeviceRemoval();
// The arrival rule, run again for a refused state with no device event.
void OnRetry();
// After a resume from sleep: probes as at start-up and tells a started
// adapter the state once, even one told before (it may have reset).
void OnResume();

// Back to the process-start state (tests).
void ResetCoordinator();
