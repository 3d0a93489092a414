#include "service/image_path.h"

#include <cstring>

#include "config/text_join.h"

int FormImagePath(const char* exePath, char* out, DWORD capacity) {
    size_t length = std::strlen(exePath);
    bool quoted = std::strchr(exePath, ' ') != nullptr;
    size_t needed = length + (quoted ? 2 : 0) + 1;
    if (needed > capacity) {
        if (capacity > 0) out[0] = '\0';
        return 0;
    }
    char* p = out;
    if (quoted) *p++ = '"';
    std::memcpy(p, exePath, length);
    p += length;
    if (quoted) *p++ = '"';
    *p = '\0';
    return 1;
}

int ImagePathExe(const char* imagePath, char* out, DWORD capacity) {
    if (imagePath[0] != '"') return JoinText(out, capacity, imagePath);
    const char* close = std::strchr(imagePath + 1, '"');
    const size_t length =
        close ? static_cast<size_t>(close - imagePath - 1) : std::strlen(imagePath + 1);
    if (length + 1 > capacity) {
        if (capacity > 0) out[0] = '\0';
        return 0;
    }
    std::memcpy(out, imagePath + 1, length);
    out[length] = '\0';
    return 1;
}
