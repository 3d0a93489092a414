#include "radio/driver_request.h"

#include <cstring>

#include "host/host_classify.h"
#include "platform/win32_api.h"

DWORD BaseCodeFor(int hostCode) {
    return hostCode < kHostVista ? kBaseCodeBefore10 : kBaseCodeFrom10;
}

DWORD RequestCode(DWORD baseCode, int hostCode) {
    return baseCode | (hostCode < kHostVista ? 0x00800000u : 0xFF800000u);
}

HANDLE OpenAdapter(const char* adapterPath) {
    if (adapterPath[0] == '\0') return INVALID_HANDLE_VALUE;
    return Win().CreateFileA(adapterPath, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, INVALID_HANDLE_VALUE);
}

int ValueInHeapBlock(int hostCode) { return hostCode == kHostXp64 ? 1 : 0; }

namespace {

// What the driver may write into until it completes the request: kept here,
// not on a stack, so that a request left with the driver has it still.
struct Exchange {
    OVERLAPPED overlapped;
    DWORD request;
    DWORD value;
    DWORD* block;  // code 8 hosts' heap block; null otherwise
    HANDLE device;
};
Exchange g_exchange;
int g_leftWithDriver = 0;
// Every request is waited on through this one event: made at the first and
// kept, as each request sets it nonsignalled when it starts. Requests never
// overlap: one left with the driver stops the next from being sent.
HANDLE g_event = nullptr;

void Release(Exchange* x) {
    if (x->block != nullptr) Win().HeapFree(Win().GetProcessHeap(), 0, x->block);
    Win().CloseHandle(x->device);
    std::memset(x, 0, sizeof *x);
}

// Waits for the request the driver holds; cancels it past the bound (the
// issuing thread cancels, so CancelIo serves on every Windows). Returns 0
// when even the cancel went unanswered.
int AwaitCompletion(Exchange* x, int* timedOut) {
    if (Win().WaitForSingleObject(g_event, kRequestBoundMs) == WAIT_OBJECT_0) return 1;
    *timedOut = 1;
    Win().CancelIo(x->device);
    return Win().WaitForSingleObject(g_event, kCancelBoundMs) == WAIT_OBJECT_0;
}

}  // namespace

int SendDriverRequest(const char* adapterPath, DWORD baseCode, DWORD* value, DriverReply* reply) {
    reply->step = adapterPath[0] == '\0' ? kDriverNoPath : kDriverOpenFailed;
    reply->error = 0;
    if (reply->step == kDriverNoPath) return 0;
    // The driver still holds a request it would not give back: another
    // would only join it.
    if (g_leftWithDriver) {
        if (!HasOverlappedIoCompleted(&g_exchange.overlapped)) {
            reply->step = kDriverTimedOut;
            reply->error = ERROR_IO_PENDING;
            return 0;
        }
        Release(&g_exchange);
        g_leftWithDriver = 0;
    }
    HANDLE device = OpenAdapter(adapterPath);
    if (device == INVALID_HANDLE_VALUE) {
        reply->error = Win().GetLastError();
        return 0;
    }

    Exchange* x = &g_exchange;
    std::memset(x, 0, sizeof *x);
    x->device = device;
    const int hostCode = HostCode();
    x->request = RequestCode(baseCode, hostCode);
    x->value = *value;
    DWORD* out = &x->value;
    int result = 0;
    int timedOut = 0;
    DWORD returned = 0;
    BOOL done = FALSE;
    DWORD error = 0;
    reply->step = kDriverControlFailed;
    if (ValueInHeapBlock(hostCode)) {
        // This host gets its value in a heap block; without one the request
        // is not sent at all rather than sent from a buffer it must not use.
        x->block = static_cast<DWORD*>(Win().HeapAlloc(Win().GetProcessHeap(), 0, sizeof(DWORD)));
        if (x->block == nullptr) {
            reply->error = ERROR_NOT_ENOUGH_MEMORY;
            goto release;
        }
        *x->block = *value;
        out = x->block;
    }
    if (g_event == nullptr) g_event = Win().CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_event == nullptr) {
        reply->error = Win().GetLastError();
        goto release;
    }
    x->overlapped.hEvent = g_event;

    done = Win().DeviceIoControl(device, kNdisQueryGlobalStats, &x->request, sizeof x->request,
                                 out, sizeof(DWORD), &returned, &x->overlapped);
    error = done ? 0 : Win().GetLastError();
    if (!done && error == ERROR_IO_PENDING) {
        // Judged by the request itself, not the wait alone: its buffers go
        // only once the driver has given it back.
        if (!AwaitCompletion(x, &timedOut) || !HasOverlappedIoCompleted(&x->overlapped)) {
            g_leftWithDriver = 1;
            reply->step = kDriverTimedOut;
            reply->error = ERROR_TIMEOUT;
            return 0;
        }
        done = Win().GetOverlappedResult(device, &x->overlapped, &returned, FALSE);
        error = done ? 0 : Win().GetLastError();
    }
    // What the driver wrote back, except into a heap block.
    if (x->block == nullptr) *value = x->value;
    if (done) {
        result = 1;
        reply->step = kDriverAccepted;
    } else if (timedOut && error == ERROR_OPERATION_ABORTED) {
        reply->step = kDriverTimedOut;
        reply->error = ERROR_TIMEOUT;
    } else {
        reply->error = error;
    }

release:
    Release(x);
    return result;
}

void EndDriverRequests() {
    // A request left with the driver may still signal the event.
    if (g_leftWithDriver || g_event == nullptr) return;
    Win().CloseHandle(g_event);
    g_event = nullptr;
}
