#include "check/json_writer.h"

#include <cstring>

namespace {

const char kHexDigits[] = "0123456789abcdef";

void OutUnit(Out* out, unsigned unit) {
    OutText(out, "\\u");
    for (int shift = 12; shift >= 0; shift -= 4) OutChar(out, kHexDigits[(unit >> shift) & 0xF]);
}

// One UTF-16 unit: ASCII as itself but for '"', '\' and the controls,
// the rest as \uXXXX.
void EscapedUnit(Out* out, WCHAR unit) {
    if (unit == '"' || unit == '\\') {
        OutChar(out, '\\');
        OutChar(out, static_cast<char>(unit));
    } else if (unit < 0x20) {
        const char* named = unit == '\b' ? "\\b" : unit == '\f' ? "\\f" : unit == '\n' ? "\\n"
                          : unit == '\r' ? "\\r" : unit == '\t' ? "\\t" : nullptr;
        if (named != nullptr) OutText(out, named);
        else OutUnit(out, unit);
    } else if (unit < 0x80) {
        OutChar(out, static_cast<char>(unit));
    } else {
        OutUnit(out, unit);
    }
}

// Before a member: the separator, a new line and the indent, and the key.
void Member(JsonWriter* w, const char* key) {
    if (w->depth > 0 && w->depth <= kJsonDepthCapacity) {
        if (w->items[w->depth - 1]++ > 0) OutChar(w->out, ',');
        OutChar(w->out, '\n');
        for (int i = 0; i < w->depth; ++i) OutText(w->out, "  ");
    }
    if (key != nullptr) {
        JsonEscaped(w->out, key, w->toWide);
        OutText(w->out, ": ");
    }
}

void Begin(JsonWriter* w, const char* key, char open) {
    Member(w, key);
    OutChar(w->out, open);
    if (w->depth < kJsonDepthCapacity) w->items[w->depth] = 0;
    ++w->depth;
}

void End(JsonWriter* w, char close) {
    --w->depth;
    if (w->depth < kJsonDepthCapacity && w->items[w->depth] > 0) {
        OutChar(w->out, '\n');
        for (int i = 0; i < w->depth; ++i) OutText(w->out, "  ");
    }
    OutChar(w->out, close);
    if (w->depth == 0) OutChar(w->out, '\n');
}

}  // namespace

void JsonEscaped(Out* out, const char* text, WideConverter toWide) {
    OutChar(out, '"');
    WCHAR wide[kJsonWideCapacity];
    const int length = static_cast<int>(std::strlen(text));
    // Whole: a character of a UTF-8 code page spans up to four bytes, and
    // none of its bytes converts alone.
    const int units =
        length == 0 ? 0 : toWide(CP_ACP, MB_ERR_INVALID_CHARS, text, length, wide, kJsonWideCapacity);
    for (int u = 0; u < units; ++u) EscapedUnit(out, wide[u]);
    // Refused whole, or longer than the room: a character at a time, each
    // the shortest run of bytes the code page converts (ASCII stands alone
    // in every ANSI code page). A byte that starts none becomes U+FFFD.
    for (int i = 0; units <= 0 && i < length;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int size = 0;
        int count = 0;
        while (c >= 0x80 && count <= 0 && size < kLongestCharacter && i + size < length)
            count = toWide(CP_ACP, MB_ERR_INVALID_CHARS, text + i, ++size, wide, 2);
        if (c < 0x80) {
            EscapedUnit(out, c);
            size = 1;
        } else if (count <= 0) {
            OutUnit(out, 0xFFFD);
            size = 1;
        }
        for (int u = 0; u < count; ++u) EscapedUnit(out, wide[u]);
        i += size;
    }
    OutChar(out, '"');
}

void JsonStart(JsonWriter* w, Out* out, WideConverter toWide) {
    w->out = out;
    w->toWide = toWide;
    w->depth = 0;
}

void JsonBeginObject(JsonWriter* w, const char* key) { Begin(w, key, '{'); }
void JsonEndObject(JsonWriter* w) { End(w, '}'); }
void JsonBeginArray(JsonWriter* w, const char* key) { Begin(w, key, '['); }
void JsonEndArray(JsonWriter* w) { End(w, ']'); }

void JsonString(JsonWriter* w, const char* key, const char* text) {
    if (text == nullptr) return JsonNull(w, key);
    Member(w, key);
    JsonEscaped(w->out, text, w->toWide);
}

void JsonNumber(JsonWriter* w, const char* key, DWORD value) {
    Member(w, key);
    OutDecimal(w->out, value);
}

void JsonBool(JsonWriter* w, const char* key, bool value) {
    Member(w, key);
    OutText(w->out, value ? "true" : "false");
}

void JsonNull(JsonWriter* w, const char* key) {
    Member(w, key);
    OutText(w->out, "null");
}
