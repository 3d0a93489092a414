#include "radio/coordinator.h"

#include <cstring>

#include "config/settings.h"
#include "devices/device_lookup.h"
#include "platform/win32_api.h"
#include "radio/driver_request.h"
#include "radio/driver_status.h"
#include "radio/event_trail.h"

int LastBluetoothState = 0;
int WifiPresent = 0;
char AdapterPath[kDevicePathSlot] = "";
char ToldAdapterPath[kDevicePathSlot] = "";
int CoordinatorHostCode = 0;
int RetryOwed = 0;
DWORD RefusalsInARow = 0;
char ProbedPattern[kRadioClassCount][kPatternCapacity];
int PatternRead[kRadioClassCount];

namespace {
int g_ruleRecorded = 0;  // the running rule wrote the status
// The adapter path whose driver held a request past its bound in the
// running rule; empty when none did.
char g_heldPath[kDevicePathSlot] = "";
}  // namespace

DWORD RetryDelayFor(DWORD refusalsInARow) {
    DWORD delay = kFirstRetryMs;
    for (DWORD i = 1; i < refusalsInARow && delay < kLongestRetryMs; ++i) delay *= 2;
    return delay < kLongestRetryMs ? delay : kLongestRetryMs;
}

namespace {

// Finds the device the settings key names in the class; on a match reports
// whether its node is started and, when wanted, its device path.
int ProbeDevice(int radioClass, int* started, char* devicePath) {
    const RadioClass& radio = kRadioClasses[radioClass];
    char* pattern = ProbedPattern[radioClass];
    // A pattern too long to hold is refused: it then names no device, where
    // an empty or cut pattern would name the wrong one.
    PatternRead[radioClass] =
        ReadSetting(kSectionSettings, radio.key, kDefaultPattern, pattern, kPatternCapacity);
    if (!PatternRead[radioClass]) return 0;

    HANDLE heap = Win().GetProcessHeap();
    DeviceRecord* record =
        static_cast<DeviceRecord*>(Win().HeapAlloc(heap, 0, sizeof(DeviceRecord)));
    if (record == nullptr) return 0;

    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof info);
    int found = DeviceLookup(record, pattern, radio.className, &info, radio.fill) == kDeviceFound;
    if (found) {
        *started = DeviceNodeStarted(info.DevInst);
        if (devicePath != nullptr && *started)
            std::memcpy(devicePath, record->Payload.DevicePath, kDevicePathSlot);
    }
    Win().HeapFree(heap, 0, record);
    return found;
}

}  // namespace

int ProbeBluetooth(int* state) {
    int started = 0;
    if (!ProbeDevice(kRadioBluetooth, &started, nullptr)) return 0;
    *state = started;
    return 1;
}

int ProbeWifi(int* present) {
    int started = 0;
    if (!ProbeDevice(kRadioWifi, &started, AdapterPath)) return 0;
    *present = started;
    return 1;
}

int SendBluetoothState(int state) {
    // A driver that held a request past its bound is not asked again in the
    // same rule: a second bound would double what a stop waits for. The
    // refusal it met is retried.
    if (g_heldPath[0] != '\0' && std::strcmp(g_heldPath, AdapterPath) == 0) {
        if (WifiPresent == 0) LastBluetoothState = state;
        return 0;
    }
    DWORD value = state != 0 ? 1 : 0;
    const DWORD refusalsBefore = RefusalsInARow;
    DriverReply reply;
    const int told =
        SendDriverRequest(AdapterPath, BaseCodeFor(CoordinatorHostCode), &value, &reply);
    if (reply.step == kDriverTimedOut) std::memcpy(g_heldPath, AdapterPath, sizeof g_heldPath);
    // A told adapter that refused must hear the state again: left
    // unrecorded, the next event sees the difference. While the adapter is
    // away the state is recorded; telling it when it is back delivers it.
    if (told || WifiPresent == 0) LastBluetoothState = state;
    if (told) std::memcpy(ToldAdapterPath, AdapterPath, sizeof ToldAdapterPath);
    // A refusal is retried by itself; without a path nothing was sent, and
    // only an event can bring one.
    RetryOwed = !told && reply.step != kDriverNoPath;
    if (told) RefusalsInARow = 0;
    if (RetryOwed) ++RefusalsInARow;
    // For an administrator only: a refused state is always sent again, at
    // the retry, the next event or when an arrival tells the adapter.
    // Without a path nothing was sent, which is noted only when the state is
    // left waiting.
    const DWORD retryInMs = RetryOwed ? RetryDelayFor(RefusalsInARow) : 0;
    if (reply.step != kDriverNoPath || LastBluetoothState != state) {
        g_ruleRecorded = 1;
        RecordExchange(state, AdapterPath, reply, !told, retryInMs);
    }
    if (reply.step != kDriverNoPath)
        NoteExchange(state, AdapterPath, reply, refusalsBefore, retryInMs);
    return told;
}

namespace {

// A started adapter was found: unless it is the one already told, or an
// earlier send of this rule reached it, it hears the state now. It counts
// as present only once it has been told, so a later arrival tries again.
void AdapterUp(int state, int reachedThisRule) {
    const int sameAdapter = std::strcmp(AdapterPath, ToldAdapterPath) == 0;
    if (WifiPresent != 0 && sameAdapter) return;
    if (reachedThisRule && sameAdapter) {
        WifiPresent = 1;
        return;
    }
    // Not yet told: the send records the state even if refused, as while away.
    WifiPresent = 0;
    WifiPresent = SendBluetoothState(state);
}

// A rule that redoes all the retry would do: a retry still owed at its end
// comes from a refusal it met itself.
void BeginWholeRule() {
    RetryOwed = 0;
    g_ruleRecorded = 0;
    g_heldPath[0] = '\0';
}

// Nothing left to tell: the status, unless this rule wrote it, must stop
// announcing a retry.
void EndWholeRule() {
    if (RetryOwed) return;
    if (RefusalsInARow != 0 && !g_ruleRecorded) RecordRetryDropped();
    if (RefusalsInARow != 0) NoteRetryDropped(RefusalsInARow);
    RefusalsInARow = 0;
}

}  // namespace

void OnServiceStart() {
    BeginWholeRule();
    ProbeBluetooth(&LastBluetoothState);
    int wifi = 0;
    const int found = ProbeWifi(&wifi);
    NoteStart(found, wifi);
    if (wifi != 0) AdapterUp(LastBluetoothState, 0);
    EndWholeRule();
}

void OnDeviceArrival() {
    BeginWholeRule();
    int bt = 0;
    ProbeBluetooth(&bt);
    // Sent before the Wi-Fi probe: aimed at the adapter path known so far.
    int reached = 0;
    if (bt != LastBluetoothState) reached = SendBluetoothState(bt);

    int wifi = 0;
    ProbeWifi(&wifi);
    if (wifi == 0) {
        WifiPresent = 0;
    } else {
        AdapterUp(bt, reached);
    }
    EndWholeRule();
}

void OnRetry() { OnDeviceArrival(); }

void OnResume() {
    BeginWholeRule();
    int bt = 0;
    ProbeBluetooth(&bt);
    int wifi = 0;
    ProbeWifi(&wifi);
    // Told again even if told before: its driver may have reset asleep.
    WifiPresent = 0;
    // Without an adapter the state is recorded: telling it when it is back delivers it.
    if (wifi == 0) LastBluetoothState = bt;
    else AdapterUp(bt, 0);
    EndWholeRule();
}

void OnDeviceRemoval() {
    g_heldPath[0] = '\0';
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
    ToldAdapterPath[0] = '\0';
    CoordinatorHostCode = 0;
    RetryOwed = 0;
    RefusalsInARow = 0;
    g_heldPath[0] = '\0';
    ResetExchangeCounts();
    ResetEventTrail();
}
