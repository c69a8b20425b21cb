// What one device's part of a kavrel-bench run produced: its failure or its timings and verification.
#pragma once

#include <string>
#include <vector>

#include "companion/productVerifier.h"
#include "gpu/deviceInfo.h"

// What one device's run produced.
struct DeviceOutcome {
    int device = 0;
    bool failed = false;         // a call failed; nothing more was done on this device
    std::string failureMessage;  // "!!!! ...\n", set when failed
    bool described = false;      // description holds the device's name
    DeviceDescription description{};
    int libraryVersion = 0;
    double totalSeconds = 0.0;             // the timed round trips' iteration times added up
    std::vector<double> iterationSeconds;  // each timed round trip, host steady clock
    std::vector<double> uploadSeconds;     // each phase, from device events
    std::vector<double> sgemmSeconds;
    std::vector<double> downloadSeconds;
    VerificationSummary verification;
};
