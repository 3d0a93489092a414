// Process entry of tolvane-check.exe; everything else lives in the libraries.
#include "check/check_entry.h"

int main(int argc, char** argv) { return CheckEntry(argc, argv); }
