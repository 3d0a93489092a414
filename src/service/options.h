// Command-line options, compared as Windows tools compare them. Shared by
// both executables.
#pragma once

// 1 for ASCII letters of either case and otherwise equal text, whole.
int SameOption(const char* option, const char* known);
