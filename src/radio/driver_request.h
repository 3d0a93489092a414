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
// sharing, an existing device only, for overlapped requests. INVALID_HANDLE_VALUE when the path is
// empty or does not open; otherwise the caller closes the handle.
HANDLE OpenAdapter(const char* adapterPath);

// 1 where the value must travel in a heap block of its own (code 8 hosts).
int ValueInHeapBlock(int hostCode);

// Where a request ended: accepted, or the step that failed.
enum DriverStep {
    kDriverAccepted,
    kDriverNoPath,
    kDriverOpenFailed,
    kDriverControlFailed,
    kDriverTimedOut  // not completed within the bound; cancelled, or still held
};

// How long the driver may hold a request, and how long a cancelled one is
// then waited for. A rule sends at most twice, and a driver that held one
// is not asked again in it, so a control handler stays well inside the 30 s
// it has and the 20 s a shutdown allows by default.
const DWORD kRequestBoundMs = 5000;
const DWORD kCancelBoundMs = 1000;

struct DriverReply {
    int step;     // a DriverStep
    DWORD error;  // Windows' error at the failed open or control; 0 otherwise
};

// Opens adapterPath, sends the request with *value as the output buffer and
// closes it again. Returns 1 only when the device control succeeded; reply
// tells where it ended. A request the driver holds past kRequestBoundMs is
// cancelled and ends timed out (ERROR_TIMEOUT). One that even the cancel
// does not end within kCancelBoundMs is left with the driver, its buffers
// and handles kept for it; until it completes, each request ends timed out
// (ERROR_IO_PENDING) without being sent.
int SendDriverRequest(const char* adapterPath, DWORD baseCode, DWORD* value, DriverReply* reply);

// Closes the event the requests share, made by the first and kept for the
// next; kept while a request is left with the driver. A request after this
// makes it again.
void EndDriverRequests();
