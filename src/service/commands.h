// The four commands by which the exe manages its own registration with the
// service control manager. Each prints one line on success, nothing on
// failure, and returns 1 or a negative code.
#pragma once

#include <windows.h>

// Asked for the manager, the service and the description key alike.
const DWORD kCommandAccess = 0xF003F;

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const DWORD kServiceKeyCapacity = 256;

// The exe's path as read, and as registered (two more for the quotes).
// Far beyond MAX_PATH, so a truncated read is told apart from a full one.
const DWORD kExePathCapacity = 1024;
const DWORD kImagePathCapacity = kExePathCapacity + 2;

// Longest line: "Service " + a 63-character name + " Uninstalled.\n".
const DWORD kOutputLineCapacity = 128;

// The image path to register: the exe path, quoted when it contains a
// space. Returns 1, or 0 when it does not fit `capacity` (out is then "").
int FormImagePath(const char* exePath, char* out, DWORD capacity);

int CommandInstall();    // 1, -1, -2
int CommandUninstall();  // 1, -1, -3, -4
int CommandStart();      // 1, -1, -3, -5
int CommandStop();       // 1, -1, -3, -6
