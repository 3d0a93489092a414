// The service's last exchange with the Wi-Fi driver, as its Status key
// holds it, and what the check makes of it.
#pragma once

#include <windows.h>

#include "devices/device_record.h"
#include "radio/driver_status.h"

struct CheckFacts;

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

// The state a send would carry now: 1 when a Bluetooth device stands started.
int WouldSendState(const CheckFacts& f);

// The status says a refused state waits for the next device event, and
// Bluetooth is still in that state: the driver does not hold what the
// service sees.
int RefusalWaiting(const CheckFacts& f);

// The last request went to another adapter than the started one the
// patterns find now.
int RequestElsewhere(const CheckFacts& f);

// The service is not running: the status is from its last run.
int StatusFromLastRun(const CheckFacts& f);

// A Windows error's symbolic name ("ERROR_GEN_FAILURE"), or null.
const char* WindowsErrorName(DWORD error);
