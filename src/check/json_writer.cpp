#include "check/json_writer.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";

void OutUnit(Out* out, unsigned unit) {
    OutText(out, "\\u");
    for (int shift = 12; shift >= 0; shift -= 4) OutChar(out, kHexDigits[(unit >> shift) & 0xF]);
}

// Before a member: the separator, a new line and the indent, and the key.
void Member(JsonWriter* w, const char* key) {
    if (w->depth > 0 && w->depth <= kJsonDepthCapacity) {
        if (w->items[w->depth - 1]++ > 0) OutChar(w->out, ',');
        OutChar(w->out, '\n');
        for (int i = 0; i < w->depth; ++i) OutText(w->out, "  ");
    }
    if (key != nullptr) {
        JsonEscaped(w->out, key, w->isLead, w->toWide);
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

void JsonEscaped(Out* out, const char* text, LeadByteTest isLead, WideConverter toWide) {
    OutChar(out, '"');
    for (int i = 0; text[i] != '\0';) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            OutChar(out, '\\');
            OutChar(out, static_cast<char>(c));
            ++i;
        } else if (c < 0x20) {
            const char* named = c == '\b' ? "\\b" : c == '\f' ? "\\f" : c == '\n' ? "\\n"
                              : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
            if (named != nullptr) OutText(out, named);
            else OutUnit(out, c);
            ++i;
        } else if (c < 0x80) {
            OutChar(out, static_cast<char>(c));
            ++i;
        } else {
            // One character of the code page: a lead byte takes its trail.
            // A byte it refuses stands for itself alone.
            const int size = (isLead(c) && text[i + 1] != '\0') ? 2 : 1;
            WCHAR units[2];
            const int count = toWide(CP_ACP, MB_ERR_INVALID_CHARS, text + i, size, units, 2);
            if (count <= 0) {
                OutUnit(out, 0xFFFD);
                ++i;
                continue;
            }
            for (int u = 0; u < count; ++u) OutUnit(out, units[u]);
            i += size;
        }
    }
    OutChar(out, '"');
}

void JsonStart(JsonWriter* w, Out* out, LeadByteTest isLead, WideConverter toWide) {
    w->out = out;
    w->isLead = isLead;
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
    JsonEscaped(w->out, text, w->isLead, w->toWide);
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
