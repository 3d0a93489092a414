#include "service/entry.h"

#include "config/settings.h"
#include "platform/win32_api.h"
#include "service/commands.h"
#include "service/options.h"
#include "service/service_runtime.h"

AppFramework AppObject = {nullptr, nullptr, nullptr, 0};

namespace {

const int kFrameworkFailed = -99;
const int kDispatcherFailed = -7;

}  // namespace

int AppFrameworkInit(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
    if (instance == nullptr || commandLine == nullptr) return 0;
    AppObject.instance = instance;
    AppObject.commandLine = commandLine;
    AppObject.showCommand = showCommand;
    return 1;
}

int ProcessEntry(int argc, char** argv) {
    if (!AppFrameworkInit(Win().GetModuleHandleA(nullptr), nullptr, Win().GetCommandLineA(), 0)) {
        Win().WriteStdout("Fatal Error: MFC initialization failed\n");
        return kFrameworkFailed;
    }

    // Left empty when the model is refused; the commands then address no
    // service. The service role goes on: for a service of its own process
    // the manager does not match the table's name.
    DeriveServiceName();

    SERVICE_TABLE_ENTRYA table[2] = {
        {ServiceName, ServiceMain},
        {nullptr, nullptr},
    };

    if (argc < 2) {
        // Before the dispatcher starts the service-entry thread.
        InitServiceRuntime();
        return Win().StartServiceCtrlDispatcherA(table) ? 1 : kDispatcherFailed;
    }

    // Every option is compared; at most one matches.
    const char* option = argv[1];
    int result = 1;
    if (SameOption(option, "/install")) {
        result = CommandInstall();
        if (result == kCommandDone) result = CommandStart();
    }
    if (SameOption(option, "/uninstall")) {
        CommandStop();  // requested only; a service that is not running is fine
        result = CommandUninstall();
    }
    if (SameOption(option, "/start")) result = CommandStart();
    if (SameOption(option, "/stop")) result = CommandStop();
    return result;
}
