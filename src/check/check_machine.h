// The processor Windows runs on, as Windows names it. Both exes are x86;
// on an ARM64 machine they run under emulation, where the registry's
// PROCESSOR_ARCHITECTURE, and GetNativeSystemInfo for an emulated process,
// may name another processor than the machine's.
#pragma once

#include <windows.h>

typedef BOOL(WINAPI* IsWow64Process2Fn)(HANDLE process, USHORT* processMachine,
                                         USHORT* nativeMachine);

// Where the answer came from.
enum MachineSource { kMachineFromIsWow64Process2, kMachineFromNativeSystemInfo };

struct MachineFacts {
    WORD native;  // an IMAGE_FILE_MACHINE_ value; 0 when unknown
    int source;   // a MachineSource
};

// IsWow64Process2 where kernel32 exports it (Windows 10 version 1709 on);
// else, or when it fails, GetNativeSystemInfo's processor.
void ReadNativeMachine(MachineFacts* f);

// "x86", "AMD64", "ARM64", "ARM", "IA64" or "unknown".
const char* MachineName(WORD machine);
