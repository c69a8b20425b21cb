// The figures kavrel-bench derives from its timings: medians, extremes and rates.
#pragma once

#include "common/matrix.h"
#include "companion/timingBuffers.h"

// Bytes one round trip uploads (A, B and C) and downloads (C), and the floating-point operations of one SGEMM.
constexpr double kUploadBytes = 3.0 * static_cast<double>(kMatrixBytes);
constexpr double kDownloadBytes = static_cast<double>(kMatrixBytes);
constexpr double kSgemmFlops = 2.0 * kMatrixOrder * kMatrixOrder * static_cast<double>(kMatrixOrder);

// Median, smallest and largest of a set of times, in seconds.
struct SampleSummary {
    double median;  // the middle value; the mean of the two middle ones for an even count
    double minimum;
    double maximum;
};

// What the timed loop measured, in seconds; the phase summaries are set only with phases.
struct TimingFigures {
    double totalSeconds;
    SampleSummary iteration;
    bool phases;
    SampleSummary upload;
    SampleSummary sgemm;
    SampleSummary download;
};

// Sorts samples[0..count) in place (count at least 1) and summarises them.
SampleSummary summariseSamples(double* samples, int count);

// Summarises every buffer the loop filled (sorting each in place) along with the loop's total seconds.
TimingFigures summariseTimings(TimingBuffers* buffers, double totalSeconds);

// amount / seconds / 1e9: GB/s for bytes, GFLOP/s for flops; 0 when seconds is not positive.
double billionsPerSecond(double amount, double seconds);
