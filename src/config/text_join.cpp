#include "config/text_join.h"

#include <cstring>

int JoinText(char* dest, DWORD capacity, const char* a, const char* b, const char* c) {
    if (capacity == 0) return 0;
    const char* parts[] = {a, b, c};
    size_t length = 0;
    for (const char* part : parts) length += std::strlen(part);
    if (length + 1 > capacity) {
        dest[0] = '\0';
        return 0;
    }
    char* p = dest;
    for (const char* part : parts) {
        size_t n = std::strlen(part);
        std::memcpy(p, part, n);
        p += n;
    }
    *p = '\0';
    return 1;
}

void FormatDecimal(DWORD value, char* text) {
    char digits[kDecimalTextCapacity];
    DWORD n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (DWORD i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = '\0';
}
