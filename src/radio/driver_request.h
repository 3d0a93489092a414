// The one channel by which the service acts on the world: a 4-byte value
// carried to the Wi-Fi adapter's driver.
#pragma once

#include <windows.h>

// IOCTL_NDIS_QUERY_GLOBAL_STATS: device type 0x17, function 0, direct out.
const DWORD kNdisQueryGlobalStats = 0x170002;

const DWORD kBaseCodeBefore10 = 0x0D710220;
const DWORD kBaseCodeFrom10 = 0xFF710220;

// The base request code for the host's family: before code 10 or from it.
DWORD BaseCodeFor(int hostCode);

// Base request code with the set flag the host's Windows version calls for.
DWORD RequestCode(DWORD baseCode, int hostCode);

// Opens the adapter's device as every request does: no access asked, read
// sharing, an existing device only. INVALID_HANDLE_VALUE when the path is
// empty or does not open; otherwise the caller closes the handle.
HANDLE OpenAdapter(const char* adapterPath);

// 1 where the value must travel in a heap block of its own (code 8 hosts).
int ValueInHeapBlock(int hostCode);

// Where a request ended: accepted, or the step that failed.
enum DriverStep { kDriverAccepted, kDriverNoPath, kDriverOpenFailed, kDriverControlFailed };

struct DriverReply {
    int step;     // a DriverStep
    DWORD error;  // Windows' error at the failed open or control; 0 otherwise
};

// Opens adapterPath, sends the request with *value as the output buffer and
// closes it again. Returns 1 only when the device control succeeded; reply
// tells where it ended.
int SendDriverRequest(const char* adapterPath, DWORD baseCode, DWORD* value, DriverReply* reply);
