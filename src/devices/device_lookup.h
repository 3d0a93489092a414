// Finds a present device of a setup class whose first hardware ID contains a pattern.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "devices/device_record.h"

// Results.
const int kDeviceFound = 1;
const int kDeviceNotFound = -9;
const int kNoDeviceList = -7;
const int kClassUnresolved = -99;

// Every property, the hardware ID included, is read into this many bytes.
const DWORD kPropertyBufferSize = 256;

// What a lookup fills besides the device's own properties.
const DWORD kLookupPlain = 0;
const DWORD kLookupAdapterNames = 1;  // DevicePath, InstanceId and DeviceObjectName

// Called for every present device of the class, in enumeration order, with
// its first hardware ID as the lookup compares it (upper-cased; null when
// it is not valid text in the code page) and whether it matched. The
// element is valid only during the call.
typedef void (*DeviceVisitor)(void* context, const SP_DEVINFO_DATA* element,
                              const char* hardwareId, int matched);

// kDeviceFound when a device matched: record and info describe the last
// match, the device that stands, and slots it cannot fill are empty.
// Otherwise kDeviceNotFound, kNoDeviceList or kClassUnresolved, with only
// the record's Header set. info and visit may be null.
int DeviceLookup(DeviceRecord* record, const char* pattern, const char* className,
                 SP_DEVINFO_DATA* info, DWORD fill = kLookupAdapterNames,
                 DeviceVisitor visit = nullptr, void* context = nullptr);

// 1 when the device's node is started. A status that cannot be read counts
// as not started.
int DeviceNodeStarted(DEVINST devInst);
