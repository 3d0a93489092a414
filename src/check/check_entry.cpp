#include "check/check_entry.h"

#include "check/check_decide.h"
#include "platform/win32_api.h"
#include "service/options.h"

const char kCheckUsage[] =
    "Usage: tolvane-check [/json]\n"
    "\n"
    "Shows what the Tolvane service sees on this machine: the host, the settings\n"
    "in tolvane.ini beside this program, the registered service, the Bluetooth and\n"
    "Net devices with the ones the patterns match, and whether the service would\n"
    "tell the Wi-Fi driver. Nothing is changed and no request is sent.\n"
    "\n"
    "  /json   the same facts as one JSON object, whatever else is given\n"
    "  /?      this text\n"
    "\n"
    "Exit codes:\n";

namespace {

// Static: the facts are too large for a comfortable stack frame.
CheckFacts g_facts;
CheckVerdict g_verdict;

// The usage on standard output when asked for; after an unknown option,
// on standard error with that option named first.
int Usage(int code, const char* unknown) {
    Out out;
    OutStart(&out, unknown ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (unknown) {
        OutText(&out, "tolvane-check: unknown option ");
        OutText(&out, unknown);
        OutText(&out, "\n\n");
    }
    OutText(&out, kCheckUsage);
    for (int i = 0; i < kCheckExitCodeCount; ++i) {
        OutText(&out, "  ");
        OutDecimal(&out, static_cast<DWORD>(i));
        OutPadTo(&out, 5);
        OutWrapped(&out, ExitCodeText(i), 5);  // within the console's 79 columns
        OutChar(&out, '\n');
    }
    OutFlush(&out);
    return code;
}

}  // namespace

int CheckEntry(int argc, char** argv) {
    // A script that asks for /json parses what it gets: it always gets one
    // object, so /json is looked for first, and /? gives way to it.
    bool json = false;
    bool usage = false;
    const char* unknown = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (SameOption(argv[i], "/json")) json = true;
        else if (SameOption(argv[i], "/?")) usage = true;
        else if (unknown == nullptr) unknown = argv[i];
    }
    if (!json && unknown != nullptr) return Usage(kCheckUnknownOption, unknown);
    if (!json && usage) return Usage(kCheckUsageAsked, nullptr);

    Out out;
    OutStart(&out);
    if (unknown != nullptr) {
        FileVersionFacts check;
        ReadFileVersion(nullptr, &check);
        RenderJsonRefusal(check, unknown, &out);
        OutFlush(&out);
        return kCheckUnknownOption;
    }

    // The service's settings, beside this program: the ones it reads.
    ReadSettingsOf(kServiceExeName);
    GatherFacts(&g_facts);
    DecideVerdict(g_facts, Win().IsDBCSLeadByte, &g_verdict);

    if (json) RenderJson(g_facts, g_verdict, &out);
    else RenderText(g_facts, g_verdict, &out);
    OutFlush(&out);
    return g_verdict.exitCode;
}
