// The settings file beside the exe, and the service name formed from it.
#pragma once

#include <windows.h>

// Capacities of the callers' buffers, terminator included.
const DWORD kModelCapacity = 64;
const DWORD kDisplayNameCapacity = 128;
const DWORD kDescriptionCapacity = 512;
const DWORD kPatternCapacity = 64;
const DWORD kServiceNameCapacity = 64;

// The longest exe path the settings path is formed from.
const DWORD kSettingsExePathCapacity = 256;

// The exe's path with its file extension replaced by "ini" (an extension is
// added when the file name has none). Returns 1, or 0 when the result does
// not fit `capacity`.
int SettingsPathFromExePath(const char* exePath, char* out, DWORD capacity);

// Reads one key of the settings file afresh into dest (`capacity` bytes),
// or the default when the file, section or key is missing. A value that
// does not fit is refused, never cut: dest then holds the empty string and
// the result is 0. Otherwise the result is 1.
int ReadSetting(const char* section, const char* key, const char* def, char* dest,
                DWORD capacity);

// The service's registered name: "Tolvane_" and the model. Formed once per
// process by DeriveServiceName before any other thread exists.
extern char ServiceName[kServiceNameCapacity];

// Returns 1, or 0 when the model is refused or too long for the name; the
// name is then empty, so nothing is ever registered under a cut name.
int DeriveServiceName();
