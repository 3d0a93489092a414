// Finds a present device of a setup class whose first hardware ID contains a pattern.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "devices/device_record.h"

// 1 a device matched (record and info describe the last match); -9 none
// matched; -7 the device list cannot be created; -99 the class name cannot
// be resolved. info may be null.
int DeviceLookup(DeviceRecord* record, const char* pattern, const char* className,
                 SP_DEVINFO_DATA* info);
