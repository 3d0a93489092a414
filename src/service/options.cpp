#include "service/options.h"

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

int SameOption(const char* option, const char* known) {
    while (*option != '\0' && AsciiLower(*option) == AsciiLower(*known)) {
        ++option;
        ++known;
    }
    return *option == '\0' && *known == '\0';
}
