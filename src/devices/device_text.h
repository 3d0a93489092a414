// Text decisions of the device lookup that need no device: the upper-casing
// walk, the pattern search, the driver suffix and the copies into slots.
//
// The ANSI code page is known only through the two functions passed in
// (the seam's IsDBCSLeadByte and CharUpperBuffA in the product), so each
// decision can be driven directly with any code page.
#pragma once

#include <windows.h>

typedef BOOL(WINAPI* LeadByteTest)(BYTE b);
typedef DWORD(WINAPI* UpperCaser)(LPSTR text, DWORD length);
typedef int(WINAPI* WideConverter)(UINT codePage, DWORD flags, LPCSTR text, int length,
                                   LPWSTR wide, int wideLength);

// Upper-cases the first NUL-ended string of text (at most capacity bytes)
// in one call, which converts a double-byte character whole, so its trail
// byte is never taken for a letter. Returns the string's length in bytes,
// or -1 when it is not valid text in the code page: it ends inside a
// double-byte character (a lead byte followed by the NUL or by the end of
// the buffer), a lead byte is followed by a byte that is no trail byte (the
// code page's own conversion, toWide, refuses it), or upper-casing fails.
int UpperCaseFirstString(char* text, DWORD capacity, LeadByteTest isLead, UpperCaser upper,
                         WideConverter toWide);

// 1 when pattern occurs byte for byte in text[0, length) beginning on a
// character boundary, else 0. The empty pattern occurs in every text.
int ContainsOnCharBoundary(const char* text, int length, const char* pattern,
                           LeadByteTest isLead);

// The last four characters of a driver key read into a buffer of bufferSize
// bytes, then a NUL. The key is the text as read, ended by its NUL; the
// size the read reported (NUL included) only bounds it, as nothing promises
// it counts ANSI bytes rather than UTF-16 ones. Empty when the read failed
// or the key is shorter than four characters. suffix holds 5 bytes or more.
void DriverSuffixFromKey(char* suffix, const char* key, BOOL readOk, DWORD reportedSize,
                         DWORD bufferSize);

// Copies the text at src (ended by a NUL or by srcCapacity) into dest
// (destCapacity bytes, always terminated), cutting it to fit at a character
// boundary so no double-byte character is split. Returns the bytes copied.
DWORD CopyTextCut(char* dest, DWORD destCapacity, const char* src, DWORD srcCapacity,
                  LeadByteTest isLead);

// Length of the text at src, ended by a NUL or by size bytes, whichever
// comes first: never reads past size.
DWORD BoundedTextLength(const char* src, DWORD size);
