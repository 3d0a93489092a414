// The process entry: tells the service role from the command-line role.
#pragma once

#include <windows.h>

#include "service/options.h"

// Stands in for the application framework the exe once carried: one
// process-wide record, filled by its initialisation and used by nothing
// else. Constant-initialised, so it exists before the process entry runs.
struct AppFramework {
    const char* appName;      // none
    HINSTANCE instance;       // the exe's module
    const char* commandLine;  // the process's command line
    int showCommand;
};
extern AppFramework AppObject;

// Records the module and the command line. Returns non-zero on success,
// 0 when either is missing.
int AppFrameworkInit(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine,
                     int showCommand);

// The exit code for argv (argc entries, argv[0] the program).
int ProcessEntry(int argc, char** argv);
