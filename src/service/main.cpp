// Process entry of tolvane.exe; everything else lives in the core library.
#include "service/entry.h"

int main(int argc, char** argv) { return ProcessEntry(argc, argv); }
