// A small JSON writer for the check tool's /json report.
//
// Text comes in the ANSI code page. Everything written is ASCII: '"' and
// '\' are escaped with a backslash, control characters as \b \f \n \r \t
// or \u00XX, and each character of the code page beyond ASCII (a byte of
// 0x80 or more, with its trail byte when it is a lead byte) is converted
// to UTF-16 by the code page's own conversion and written as \uXXXX per
// unit. A byte the code page cannot convert, alone or with the byte after
// it, becomes \uFFFD. So the output
// is valid UTF-8 JSON whatever the code page, and a parser gets the
// characters the code page means.
#pragma once

#include <windows.h>

#include "check/text_out.h"
#include "devices/device_text.h"

// Nesting the writer keeps track of; the report needs four levels.
const int kJsonDepthCapacity = 8;

struct JsonWriter {
    Out* out;
    LeadByteTest isLead;
    WideConverter toWide;
    int depth;
    int items[kJsonDepthCapacity];  // members written so far at each level
};

void JsonStart(JsonWriter* w, Out* out, LeadByteTest isLead, WideConverter toWide);

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
void JsonEscaped(Out* out, const char* text, LeadByteTest isLead, WideConverter toWide);
