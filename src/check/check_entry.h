// The process entry of tolvane-check.exe: options, then one report.
#pragma once

// The usage as /? prints it, up to the exit codes, which follow from
// ExitCodeText.
extern const char kCheckUsage[];

// Reads argv (argc entries, argv[0] the program), prints the report or the
// usage through the seam and returns the exit code (check_decide.h).
int CheckEntry(int argc, char** argv);
