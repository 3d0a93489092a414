#include "devices/device_lookup.h"

#include <cstddef>
#include <cstring>

#include "devices/adapter_names.h"
#include "devices/device_text.h"
#include "platform/win32_api.h"

namespace {

const DWORD kClassGuidCapacity = 3;     // only the first GUID is used
const DWORD kPropertyBufferSize = 256;  // every property is read into this

// Results.
const int kFound = 1;
const int kNotFound = -9;
const int kNoDeviceList = -7;
const int kClassUnresolved = -99;

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

// Whether the device's first hardware ID, upper-cased, contains the pattern.
// A hardware ID that cannot be read is examined as the empty text.
int FirstHardwareIdContains(HDEVINFO list, SP_DEVINFO_DATA* element, const char* pattern,
                            char* buffer) {
    ReadProperty(list, element, SPDRP_HARDWAREID, buffer, nullptr);
    // The walk stops at the first NUL: only the first string of the list counts.
    int length = UpperCaseFirstString(buffer, kPropertyBufferSize, Win().IsDBCSLeadByte,
                                      Win().CharUpperBuffA);
    if (length < 0) return 0;
    return ContainsOnCharBoundary(buffer, length, pattern, Win().IsDBCSLeadByte);
}

// Fills the working payload from the matched device. Slots the name
// builders cannot fill keep what an earlier match of this call put there.
void FillMatch(HDEVINFO list, SP_DEVINFO_DATA* element, const char* pattern,
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

    BuildAdapterPath(work->DevicePath, work->DriverSuffix);
    BuildAdapterDeviceName(work->DeviceObjectName, work->InstanceId, work->DriverSuffix);
}

}  // namespace

int DeviceLookup(DeviceRecord* record, const char* pattern, const char* className,
                 SP_DEVINFO_DATA* info) {
    record->Header = 0;

    // A pattern the record cannot hold names no device: cut, it would
    // describe a match it did not make.
    if (BoundedTextLength(pattern, kHardwarePatternSlot) >= kHardwarePatternSlot) return kNotFound;

    GUID classGuids[kClassGuidCapacity];
    DWORD guidCount = 0;
    if (!Win().SetupDiClassGuidsFromNameA(className, classGuids, kClassGuidCapacity,
                                          &guidCount)) {
        return kClassUnresolved;
    }
    if (guidCount == 0) return kNotFound;

    HDEVINFO list = Win().SetupDiGetClassDevsA(&classGuids[0], nullptr, nullptr, DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE) return kNoDeviceList;

    // Cleared once: a later match keeps an earlier one's adapter names when
    // its own cannot be resolved.
    DevicePayload work;
    std::memset(&work, 0, sizeof work);
    char buffer[kPropertyBufferSize];
    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof element;

    int result = kNotFound;
    for (DWORD index = 0; Win().SetupDiEnumDeviceInfo(list, index, &element); ++index) {
        if (!FirstHardwareIdContains(list, &element, pattern, buffer)) continue;
        if (info != nullptr) std::memcpy(info, &element, sizeof element);
        FillMatch(list, &element, pattern, &work, buffer);
        // Every match is kept; the last one enumerated stands.
        std::memcpy(&record->Payload, &work, sizeof work);
        result = kFound;
    }

    Win().SetupDiDestroyDeviceInfoList(list);
    return result;
}
