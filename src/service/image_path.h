// A service's image path: formed from the exe's path by /install, and read
// back into it by the check tool.
#pragma once

#include <windows.h>

#include "config/settings.h"

// The exe's path as registered: two more for the quotes.
const DWORD kImagePathCapacity = kExePathCapacity + 2;

// The image path to register: the exe path, quoted when it contains a
// space. Returns 1, or 0 when it does not fit `capacity` (out is then "").
int FormImagePath(const char* exePath, char* out, DWORD capacity);

// The exe an image path starts: the text inside its quotes, or all of it.
// Returns 1, or 0 (out empty) when it does not fit `capacity`.
int ImagePathExe(const char* imagePath, char* out, DWORD capacity);
