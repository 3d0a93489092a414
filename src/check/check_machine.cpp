#include "check/check_machine.h"

#include "platform/win32_api.h"

namespace {

struct MachineOf {
    WORD architecture;  // SYSTEM_INFO's PROCESSOR_ARCHITECTURE_
    WORD machine;       // IMAGE_FILE_MACHINE_
    const char* name;
};
const MachineOf kMachines[] = {
    {PROCESSOR_ARCHITECTURE_INTEL, IMAGE_FILE_MACHINE_I386, "x86"},
    {PROCESSOR_ARCHITECTURE_AMD64, IMAGE_FILE_MACHINE_AMD64, "AMD64"},
    {PROCESSOR_ARCHITECTURE_ARM64, IMAGE_FILE_MACHINE_ARM64, "ARM64"},
    {PROCESSOR_ARCHITECTURE_ARM, IMAGE_FILE_MACHINE_ARMNT, "ARM"},
    {PROCESSOR_ARCHITECTURE_IA64, IMAGE_FILE_MACHINE_IA64, "IA64"},
};

}  // namespace

void ReadNativeMachine(MachineFacts* f) {
    HMODULE kernel32 = Win().GetModuleHandleA("kernel32.dll");
    IsWow64Process2Fn entry =
        kernel32 ? reinterpret_cast<IsWow64Process2Fn>(reinterpret_cast<void*>(
                       Win().GetProcAddress(kernel32, "IsWow64Process2")))
                 : nullptr;
    USHORT process = 0;
    USHORT native = 0;
    f->source = kMachineFromIsWow64Process2;
    if (entry != nullptr && entry(Win().GetCurrentProcess(), &process, &native)) {
        f->native = native;
        return;
    }
    // An emulated process may be told the processor it is emulated on.
    SYSTEM_INFO info = {};
    Win().GetNativeSystemInfo(&info);
    f->source = kMachineFromNativeSystemInfo;
    f->native = 0;
    for (const MachineOf& m : kMachines)
        if (m.architecture == info.wProcessorArchitecture) f->native = m.machine;
}

const char* MachineName(WORD machine) {
    for (const MachineOf& m : kMachines)
        if (m.machine == machine) return m.name;
    return "unknown";
}
