// Resolves a network adapter's names from its driver key's instance number.
#pragma once

#include <windows.h>

// Room for an adapter's key below HKEY_LOCAL_MACHINE, terminator included.
const DWORD kAdapterKeyCapacity = 256;

// The key (kAdapterKeyCapacity bytes) and value where the host keeps the
// name of the adapter whose driver key ends in suffix: NetCfgInstanceId
// under the network class on hosts of code 6 and above, DeviceVxDs under
// Services\Class\Net before. Returns 1, or 0 (key empty) when the key does
// not fit.
int AdapterNameKey(const char* suffix, char* key, const char** valueName);

// Reads the adapter's name once under the network class and forms from it:
// path, "\\.\" and the name (kDevicePathSlot bytes); on hosts that keep an
// instance identifier (code 6 and above) also instanceId (kInstanceIdSlot
// bytes) and objectName, "\Device\" and the identifier
// (kDeviceObjectNameSlot bytes). Older hosts name the adapter's driver,
// which gives the path only. Each output is written only when its text fits
// whole, otherwise it is left as it was. Returns 1 when the path was formed.
int ResolveAdapterNames(char* path, char* objectName, char* instanceId, const char* suffix);
