#include "devices/adapter_names.h"

#include <cstring>

#include "config/text_join.h"
#include "devices/device_record.h"
#include "devices/device_text.h"
#include "host/host_classify.h"
#include "host/registry_reader.h"

namespace {

// The network adapter setup class, where hosts of code 6 and above keep
// each adapter's instance identifier.
const char kNetClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}";
const char kInstanceIdValue[] = "NetCfgInstanceId";
// Older hosts name the adapter's driver instead.
const char kLegacyNetClassKey[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net";
const char kDeviceVxDsValue[] = "DeviceVxDs";

const char kDevicePathPrefix[] = "\\\\.\\";
const char kDeviceObjectPrefix[] = "\\Device\\";

// The name is read into this; any name longer than a slot is refused anyway.
const DWORD kNameDataCapacity = 256;

// Every instance identifier the slot accepts also fits the object name.
static_assert(sizeof kDeviceObjectPrefix - 1 + kInstanceIdSlot <= kDeviceObjectNameSlot,
              "device-object name slot too small for its identifier");

// prefix and length bytes of text into slot, whole or not at all: a cut
// name could open another device.
int FormName(char* slot, DWORD capacity, const char* prefix, const BYTE* text, DWORD length) {
    const DWORD prefixLength = static_cast<DWORD>(std::strlen(prefix));
    if (prefixLength + length + 1 > capacity) return 0;
    std::memcpy(slot, prefix, prefixLength);
    std::memcpy(slot + prefixLength, text, length);
    slot[prefixLength + length] = '\0';
    return 1;
}

}  // namespace

int AdapterNameKey(const char* suffix, char* key, const char** valueName) {
    // An unclassified host reads as the older layout.
    const bool classLayout = HostCode() >= kHostWin2000;
    *valueName = classLayout ? kInstanceIdValue : kDeviceVxDsValue;
    return JoinText(key, kAdapterKeyCapacity, classLayout ? kNetClassKey : kLegacyNetClassKey,
                    "\\", suffix);
}

int ResolveAdapterNames(char* path, char* objectName, char* instanceId, const char* suffix) {
    // A key that does not fit is not read: cut, it could be another adapter's.
    char key[kAdapterKeyCapacity];
    const char* valueName = nullptr;
    if (!AdapterNameKey(suffix, key, &valueName)) return 0;

    BYTE data[kNameDataCapacity];
    DWORD type = 0;
    DWORD size = sizeof data;
    if (ReadRegistryValue(key, valueName, &type, data, &size) != kRegistryValueRead) return 0;
    // The text need not end in a NUL: it then stops at the data's end.
    const DWORD length = BoundedTextLength(reinterpret_cast<const char*>(data),
                                           size < sizeof data ? size : sizeof data);

    // Only the class layout keeps an instance identifier.
    if (valueName == kInstanceIdValue && FormName(instanceId, kInstanceIdSlot, "", data, length))
        FormName(objectName, kDeviceObjectNameSlot, kDeviceObjectPrefix, data, length);
    return FormName(path, kDevicePathSlot, kDevicePathPrefix, data, length);
}
