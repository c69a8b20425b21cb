// A test fixture that starts and ends every test with a clean host stand-in.
#pragma once

#include <gtest/gtest.h>

#include "gpu/emulated/emulatedControl.h"

// Releases whatever an earlier test left live (failure paths leave allocations on purpose) and
// forgets injected faults and call counts, before and after each test.
class StandInTest : public testing::Test {
protected:
    void SetUp() override {
        emulatedReleaseEverything();
        emulatedResetFaults();
    }
    void TearDown() override {
        emulatedReleaseEverything();
        emulatedResetFaults();
    }
};
