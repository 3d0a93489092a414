#include "devices/device_lookup.h"

#include <cstddef>
#include <cstring>

#include "devices/adapter_names.h"
#include "devices/device_text.h"
#include "platform/win32_api.h"

namespace {

const DWORD kClassGuidCapacity = 3;     // only the first GUID is used

// The layout callers and the platform rely on.
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "device-information element is 28 bytes");
static_assert(offsetof(DeviceRecord, Payload) == 4, "payload follows the 32-bit header");
static_assert(sizeof(DevicePayload) == 1288, "payload slots are packed in order");

// Clears the buffer and reads one property of the device into it. On
// failure the buffer is cleared again: whatever a failed read left there
// is not the property, and an absent or oversized one reads as empty.
BOOL ReadProperty(HDEVINFO list, SP_DEVINFO_DATA* element, DWORD property, char* buffer,
                  DWORD* reportedSize) {
    std::memset(buffer, 0, kPropertyBufferSize);
    DWORD type = 0;  // not consulted
    DWORD reported = 0;
    BOOL ok = Win().SetupDiGetDeviceRegistryPropertyA(list, element, property, &type,
                                                      reinterpret_cast<BYTE*>(buffer),
                                                      kPropertyBufferSize, &reported);
    if (!ok) std::memset(buffer, 0, kPropertyBufferSize);
    if (reportedSize != nullptr) *reportedSize = reported;
    return ok;
}

// Reads the device's first hardware ID into buffer, upper-cased, and gives
// its length, or -1 when it is not valid text. A hardware ID that cannot be
// read is examined as the empty text.
int ReadFirstHardwareId(HDEVINFO list, SP_DEVINFO_DATA* element, char* buffer) {
    ReadProperty(list, element, SPDRP_HARDWAREID, buffer, nullptr);
    // Stops at the first NUL: only the first string of the list counts.
    return UpperCaseFirstString(buffer, kPropertyBufferSize, Win().IsDBCSLeadByte,
                                Win().CharUpperBuffA, Win().MultiByteToWideChar);
}

// Fills a cleared payload from the device that stands; slots it cannot
// give stay empty.
void FillPayload(HDEVINFO list, SP_DEVINFO_DATA* element, const char* pattern, DWORD fill,
                 DevicePayload* work, char* buffer) {
    const LeadByteTest isLead = Win().IsDBCSLeadByte;

    std::memcpy(work->HardwarePattern, pattern, std::strlen(pattern) + 1);

    // Names are cut to their slots: they only describe the device.
    ReadProperty(list, element, SPDRP_FRIENDLYNAME, buffer, nullptr);
    CopyTextCut(work->FriendlyName, kFriendlyNameSlot, buffer, kPropertyBufferSize, isLead);
    if (buffer[0] == '\0') ReadProperty(list, element, SPDRP_DEVICEDESC, buffer, nullptr);
    CopyTextCut(work->DisplayName, kDisplayNameSlot, buffer, kPropertyBufferSize, isLead);

    DWORD size = 0;
    BOOL read = ReadProperty(list, element, SPDRP_DRIVER, buffer, &size);
    DriverSuffixFromKey(work->DriverSuffix, buffer, read, size, kPropertyBufferSize);

    ReadProperty(list, element, SPDRP_LOCATION_INFORMATION, buffer, nullptr);
    CopyTextCut(work->Location, kLocationSlot, buffer, kPropertyBufferSize, isLead);
    ReadProperty(list, element, SPDRP_MFG, buffer, nullptr);
    CopyTextCut(work->Manufacturer, kManufacturerSlot, buffer, kPropertyBufferSize, isLead);

    if (fill & kLookupAdapterNames)
        ResolveAdapterNames(work->DevicePath, work->DeviceObjectName, work->InstanceId,
                            work->DriverSuffix);
}

}  // namespace

int DeviceLookup(DeviceRecord* record, const char* pattern, const char* className,
                 SP_DEVINFO_DATA* info, DWORD fill, DeviceVisitor visit, void* context) {
    record->Header = 0;

    // A pattern the record cannot hold names no device: cut, it would
    // describe a match it did not make.
    if (BoundedTextLength(pattern, kHardwarePatternSlot) >= kHardwarePatternSlot)
        return kDeviceNotFound;

    GUID classGuids[kClassGuidCapacity];
    DWORD guidCount = 0;
    if (!Win().SetupDiClassGuidsFromNameA(className, classGuids, kClassGuidCapacity,
                                          &guidCount)) {
        return kClassUnresolved;
    }
    if (guidCount == 0) return kDeviceNotFound;

    HDEVINFO list = Win().SetupDiGetClassDevsA(&classGuids[0], nullptr, nullptr, DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE) return kNoDeviceList;

    char buffer[kPropertyBufferSize];
    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof element;
    SP_DEVINFO_DATA standing;
    std::memset(&standing, 0, sizeof standing);
    int result = kDeviceNotFound;

    // Only the hardware IDs are read while enumerating: the last match
    // stands, and only it is described.
    for (DWORD index = 0; Win().SetupDiEnumDeviceInfo(list, index, &element); ++index) {
        const int length = ReadFirstHardwareId(list, &element, buffer);
        const int matched =
            length >= 0 && ContainsOnCharBoundary(buffer, length, pattern, Win().IsDBCSLeadByte);
        if (visit != nullptr) visit(context, &element, length >= 0 ? buffer : nullptr, matched);
        if (!matched) continue;
        std::memcpy(&standing, &element, sizeof element);
        result = kDeviceFound;
    }

    if (result == kDeviceFound) {
        std::memset(&record->Payload, 0, sizeof record->Payload);
        FillPayload(list, &standing, pattern, fill, &record->Payload, buffer);
        if (info != nullptr) std::memcpy(info, &standing, sizeof standing);
    }

    Win().SetupDiDestroyDeviceInfoList(list);
    return result;
}

int DeviceNodeStarted(DEVINST devInst) {
    // Wine's stand-in answers success and writes nothing: start from no bits.
    ULONG status = 0;
    ULONG problem = 0;
    if (Win().CM_Get_DevNode_Status(&status, &problem, devInst, 0) != CR_SUCCESS) status = 0;
    return (status & DN_STARTED) ? 1 : 0;
}
