// Passes one test, then ends the run the way a fault does under Wine: a
// call through a null pointer, or (with TOLVANE_HARNESS_STOP=1) a process
// that ends with exit code 0 before GoogleTest prints its summary. The
// harness must call neither run passed.
#include <cstdlib>

#include <gtest/gtest.h>
#include <windows.h>

TEST(Harness, PassesOne) { EXPECT_EQ(2, 1 + 1); }

TEST(Harness, ThenEndsTheRun) {
    const char *stop = std::getenv("TOLVANE_HARNESS_STOP");
    if (stop != nullptr && stop[0] == '1') ExitProcess(0);
    // volatile, so the compiler keeps the call it could prove undefined.
    void (*volatile nowhere)() = nullptr;
    nowhere();
}
