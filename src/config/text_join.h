// The one way strings are joined: whole or not at all.
#pragma once

#include <windows.h>

// Writes a, b and c one after another into dest (`capacity` bytes, the
// terminator included). Returns 1, or 0 when the joined text does not fit:
// dest is then the empty string, because a cut name, key or path could
// name something else. No part may lie inside dest.
int JoinText(char* dest, DWORD capacity, const char* a, const char* b = "", const char* c = "");

// Room for FormatDecimal's text, terminator included.
const DWORD kDecimalTextCapacity = 11;
// value in decimal into text (kDecimalTextCapacity bytes).
void FormatDecimal(DWORD value, char* text);
