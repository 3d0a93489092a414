// The files of tests/unit/expected, embedded at build time
// (embed_expected.cmake), so the tests need no path to the source tree.
#pragma once

struct ExpectedFile {
    const char* name;
    const char* bytes;
    unsigned size;
};

// Sorted by name; ends with a null name.
extern const ExpectedFile kExpectedFiles[];
