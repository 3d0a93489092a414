// The service's last exchange with the Wi-Fi driver, as its Status key
// holds it; the verdict judges it.
#pragma once

#include <windows.h>

#include "devices/device_record.h"
#include "radio/driver_status.h"

struct LastRequestFacts {
    int read;     // the key holds a whole status
    DWORD error;  // why not; ERROR_FILE_NOT_FOUND with no incompleteAt: there is no key
    // The first value the key lacks or holds as another type or size (error
    // says which); null when the key is whole or was not read.
    const char* incompleteAt;
    DWORD numbers[kStatusNumberCount];  // by StatusNumber
    char failedAt[kFailedAtCapacity];
    char adapter[kDevicePathSlot];
    char timeUtc[kStatusTimeCapacity];
    char timeLocal[kStatusTimeCapacity];  // empty when TimeUtc is not a time
};

// Reads the Status key of the named service. Every key opened is closed.
void GatherLastRequest(const char* serviceName, LastRequestFacts* f);
