// Reads one value below HKEY_LOCAL_MACHINE in the view the host calls for.
#pragma once

#include <windows.h>

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE process, PBOOL wow64);

// kernel32's IsWow64Process, or null where it is not exported. Looked up
// once during static initialisation, before the process entry runs.
extern IsWow64ProcessFn IsWow64ProcessEntry;

// The lookup itself; tests repeat it after putting a simulation in the seam.
void LookUpIsWow64Process();

// The access mask for the open: KEY_READ, with the 32-bit view added for a
// WOW64 process on hosts of code 8 and above.
REGSAM RegistryAccessMask(int hostCode, bool wow64);

// 1 the value was read; -4 the key cannot be opened; -5 the value cannot
// be read (absent, or larger than *size). type, data and size go to
// RegQueryValueExA unchanged.
int ReadRegistryValue(const char* subKey, const char* valueName, DWORD* type, BYTE* data,
                      DWORD* size);
