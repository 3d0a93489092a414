// Simulated Setup API and configuration manager: setup classes, the present
// devices of each, their properties and node status.
//
// A fresh simulation knows the "Net" and "Bluetooth" classes and has no
// devices. Typical use in a test:
//
//     DEVINST wifi = sim::AddWifiAdapter("PCI\\VEN_7E57&DEV_7A29", "0007",
//                                        "{11111111-2222-3333-4444-555555555555}");
//     DEVINST bt = sim::AddBluetoothDevice("USB\\VID_0B7A&PID_0001", "0000", false);
//     sim::SetStarted(bt, true);
//     sim::RemoveDevice(wifi);
//
// Device-information lists are counted as HandleKind::DevInfoList, so a
// SimTest ends with a check that every list was destroyed.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <map>
#include <string>
#include <vector>

#include "sim_windows.h"

namespace sim {

// Class GUIDs of the two setup classes the service looks in.
extern const GUID kNetClassGuid;
extern const GUID kBluetoothClassGuid;

// Node status of a started and of a stopped (disabled) device.
const ULONG kStartedStatus = 0x0180200A;  // DN_STARTED among others
const ULONG kStoppedStatus = 0x01802402;
const ULONG kStoppedProblem = 22;

struct DevNode {
    DEVINST devInst;
    GUID classGuid;
    std::map<DWORD, RegValue> properties;  // SPDRP_* -> type and bytes; absent when missing
    ULONG status;
    ULONG problem;
    CONFIGRET statusResult;  // anything but CR_SUCCESS: CM_Get_DevNode_Status fails with it
};

// What the product asked for, for tests to check.
struct ClassDevsCall {
    bool guidGiven;
    GUID guid;
    bool enumeratorGiven;
    bool parentGiven;
    DWORD flags;
};

struct PropertyRead {
    DEVINST devInst;
    DWORD property;
    DWORD bufferSize;
    bool bufferWasClear;  // every byte of the buffer was zero when the call arrived
    BOOL ok;
};

struct SetupApi {
    std::vector<std::pair<std::string, GUID>> classes;  // name -> GUID, in registry order
    std::vector<DevNode> devices;                       // present devices, enumeration order
    DEVINST nextDevInst = 0;                             // 0 is a valid DevInst, as on Wine
    std::map<uintptr_t, std::vector<DEVINST>> lists;    // open list -> devices when created
    std::map<ULONG_PTR, std::pair<uintptr_t, DWORD>> elements;  // Reserved -> (list, index)
    ULONG_PTR nextElementToken = 0x00147A90;
    int failListCreations = 0;  // the coming N SetupDiGetClassDevsA calls fail

    std::vector<ClassDevsCall> classDevsCalls;
    std::vector<PropertyRead> propertyReads;
    std::vector<DEVINST> statusQueries;
};

// The Setup API state of the running test.
SetupApi& SetupState();

// "{4D36E972-E325-11CE-BFC1-08002BE10318}": braced, upper-case.
std::string GuidText(const GUID& guid);

// Registers one more GUID under a class name (names compare without case).
void AddSetupClass(const std::string& name, const GUID& guid);

// The first GUID of a class name; a name not yet known is registered with
// a made-up GUID of its own.
GUID ClassGuidOf(const std::string& className);

// A driver key as the platform reports it: the class GUID braced, a
// backslash and the four-digit instance number.
std::string DriverKey(const std::string& className, const std::string& instance);

// Adds a present device of the class and returns its DevInst. Each text
// property that is empty is left out (reading it fails with error 13); an
// empty hardwareIds leaves out the hardware ID.
DEVINST AddDevice(const std::string& className, const std::vector<std::string>& hardwareIds,
                  const std::string& friendlyName, const std::string& desc,
                  const std::string& driverKey, const std::string& location,
                  const std::string& mfg, bool started = true);

// A "Net" device with driver key instance `instance` and, when
// netCfgInstanceId is not empty, its adapter entry (AddNetAdapterKey).
DEVINST AddWifiAdapter(const std::string& hardwareId, const std::string& instance,
                       const std::string& netCfgInstanceId, bool started = true);

// A "Bluetooth" device with driver key instance `instance`.
DEVINST AddBluetoothDevice(const std::string& hardwareId, const std::string& instance,
                           bool started = true);

// The adapter's entry under the network class, as hosts of code 6 and up
// keep it: "NetCfgInstanceId" (REG_SZ) under Control\Class\{net}\<suffix>.
void AddNetAdapterKey(const std::string& suffix, const std::string& netCfgInstanceId);

// The same for older hosts: "DeviceVxDs" under Services\Class\Net\<suffix>.
void AddLegacyNetAdapterKey(const std::string& suffix, const std::string& deviceVxDs);

DevNode* FindNode(DEVINST devInst);

// Property bytes exactly as given (no terminator added).
void SetProperty(DEVINST devInst, DWORD property, DWORD type, const std::string& bytes);
// Text and its NUL, as REG_SZ.
void SetTextProperty(DEVINST devInst, DWORD property, const std::string& text);
// Strings each with its NUL and a final NUL, as REG_MULTI_SZ.
void SetHardwareIds(DEVINST devInst, const std::vector<std::string>& ids);
void RemoveProperty(DEVINST devInst, DWORD property);

void SetStarted(DEVINST devInst, bool started);
void SetNodeStatus(DEVINST devInst, ULONG status, ULONG problem);
void FailNodeStatus(DEVINST devInst, CONFIGRET result);

// The device is no longer present: later lists do not hold it and its
// DevInst names no node.
void RemoveDevice(DEVINST devInst);

}  // namespace sim
