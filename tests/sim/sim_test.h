// Base fixture for tests over the simulated Windows: each test starts on a
// fresh simulation and, unless it says otherwise, ends having released every
// handle and heap block it was given.
#pragma once

#include <gtest/gtest.h>

#include "radio/driver_request.h"
#include "sim_windows.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::UseSimulatedWindows(); }

    void TearDown() override {
        // The event requests share lives as long as the process; each test
        // is a process here.
        EndDriverRequests();
        if (checkReleased_) {
            EXPECT_EQ(0, Sim().OpenHandles()) << "handles left open";
            EXPECT_EQ(0, Sim().LiveHeapBlocks()) << "heap blocks left allocated";
            EXPECT_EQ(0, Sim().badCloses) << "closes of handles that were not open";
            EXPECT_EQ(0, Sim().badFrees) << "frees of blocks that were not allocated";
        }
        sim::UseRealWindows();
    }

    sim::Windows& Sim() { return sim::State(); }

    // For tests that end with something deliberately held open.
    void AllowOpenHandles() { checkReleased_ = false; }

private:
    bool checkReleased_ = true;
};
