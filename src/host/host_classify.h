// Reduces the running Windows to one small integer, the host code.
#pragma once

#include <windows.h>

// Host codes that other decisions branch on.
enum : int {
    kHostUnsupported = 0,
    kHostWin2000 = 6,        // 6 and above: adapter names under Control\Class
    kHostXp64 = 8,           // 8 and above: the 32-bit registry view matters
    kHostVista = 10,         // 10 and above: the second request-code family and set flag
};

// Results of ClassifyHost.
const int kHostClassified = 1;
const int kHostTooOld = -99;

// The version fields the classification reads.
struct VersionFields {
    DWORD major;
    DWORD minor;
    DWORD build;
    DWORD platformId;
    WORD productType;
};

// The running Windows' version fields; all zero when the query fails,
// which classifies as unsupported. Returns 1 when the query succeeded.
int ReadVersionFields(VersionFields* version);

// Classification from the version fields alone: 1 to 14, or 0 below major 4.
int ClassifyVersion(const VersionFields& version, bool amd64);

// Sets *code to 0, then to the running host's code. Returns kHostClassified
// when a code from 1 to 14 was assigned, kHostTooOld when the version is too
// old or unreadable.
int ClassifyHost(int* code);

// True when the registry reports an AMD64 processor.
bool IsAmd64Host();

// This process's host code, classified at its first use and then reused:
// the version and the processor never change while the process runs.
int HostCode();

// Forgets the code, so the next use classifies afresh (tests change the
// simulated host between cases).
void ForgetHostCode();
