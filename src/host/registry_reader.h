// Reads one value below HKEY_LOCAL_MACHINE in the view the host calls for.
#pragma once

#include <windows.h>

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE process, PBOOL wow64);

// kernel32's IsWow64Process, or null where it is not exported. Looked up
// once during static initialisation, before the process entry runs.
extern IsWow64ProcessFn IsWow64ProcessEntry;

// The lookup itself; tests repeat it after putting a simulation in the seam.
void LookUpIsWow64Process();

// True when IsWow64Process says this process runs under WOW64; false when
// the entry is missing or the call fails (the plain view).
bool ProcessIsWow64();

// The access mask for the open: KEY_READ, with the 32-bit view added for a
// WOW64 process on hosts of code 8 and above.
REGSAM RegistryAccessMask(int hostCode, bool wow64);

// Results of ReadRegistryValue.
const int kRegistryValueRead = 1;
const int kRegistryKeyUnopened = -4;  // nothing opened; type, data and size untouched
const int kRegistryValueUnread = -5;  // absent, or larger than *size

// Reads one value of a key below HKEY_LOCAL_MACHINE. type, data and size go
// to RegQueryValueExA unchanged.
int ReadRegistryValue(const char* subKey, const char* valueName, DWORD* type, BYTE* data,
                      DWORD* size);
