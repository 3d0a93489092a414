// The descriptor of one matched device, filled by the device lookup.
#pragma once

#include <windows.h>

// Slot capacities, terminator included.
const DWORD kDisplayNameSlot = 64;
const DWORD kHardwarePatternSlot = 64;
const DWORD kDriverSuffixSlot = 8;
const DWORD kFriendlyNameSlot = 256;
const DWORD kDevicePathSlot = 64;
const DWORD kInstanceIdSlot = 64;
const DWORD kDeviceObjectNameSlot = 256;
const DWORD kLocationSlot = 256;
const DWORD kManufacturerSlot = 256;

struct DevicePayload {
    char DisplayName[kDisplayNameSlot];
    char HardwarePattern[kHardwarePatternSlot];
    char DriverSuffix[kDriverSuffixSlot];
    char FriendlyName[kFriendlyNameSlot];
    char DevicePath[kDevicePathSlot];
    char InstanceId[kInstanceIdSlot];
    char DeviceObjectName[kDeviceObjectNameSlot];
    char Location[kLocationSlot];
    char Manufacturer[kManufacturerSlot];
};

struct DeviceRecord {
    DWORD Header;  // zeroed at every lookup; holds nothing else
    DevicePayload Payload;
};
