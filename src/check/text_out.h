// Buffered standard output for the check tool: text, numbers and columns,
// written through the seam's WriteStdout, without the printf family.
#pragma once

#include <windows.h>

// Bytes held before they are written out, terminator included.
const DWORD kOutCapacity = 1024;
// The last column a line may fill: an 80-column console wraps a line that
// fills all 80 and then shows an empty one.
const DWORD kOutWidth = 79;

struct Out {
    char text[kOutCapacity];
    DWORD length;  // bytes held
    DWORD column;  // bytes since the last line break
};

void OutStart(Out* out);
void OutFlush(Out* out);

void OutBytes(Out* out, const char* text, DWORD count);
void OutText(Out* out, const char* text);
void OutChar(Out* out, char c);
void OutDecimal(Out* out, DWORD value);
// Room for FormatHex's text, terminator included.
const DWORD kHexTextCapacity = 11;
// "0x" and eight upper-case hex digits into text (kHexTextCapacity bytes).
void FormatHex(DWORD value, char* text);
void OutHex(Out* out, DWORD value);
// Spaces up to `column`; at least one when the line is already there.
void OutPadTo(Out* out, DWORD column);
// text from the current column on, broken where a line would pass
// kOutWidth and continued at `indent`: between words, or after a "\" or
// "&" of a path or hardware ID; a piece longer than a line is broken
// between characters, never inside a double-byte one.
void OutWrapped(Out* out, const char* text, DWORD indent, BOOL(WINAPI* isLead)(BYTE));
