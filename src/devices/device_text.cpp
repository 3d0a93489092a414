#include "devices/device_text.h"

#include <cstring>

namespace {

const DWORD kDriverSuffixLength = 4;  // a four-digit instance number

}  // namespace

int UpperCaseFirstString(char* text, DWORD capacity, LeadByteTest isLead, UpperCaser upper,
                         WideConverter toWide) {
    DWORD length = 0;
    bool doubleByte = false;
    while (length < capacity && text[length] != '\0') {
        if (isLead(static_cast<BYTE>(text[length]))) {
            // A lead byte needs its trail byte; without one the text is not
            // valid in the code page and cannot be upper-cased.
            if (length + 1 >= capacity || text[length + 1] == '\0') return -1;
            doubleByte = true;
            length += 2;
        } else {
            length += 1;
        }
    }
    if (length == 0) return 0;
    // Which bytes may follow a lead byte only the code page knows; single
    // byte text needs no such check.
    if (doubleByte &&
        toWide(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), nullptr, 0) == 0)
        return -1;
    if (upper(text, length) != length) return -1;
    return static_cast<int>(length);
}

int ContainsOnCharBoundary(const char* text, int length, const char* pattern,
                           LeadByteTest isLead) {
    const size_t patternLength = std::strlen(pattern);
    int i = 0;
    for (;;) {
        if (static_cast<size_t>(length - i) >= patternLength &&
            std::memcmp(text + i, pattern, patternLength) == 0) {
            return 1;
        }
        if (i >= length) return 0;
        // Step over whole characters: an occurrence starting on a trail
        // byte would be made of the halves of two characters.
        i += (isLead(static_cast<BYTE>(text[i])) && i + 1 < length) ? 2 : 1;
    }
}

void DriverSuffixFromKey(char* suffix, const char* key, BOOL readOk, DWORD reportedSize,
                         DWORD bufferSize) {
    suffix[0] = '\0';
    if (!readOk) return;
    const DWORD length =
        BoundedTextLength(key, reportedSize < bufferSize ? reportedSize : bufferSize);
    if (length < kDriverSuffixLength) return;
    std::memcpy(suffix, key + length - kDriverSuffixLength, kDriverSuffixLength);
    suffix[kDriverSuffixLength] = '\0';
}

DWORD CopyTextCut(char* dest, DWORD destCapacity, const char* src, DWORD srcCapacity,
                  LeadByteTest isLead) {
    if (destCapacity == 0) return 0;
    const DWORD length = BoundedTextLength(src, srcCapacity);
    DWORD copied = 0;
    while (copied < length) {
        DWORD step = isLead(static_cast<BYTE>(src[copied])) ? 2 : 1;
        // A lead byte without its trail byte is no character: dropped.
        if (copied + step > length || copied + step > destCapacity - 1) break;
        copied += step;
    }
    std::memcpy(dest, src, copied);
    dest[copied] = '\0';
    return copied;
}

DWORD BoundedTextLength(const char* src, DWORD size) {
    DWORD length = 0;
    while (length < size && src[length] != '\0') ++length;
    return length;
}
