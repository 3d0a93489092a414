// Resolves a network adapter's names from its driver key's instance number.
#pragma once

#include <windows.h>

// "\\.\" and the adapter's name into path (kDevicePathSlot bytes). Returns 1,
// or 0 with path unchanged.
int BuildAdapterPath(char* path, const char* suffix);

// The adapter's instance identifier into instanceId (kInstanceIdSlot bytes)
// and "\Device\" with it into objectName (kDeviceObjectNameSlot bytes).
// Returns 1, or 0 with both unchanged.
int BuildAdapterDeviceName(char* objectName, char* instanceId, const char* suffix);
