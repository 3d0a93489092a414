#include "check/check_entry.h"

#include "check/check_decide.h"
#include "check/check_facts.h"
#include "check/check_render.h"
#include "config/settings.h"
#include "service/options.h"

const char kCheckUsage[] =
    "Usage: tolvane-check [/json]\n"
    "\n"
    "Shows what the Tolvane service sees on this machine: the host, the settings\n"
    "in tolvane.ini beside this program, the registered service, the Bluetooth and\n"
    "Net devices with the ones the patterns match, and whether the service would\n"
    "tell the Wi-Fi driver. Nothing is changed and no request is sent.\n"
    "\n"
    "  /json   the same facts as one JSON object\n"
    "  /?      this text\n"
    "\n"
    "Exit codes:\n";

namespace {

// Static: the facts are too large for a comfortable stack frame.
CheckFacts g_facts;

int Usage(int code) {
    Out out;
    OutStart(&out);
    OutText(&out, kCheckUsage);
    for (int i = 0; i < kCheckExitCodeCount; ++i) {
        OutText(&out, "  ");
        OutDecimal(&out, static_cast<DWORD>(i));
        OutText(&out, "  ");
        OutText(&out, ExitCodeText(i));
        OutChar(&out, '\n');
    }
    OutFlush(&out);
    return code;
}

}  // namespace

int CheckEntry(int argc, char** argv) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (SameOption(argv[i], "/json")) json = true;
        else if (SameOption(argv[i], "/?")) return Usage(kCheckUsageAsked);
        else return Usage(kCheckUnknownOption);
    }

    // The service's settings, beside this program: the ones it reads.
    ReadSettingsOf(kServiceExeName);
    GatherFacts(&g_facts);
    const int code = CheckExitCode(g_facts);

    Out out;
    OutStart(&out);
    if (json) RenderJson(g_facts, code, &out);
    else RenderText(g_facts, code, &out);
    OutFlush(&out);
    return code;
}
