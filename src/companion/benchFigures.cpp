// Order statistics of the recorded times and the rates derived from them.
#include "companion/benchFigures.h"

#include <algorithm>

SampleSummary summariseSamples(double* samples, int count) {
    std::sort(samples, samples + count);
    const int middle = count / 2;
    const double median = count % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2.0;
    return SampleSummary{median, samples[0], samples[count - 1]};
}

TimingFigures summariseTimings(TimingBuffers* buffers, double totalSeconds) {
    TimingFigures figures{};
    figures.totalSeconds = totalSeconds;
    figures.iteration = summariseSamples(buffers->iterationSeconds, buffers->iterations);
    figures.phases = buffers->uploadSeconds != nullptr;
    if (figures.phases) {
        figures.upload = summariseSamples(buffers->uploadSeconds, buffers->iterations);
        figures.sgemm = summariseSamples(buffers->sgemmSeconds, buffers->iterations);
        figures.download = summariseSamples(buffers->downloadSeconds, buffers->iterations);
    }
    return figures;
}

double billionsPerSecond(double amount, double seconds) {
    return seconds > 0.0 ? amount / seconds / 1e9 : 0.0;
}
