#include "devices/adapter_names.h"

#include <cstdio>
#include <cstring>

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

const DWORD kKeyCapacity = 256;
const DWORD kPathDataCapacity = 256;
const DWORD kNameDataCapacity = 128;

// Every instance identifier the slot accepts also fits the object name.
static_assert(sizeof kDeviceObjectPrefix - 1 + kInstanceIdSlot <= kDeviceObjectNameSlot,
              "device-object name slot too small for its identifier");

// The class key, a backslash and the suffix. 0 when it does not fit: a cut
// key could be another adapter's.
int FormatAdapterKey(char* key, const char* classKey, const char* suffix) {
    int written = std::snprintf(key, kKeyCapacity, "%s\\%s", classKey, suffix);
    return written >= 0 && static_cast<DWORD>(written) < kKeyCapacity;
}

// Reads the adapter's value under the class key and suffix into data
// (capacity bytes) and gives the length of its text, which need not end in
// a NUL and so stops at the data's end. 0 when the key does not fit or the
// value cannot be read.
int ReadAdapterText(const char* classKey, const char* valueName, const char* suffix, BYTE* data,
                    DWORD capacity, DWORD* length) {
    char key[kKeyCapacity];
    if (!FormatAdapterKey(key, classKey, suffix)) return 0;

    DWORD type = 0;
    DWORD size = capacity;
    if (ReadRegistryValue(key, valueName, &type, data, &size) != 1) return 0;
    *length = BoundedTextLength(reinterpret_cast<const char*>(data), size < capacity ? size : capacity);
    return 1;
}

}  // namespace

int BuildAdapterPath(char* path, const char* suffix) {
    int hostCode = 0;
    ClassifyHost(&hostCode);  // a failed classification leaves 0: the older layout
    const bool classLayout = hostCode >= kHostWin2000;

    BYTE data[kPathDataCapacity];
    DWORD length = 0;
    if (!ReadAdapterText(classLayout ? kNetClassKey : kLegacyNetClassKey,
                         classLayout ? kInstanceIdValue : kDeviceVxDsValue, suffix, data,
                         sizeof data, &length)) {
        return 0;
    }
    const DWORD prefixLength = sizeof kDevicePathPrefix - 1;
    // A path too long for the slot is unresolvable: cut, it could open
    // another device.
    if (prefixLength + length + 1 > kDevicePathSlot) return 0;

    std::memcpy(path, kDevicePathPrefix, prefixLength);
    std::memcpy(path + prefixLength, data, length);
    path[prefixLength + length] = '\0';
    return 1;
}

int BuildAdapterDeviceName(char* objectName, char* instanceId, const char* suffix) {
    int hostCode = 0;
    ClassifyHost(&hostCode);
    // Older hosts keep no instance identifier: there is no key to read.
    if (hostCode < kHostWin2000) return 0;

    BYTE data[kNameDataCapacity];
    DWORD length = 0;
    if (!ReadAdapterText(kNetClassKey, kInstanceIdValue, suffix, data, sizeof data, &length))
        return 0;
    // Refused rather than cut: a cut identifier names another adapter.
    if (length + 1 > kInstanceIdSlot) return 0;

    const DWORD prefixLength = sizeof kDeviceObjectPrefix - 1;
    std::memcpy(instanceId, data, length);
    instanceId[length] = '\0';
    std::memcpy(objectName, kDeviceObjectPrefix, prefixLength);
    std::memcpy(objectName + prefixLength, data, length);
    objectName[prefixLength + length] = '\0';
    return 1;
}
