// The one-line progress indicator kavrel-bench keeps on standard error while its loop runs.
#pragma once

#include <chrono>

// Redraws come at least this far apart, so that the line changes at most ten times a second.
constexpr std::chrono::milliseconds kProgressRedrawInterval{100};

// The state of one progress line; plain data, driven by the functions below.
struct ProgressLine {
    bool enabled;
    int total;  // iterations of the loop
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point nextDraw;
    int drawnWidth;  // characters now on the terminal line, 0 when nothing is shown
};

// A line for a loop of total iterations that starts at now; when not enabled nothing is ever written.
ProgressLine startProgress(bool enabled, int total, std::chrono::steady_clock::time_point now);

// Writes the counts into text (at most capacity bytes, null-terminated): iterations done of the total, the rate
// in iterations per second since the start, and the seconds left at that rate; elapsedSeconds may be 0.
void formatProgress(int done, int total, double elapsedSeconds, char* text, int capacity);

// Redraws the line with done iterations finished at now, when enabled and the redraw interval has passed since
// the last draw (the first draw comes one interval after the start). Costs one comparison otherwise.
void updateProgress(ProgressLine* line, int done, std::chrono::steady_clock::time_point now);

// Erases whatever the line shows, leaving the cursor at the start of the terminal line.
void clearProgress(ProgressLine* line);
