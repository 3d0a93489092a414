#include "check/text_out.h"

#include <cstring>

#include "platform/win32_api.h"

void OutStart(Out* out, DWORD stream) {
    out->length = 0;
    out->column = 0;
    out->text[0] = '\0';
    out->stream = stream;
    out->inChar = 0;
    out->console = Win().GetStdHandle(stream);
    DWORD mode = 0;
    if (out->console == INVALID_HANDLE_VALUE || !Win().GetConsoleMode(out->console, &mode))
        out->console = nullptr;
}

namespace {

// Writes out the first `count` bytes held and keeps the rest.
void WriteHeld(Out* out, DWORD count) {
    if (count == 0) return;
    const char kept = out->text[count];
    out->text[count] = '\0';
    // A byte converts to one UTF-16 unit at most.
    WCHAR wide[kOutCapacity];
    DWORD written = 0;
    const int units =
        out->console == nullptr
            ? 0
            : Win().MultiByteToWideChar(CP_ACP, 0, out->text, static_cast<int>(count), wide,
                                        static_cast<int>(kOutCapacity));
    if (units <= 0 || !Win().WriteConsoleW(out->console, wide, static_cast<DWORD>(units),
                                           &written, nullptr)) {
        if (out->stream == STD_ERROR_HANDLE) Win().WriteStderr(out->text);
        else Win().WriteStdout(out->text);
    }
    out->text[count] = kept;
    out->length -= count;
    std::memmove(out->text, out->text + count, out->length);
}

}  // namespace

void OutFlush(Out* out) { WriteHeld(out, out->length); }

void OutBytes(Out* out, const char* text, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        const char c = text[i];
        // A full buffer is written up to its last line break: a UTF-8 code
        // page marks no lead byte, and no character spans lines. A character's
        // first byte needs room for its trail as well.
        const bool trail = out->inChar != 0;
        if (!trail && out->length + 2 >= kOutCapacity) {
            DWORD lines = out->length;
            while (lines > 0 && out->text[lines - 1] != '\n') --lines;
            WriteHeld(out, lines > 0 ? lines : out->length);
        }
        out->inChar = !trail && static_cast<BYTE>(c) >= 0x80 && Win().IsDBCSLeadByte(c);
        out->text[out->length++] = c;
        out->column = c == '\n' ? 0 : out->column + 1;
    }
}

void OutText(Out* out, const char* text) {
    OutBytes(out, text, static_cast<DWORD>(std::strlen(text)));
}

void OutChar(Out* out, char c) { OutBytes(out, &c, 1); }

void OutDecimal(Out* out, DWORD value) {
    char text[kDecimalTextCapacity];
    FormatDecimal(value, text);
    OutText(out, text);
}

void FormatHex(DWORD value, char* text) {
    static const char kDigits[] = "0123456789ABCDEF";
    text[0] = '0';
    text[1] = 'x';
    for (int i = 0; i < 8; ++i) text[2 + i] = kDigits[(value >> (28 - 4 * i)) & 0xF];
    text[10] = '\0';
}

void OutPadTo(Out* out, DWORD column) {
    if (out->column >= column) {
        if (out->column > 0) OutChar(out, ' ');
        return;
    }
    while (out->column < column) OutChar(out, ' ');
}

namespace {

// OutIdentifier for the `length` bytes at text.
void PlaceIdentifier(Out* out, const char* text, DWORD length, DWORD indent) {
    if (out->column + length > kOutWidth) {
        // The padding already held after its label goes: no trailing spaces.
        while (out->length > 0 && out->column > 0 && out->text[out->length - 1] == ' ') {
            --out->length;
            --out->column;
        }
        if (out->column > 0) OutChar(out, '\n');
        if (indent + length <= kOutWidth) OutPadTo(out, indent);
    }
    OutBytes(out, text, length);
}

}  // namespace

void OutWrapped(Out* out, const char* text, DWORD indent) {
    for (const char* word = text; *word != '\0';) {
        const char* space = std::strchr(word, ' ');
        const DWORD length = static_cast<DWORD>(space ? space - word : std::strlen(word));
        const DWORD gap = word != text ? 1 : 0;
        const bool fits = out->column + gap + length <= kOutWidth;
        if (!fits && indent + length > kOutWidth) {
            if (gap) OutChar(out, ' ');  // taken back with the padding as it moves
            PlaceIdentifier(out, word, length, kIdentifierIndent);
        } else {
            if (!fits && out->column > indent) {
                OutChar(out, '\n');
                OutPadTo(out, indent);
            } else if (gap) {
                OutChar(out, ' ');
            }
            OutBytes(out, word, length);
        }
        word += length + (space ? 1 : 0);
    }
}

void OutIdentifier(Out* out, const char* text, DWORD indent) {
    PlaceIdentifier(out, text, static_cast<DWORD>(std::strlen(text)), indent);
}
