#include "radio/driver_request.h"

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
    return Win().CreateFileA(adapterPath, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                             INVALID_HANDLE_VALUE);
}

int ValueInHeapBlock(int hostCode) { return hostCode == kHostXp64 ? 1 : 0; }

int SendDriverRequest(const char* adapterPath, DWORD baseCode, DWORD* value, DriverReply* reply) {
    reply->step = adapterPath[0] == '\0' ? kDriverNoPath : kDriverOpenFailed;
    reply->error = 0;
    HANDLE device = OpenAdapter(adapterPath);
    if (device == INVALID_HANDLE_VALUE) {
        if (reply->step == kDriverOpenFailed) reply->error = Win().GetLastError();
        return 0;
    }

    const int hostCode = HostCode();
    DWORD request = RequestCode(baseCode, hostCode);

    int result = 0;
    DWORD returned = 0;
    HANDLE heap = nullptr;
    DWORD* block = nullptr;
    DWORD* out = value;
    reply->step = kDriverControlFailed;
    if (ValueInHeapBlock(hostCode)) {
        // This host gets its value in a heap block; without one the request
        // is not sent at all rather than sent from a buffer it must not use.
        heap = Win().GetProcessHeap();
        block = static_cast<DWORD*>(Win().HeapAlloc(heap, 0, sizeof(DWORD)));
        if (block == nullptr) {
            reply->error = ERROR_NOT_ENOUGH_MEMORY;
            goto done;
        }
        *block = *value;
        out = block;
    }

    if (Win().DeviceIoControl(device, kNdisQueryGlobalStats, &request, sizeof request, out,
                              sizeof(DWORD), &returned, nullptr)) {
        result = 1;
        reply->step = kDriverAccepted;
    } else {
        reply->error = Win().GetLastError();
    }

done:
    if (block != nullptr) Win().HeapFree(heap, 0, block);
    Win().CloseHandle(device);
    return result;
}
