// Buffered standard output or error for the check tool: text, numbers and
// columns, without the printf family. Text is in the ANSI code page; a
// console is written as UTF-16 converted from it (a console shows the OEM
// code page, in which ANSI bytes beyond ASCII come out as other
// characters), anything else gets the bytes as they are.
#pragma once

#include <windows.h>

#include "config/text_join.h"

// Bytes held before they are written out, terminator included.
const DWORD kOutCapacity = 1024;
// The last column a line may fill: an 80-column console wraps a line that
// fills all 80 and then shows an empty one.
const DWORD kOutWidth = 79;

struct Out {
    char text[kOutCapacity];
    DWORD length;  // bytes held
    DWORD column;  // bytes since the last line break
    DWORD stream;  // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE
    HANDLE console;  // the stream's console, or null when it is not one
    int inChar;    // the last byte held is a lead byte: its trail follows
};

void OutStart(Out* out, DWORD stream = STD_OUTPUT_HANDLE);
// Writes out what is held. A full buffer is written a line at a time, or
// whole when it holds no line break, never splitting a double-byte character.
void OutFlush(Out* out);

void OutBytes(Out* out, const char* text, DWORD count);
void OutText(Out* out, const char* text);
void OutChar(Out* out, char c);
void OutDecimal(Out* out, DWORD value);
// Room for FormatHex's text, terminator included.
const DWORD kHexTextCapacity = 11;
// "0x" and eight upper-case hex digits into text (kHexTextCapacity bytes).
void FormatHex(DWORD value, char* text);
// Spaces up to `column`; at least one when the line is already there.
void OutPadTo(Out* out, DWORD column);
// Where an identifier goes when it does not fit beside its label.
const DWORD kIdentifierIndent = 4;
// text from the current column on, broken between words where a line
// would pass kOutWidth and continued at `indent`. A space is never a trail
// byte, so no double-byte character is split; a word longer than the room
// from `indent` goes whole on a line of its own, as OutIdentifier places it.
void OutWrapped(Out* out, const char* text, DWORD indent);
// An identifier a user copies (path, hardware ID, pattern, name), never
// broken: on the current line when it fits, else whole on a line of its
// own from `indent`, or from column 0 when it does not fit from there. One
// longer than kOutWidth is the only text that passes it, alone on its line.
void OutIdentifier(Out* out, const char* text, DWORD indent);
