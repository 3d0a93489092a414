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
