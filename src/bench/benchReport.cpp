// The figures, outliers, node summary and exit status drawn from the devices' outcomes.
#include "bench/benchReport.h"

#include <algorithm>
#include <cstdio>

#include "bench/exitStatus.h"
#include "report/statistics.h"

namespace bench {

namespace {

PhaseFigure phaseFigure(const TimeSummary& times, double amount) {
    const double median = times.percentiles().p50;
    return PhaseFigure{median, amount, billionsPerSecond(amount, median)};
}

// The device's figures as an expectation judges them; the resident workload moves nothing to judge.
report::ExpectedFigures expectedFigures(const DeviceReport& device, Workload workload) {
    report::ExpectedFigures figures;
    if (workload == Workload::roundTrip) {
        figures.uploadGbPerSecond = device.upload.rate;
        figures.downloadGbPerSecond = device.download.rate;
    }
    figures.sgemmGflopPerSecond = device.sgemm.rate;
    const SampleSummary& during = device.health.during;
    if (during.lowestLinkGenerationUnderLoad()) {
        figures.pcieLinkGeneration = static_cast<int>(*during.lowestLinkGenerationUnderLoad());
    }
    if (during.lowestLinkWidthUnderLoad()) {
        figures.pcieLinkWidth = static_cast<int>(*during.lowestLinkWidthUnderLoad());
    }
    if (during.temperatureCelsius().count() > 0) {
        figures.maxTemperatureCelsius = during.temperatureCelsius().percentiles().max;
    }
    return figures;
}

// The resident workload's rate series from the device's intervals and NVML's, and the fall of its rate.
void summariseIntervals(const BenchOptions& options, const DeviceOutcome& outcome, DeviceReport* device) {
    const double interval = options.intervalSeconds;
    const std::size_t count = outcome.intervals.size();
    for (std::size_t index = 0; index < count; ++index) {
        IntervalReport report;
        report.startSeconds = static_cast<double>(index) * interval;
        report.seconds =
            index + 1 < count ? interval : std::clamp(outcome.loopWallSeconds - report.startSeconds, 0.0, interval);
        report.products = outcome.intervals[index].products;
        report.gflopPerSecond = billionsPerSecond(sgemmFlops(options.size) * static_cast<double>(report.products),
                                                  outcome.intervals[index].sgemmSeconds);
        if (index < outcome.health.intervals.size()) {
            report.readings = outcome.health.intervals[index];
        }
        device->intervals.push_back(report);
    }
    double best = 0.0;
    double last = 0.0;
    int judged = 0;
    for (const IntervalReport& report : device->intervals) {
        if (report.products > 0 && report.seconds >= kJudgedIntervalShare * interval) {
            best = std::max(best, report.gflopPerSecond);
            last = report.gflopPerSecond;
            ++judged;
        }
    }
    if (judged >= 2 && best > 0.0) {
        device->rateFall = std::max(0.0, 1.0 - last / best);
        device->rateFell = *device->rateFall > kRateFallMargin;
    }
}

// The verdict on the fall of the rate: reported, failing only with --fail-on-throttle.
HealthVerdict rateVerdict(const DeviceReport& device, bool failOnThrottle) {
    char detail[96];
    std::snprintf(detail, sizeof detail, "rate fell %.0f%% over the soak", *device.rateFall * 100.0);
    return HealthVerdict{"rate", !(device.rateFell && failOnThrottle), detail};
}

}  // namespace

const char* judgedRateName(Workload workload) {
    return workload == Workload::resident ? "sgemm_gflop_per_second" : "round_trips_per_second";
}

std::string failureText(const char* stageMessage) {
    std::string text = stageMessage != nullptr ? stageMessage : "";
    const std::string prefix = "!!!! ";
    if (text.compare(0, prefix.size(), prefix) == 0) {
        text.erase(0, prefix.size());
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

bool checkPasses(const RelativeError& error, float threshold) {
    return !error.referenceNormIsZero && relativeErrorPasses(error.ratio, threshold);
}

DeviceReport summariseDevice(const BenchOptions& options, DeviceOutcome* outcome,
                             const std::vector<report::Expectation>& expectations) {
    DeviceReport device;
    device.index = outcome->device;
    device.failure = outcome->failure;
    device.described = outcome->described;
    device.description = outcome->description;
    device.libraryVersion = outcome->libraryVersion;
    device.verification = outcome->verification;
    device.health = outcome->health;
    device.roundTrips = static_cast<long>(outcome->iterationTimes.count());
    if (device.failure || device.roundTrips == 0) {
        return device;
    }
    device.timedSeconds = outcome->iterationTimes.sum();
    device.loopWallSeconds = outcome->loopWallSeconds;
    device.exactTimes = outcome->iterationTimes.exact();
    device.iteration = outcome->iterationTimes.percentiles();
    device.histogram = outcome->iterationTimes.histogram(kHistogramBuckets);
    const bool resident = options.workload == Workload::resident;
    if (!resident) {
        device.upload = phaseFigure(outcome->uploadTimes, uploadBytes(options.size));
        device.download = phaseFigure(outcome->downloadTimes, downloadBytes(options.size));
    }
    device.sgemm = phaseFigure(outcome->sgemmTimes, sgemmFlops(options.size));
    device.roundTripsPerSecond = device.iteration.p50 > 0.0 ? 1.0 / device.iteration.p50 : 0.0;
    device.judgedRate = resident ? device.sgemm.rate : device.roundTripsPerSecond;
    if (resident) {
        summariseIntervals(options, *outcome, &device);
    }
    const VerificationSummary& verification = device.verification;
    // Checking the first product alone is asked for by --check-first-only; any other shortfall is a failure.
    const long expected = options.checkFirstOnly ? 1 : device.roundTrips;
    device.checkPassed = verification.checkedFirst && checkPasses(verification.firstError, verification.threshold) &&
                         verification.mismatchCount == 0 && verification.verifiedProducts == expected;
    device.healthVerdicts = healthVerdicts(device.health, options.failOnThrottle);
    if (device.rateFall) {
        device.healthVerdicts.push_back(rateVerdict(device, options.failOnThrottle));
        std::stable_partition(device.healthVerdicts.begin(), device.healthVerdicts.end(),
                              [](const HealthVerdict& verdict) { return !verdict.passed; });
    }
    for (const HealthVerdict& verdict : device.healthVerdicts) {
        device.healthPassed = device.healthPassed && verdict.passed;
    }
    if (device.described) {
        if (const report::Expectation* expectation = report::expectationFor(expectations, device.description.name)) {
            device.expected = true;
            device.shortfalls = report::shortfalls(*expectation, expectedFigures(device, options.workload));
            device.healthPassed = device.healthPassed && device.shortfalls.empty();
        }
    }
    device.passed = device.checkPassed && device.healthPassed;
    return device;
}

BenchReport summariseRun(const BenchOptions& options, std::vector<DeviceOutcome>* outcomes, int visibleDevices,
                         const std::vector<report::Expectation>& expectations) {
    BenchReport report;
    report.options = options;
    report.matrixOrder = options.size;
    std::vector<double> rates;
    std::vector<std::size_t> completed;
    for (DeviceOutcome& outcome : *outcomes) {
        report.devices.push_back(summariseDevice(options, &outcome, expectations));
        const DeviceReport& device = report.devices.back();
        if (!device.failure && device.roundTrips > 0) {
            rates.push_back(device.judgedRate);
            completed.push_back(report.devices.size() - 1);
        }
    }
    const std::vector<bool> outliers = report::nodeOutliers(rates, options.outlierMargin);
    for (std::size_t i = 0; i < completed.size(); ++i) {
        report.devices[completed[i]].outlier = outliers[i];
    }

    NodeSummary& node = report.node;
    node.devices = static_cast<int>(report.devices.size());
    for (const DeviceReport& device : report.devices) {
        if (device.failure) {
            ++node.failedDevices;
        } else if (device.passed) {
            ++node.passed;
        } else {
            ++node.failedChecks;
            node.failedHealth += device.healthPassed ? 0 : 1;
        }
        node.mismatches += device.verification.mismatchCount;
        if (device.outlier) {
            node.outliers.push_back(device.index);
        }
    }
    node.expectedDevices = options.expectDevices;
    node.visibleDevices = visibleDevices;
    node.missingDevices = options.expectDevices > 0 && visibleDevices >= 0 && visibleDevices < options.expectDevices;
    node.allPassed = node.devices > 0 && node.passed == node.devices && !node.missingDevices;
    return report;
}

int runStatus(const BenchReport& report) {
    const NodeSummary& node = report.node;
    if (node.failedDevices > 0 || node.missingDevices) {
        return kExitRunFailed;
    }
    if (report.interruption.signal != 0) {
        return kExitInterrupted;
    }
    if (node.failedChecks > 0 || (report.options.failOnOutlier && !node.outliers.empty())) {
        return kExitCheckFailed;
    }
    return kExitPassed;
}

std::string missingDevicesLine(const NodeSummary& node) {
    if (!node.missingDevices) {
        return "";
    }
    return "!!!! expected " + std::to_string(node.expectedDevices) + " devices, the runtime sees " +
           std::to_string(node.visibleDevices) + "\n";
}

std::string deviceFailureLine(const DeviceReport& device) {
    const std::string message = device.failure ? device.failure->message : std::string("unknown failure");
    return "!!!! device " + std::to_string(device.index) + ": " + message + "\n";
}

}  // namespace bench
