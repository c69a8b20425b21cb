// The one-line progress indicator kavrel-bench keeps on standard error while its loop runs.
#pragma once

#include <chrono>

namespace bench {

// Redraws come at least this far apart, so that the line changes at most ten times a second.
constexpr std::chrono::milliseconds kProgressRedrawInterval{100};

// The state of one progress line; plain data, driven by the functions below.
struct ProgressLine {
    bool enabled;
    long total;              // round trips of the run, when it runs a count of them
    double durationSeconds;  // the run's length, when it runs for a time instead (then total is not used)
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point nextDraw;
    int drawnWidth;  // characters now on the terminal line, 0 when nothing is shown
};

// A line for a run of total round trips, or of durationSeconds when that is above 0, that starts at now; when not
// enabled nothing is ever written.
ProgressLine startProgress(bool enabled, long total, double durationSeconds, std::chrono::steady_clock::time_point now);

// Writes the counts into text (at most capacity bytes, null-terminated): iterations done of the total, the rate
// in iterations per second since the start, and the seconds left at that rate; elapsedSeconds may be 0.
void formatProgress(long done, long total, double elapsedSeconds, char* text, int capacity);

// The same for a run of durationSeconds: iterations done, the rate, and the seconds left of the duration.
void formatSoakProgress(long done, double durationSeconds, double elapsedSeconds, char* text, int capacity);

// Redraws the line with done iterations finished at now, when enabled and the redraw interval has passed since
// the last draw (the first draw comes one interval after the start). Costs one comparison otherwise.
void updateProgress(ProgressLine* line, long done, std::chrono::steady_clock::time_point now);

// Erases whatever the line shows, leaving the cursor at the start of the terminal line.
void clearProgress(ProgressLine* line);

}  // namespace bench
