// The service's last exchange with the Wi-Fi driver, as its Status key
// holds it; the verdict judges it.
#pragma once

#include <windows.h>

#include "devices/device_record.h"
#include "radio/driver_status.h"

struct LastRequestFacts {
    int read;     // the key holds a whole status
    DWORD error;  // why not; ERROR_FILE_NOT_FOUND: nothing written since Windows started
    DWORD numbers[kStatusNumberCount];  // by StatusNumber
    char failedAt[kFailedAtCapacity];
    char adapter[kDevicePathSlot];
    char timeUtc[kStatusTimeCapacity];
    char timeLocal[kStatusTimeCapacity];  // empty when TimeUtc is not a time
};

// Reads the Status key of the named service. Every key opened is closed.
void GatherLastRequest(const char* serviceName, LastRequestFacts* f);
