// The file version of an exe, read from its version resource: this
// program's own, and the one the service is registered with. Read with
// kernel32's resource calls, the exe mapped as data: nothing of it runs, and
// no DLL is loaded from beside it (version.dll is no known DLL everywhere).
#pragma once

#include <windows.h>

const int kVersionPartCount = 4;
// "65535.65535.65535.65535" and its terminator.
const DWORD kVersionTextCapacity = 24;
// The version resource's id: VS_VERSION_INFO.
const WORD kVersionResourceId = 1;

struct FileVersionFacts {
    int read;     // parts holds the file version
    DWORD error;  // why not: the Windows error of the step that failed; 0 when read
    WORD parts[kVersionPartCount];
};

struct VersionFacts {
    FileVersionFacts check;       // this program
    FileVersionFacts serviceExe;  // the exe the service is registered with
    int serviceExeSought;         // the registration names an exe
};

// The file version in a VS_VERSIONINFO block of `size` bytes (its fixed
// part: key "VS_VERSION_INFO", signature 0xFEEF04BD) into parts. Returns 1,
// or 0 when the block is not one, or too short to hold it.
int ParseVersionResource(const BYTE* block, DWORD size, WORD* parts);

// The file version of the exe at path (a whole one: "C:\..." or "\\..."),
// or of this program when path is null.
void ReadFileVersion(const char* path, FileVersionFacts* f);

// "1.0.0.0" into text (kVersionTextCapacity bytes).
void FormatVersion(const WORD* parts, char* text);

// Both read and not the same.
bool VersionsDiffer(const VersionFacts& v);
