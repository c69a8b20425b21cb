// The figures, outliers, node summary and exit status drawn from the devices' outcomes.
#include "companion/benchReport.h"

#include <cstring>

namespace {

PhaseFigure phaseFigure(std::vector<double>* seconds, double amount) {
    const double median = percentilesOf(seconds).p50;
    return PhaseFigure{median, amount, billionsPerSecond(amount, median)};
}

}  // namespace

bool checkPasses(const RelativeError& error) {
    return !error.referenceNormIsZero && relativeErrorPasses(error.ratio);
}

DeviceReport summariseDevice(const BenchOptions& options, DeviceOutcome* outcome) {
    DeviceReport device;
    device.index = outcome->device;
    device.failed = outcome->failed;
    device.failureMessage = outcome->failureMessage;
    device.described = outcome->described;
    device.description = outcome->description;
    device.libraryVersion = outcome->libraryVersion;
    device.verification = outcome->verification;
    device.roundTrips = static_cast<long>(outcome->iterationSeconds.size());
    if (device.failed || device.roundTrips == 0) {
        return device;
    }
    device.totalSeconds = outcome->totalSeconds;
    device.iteration = percentilesOf(&outcome->iterationSeconds);
    device.histogram = histogramOf(outcome->iterationSeconds, kHistogramBuckets);
    device.upload = phaseFigure(&outcome->uploadSeconds, uploadBytes(options.size));
    device.sgemm = phaseFigure(&outcome->sgemmSeconds, sgemmFlops(options.size));
    device.download = phaseFigure(&outcome->downloadSeconds, downloadBytes(options.size));
    device.roundTripsPerSecond = device.iteration.p50 > 0.0 ? 1.0 / device.iteration.p50 : 0.0;
    const VerificationSummary& verification = device.verification;
    // Checking the first product alone is asked for by --check-first-only; any other shortfall is a failure.
    const long expected = options.checkFirstOnly ? 1 : device.roundTrips;
    device.passed = verification.checkedFirst && checkPasses(verification.firstError) &&
                    verification.mismatchCount == 0 && verification.verifiedProducts == expected;
    return device;
}

BenchReport summariseRun(const BenchOptions& options, std::vector<DeviceOutcome>* outcomes) {
    BenchReport report;
    report.options = options;
    report.matrixOrder = options.size;
    std::vector<double> rates;
    std::vector<std::size_t> completed;
    for (DeviceOutcome& outcome : *outcomes) {
        report.devices.push_back(summariseDevice(options, &outcome));
        const DeviceReport& device = report.devices.back();
        if (!device.failed && device.roundTrips > 0) {
            rates.push_back(device.roundTripsPerSecond);
            completed.push_back(report.devices.size() - 1);
        }
    }
    const std::vector<bool> outliers = flagOutliers(rates, options.outlierMargin);
    for (std::size_t i = 0; i < completed.size(); ++i) {
        report.devices[completed[i]].outlier = outliers[i];
    }

    NodeSummary& node = report.node;
    node.devices = static_cast<int>(report.devices.size());
    for (const DeviceReport& device : report.devices) {
        if (device.failed) {
            ++node.failedDevices;
        } else if (device.passed) {
            ++node.passed;
        } else {
            ++node.failedChecks;
        }
        node.mismatches += device.verification.mismatchCount;
        if (device.outlier) {
            node.outliers.push_back(device.index);
        }
    }
    node.allPassed = node.passed == node.devices;
    return report;
}

int runStatus(const BenchReport& report) {
    const NodeSummary& node = report.node;
    if (node.failedDevices > 0) {
        return kExitRunFailed;
    }
    if (node.failedChecks > 0 || (report.options.failOnOutlier && !node.outliers.empty())) {
        return kExitCheckFailed;
    }
    return kExitPassed;
}

std::string deviceFailureLine(const DeviceReport& device) {
    const char* const prefix = "!!!! ";
    std::string message = device.failureMessage;
    if (message.compare(0, std::strlen(prefix), prefix) == 0) {
        message.erase(0, std::strlen(prefix));
    }
    return std::string(prefix) + "device " + std::to_string(device.index) + ": " + message;
}
