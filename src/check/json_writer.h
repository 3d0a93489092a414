// A small JSON writer for the check tool's /json report.
//
// Text comes in the ANSI code page. Everything written is ASCII: '"' and
// '\' are escaped with a backslash, control characters as \b \f \n \r \t
// or \u00XX, and the rest of each string, converted to UTF-16 whole by the
// code page's own conversion, as \uXXXX per unit. A string the code page
// refuses whole goes a character at a time, and a byte that starts no
// character becomes \uFFFD. So the output is valid UTF-8 JSON whatever the
// code page, UTF-8 included, and a parser gets the characters the code page
// means.
#pragma once

#include <windows.h>

#include "check/text_out.h"
#include "devices/device_text.h"

// Nesting the writer keeps track of; the report needs four levels.
const int kJsonDepthCapacity = 8;

struct JsonWriter {
    Out* out;
    WideConverter toWide;
    int depth;
    int items[kJsonDepthCapacity];  // members written so far at each level
};

// Room for a string converted whole, in UTF-16 units: the longest the
// report writes (a warning with its path) fits.
const int kJsonWideCapacity = 2048;
// The most bytes one character of an ANSI code page takes (UTF-8's).
const int kLongestCharacter = 4;

void JsonStart(JsonWriter* w, Out* out, WideConverter toWide);

// key is the member's name inside an object, null inside an array (and for
// the outermost value).
void JsonBeginObject(JsonWriter* w, const char* key);
void JsonEndObject(JsonWriter* w);
void JsonBeginArray(JsonWriter* w, const char* key);
void JsonEndArray(JsonWriter* w);
void JsonString(JsonWriter* w, const char* key, const char* text);  // null text writes null
void JsonNumber(JsonWriter* w, const char* key, DWORD value);  // unsigned, as Windows gives it
void JsonBool(JsonWriter* w, const char* key, bool value);
void JsonNull(JsonWriter* w, const char* key);

// text as a JSON string, quotes included.
void JsonEscaped(Out* out, const char* text, WideConverter toWide);
