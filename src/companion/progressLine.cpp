// Drawing and erasing the progress line on standard error with carriage returns.
#include "companion/progressLine.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kProgressCapacity = 128;

}  // namespace

ProgressLine startProgress(bool enabled, int total, std::chrono::steady_clock::time_point now) {
    return ProgressLine{enabled, total, now, now + kProgressRedrawInterval, 0};
}

void formatProgress(int done, int total, double elapsedSeconds, char* text, int capacity) {
    const double rate = elapsedSeconds > 0.0 ? done / elapsedSeconds : 0.0;
    if (rate > 0.0) {
        const double secondsLeft = (total - done) / rate;
        std::snprintf(text, static_cast<std::size_t>(capacity), "%d/%d iterations, %.0f it/s, %.1f s left", done, total,
                      rate, secondsLeft);
    } else {
        std::snprintf(text, static_cast<std::size_t>(capacity), "%d/%d iterations", done, total);
    }
}

void updateProgress(ProgressLine* line, int done, std::chrono::steady_clock::time_point now) {
    if (!line->enabled || now < line->nextDraw) {
        return;
    }
    char text[kProgressCapacity];
    formatProgress(done, line->total, std::chrono::duration<double>(now - line->started).count(), text,
                   kProgressCapacity);
    const int width = static_cast<int>(std::strlen(text));
    // Padding to the last width blanks the tail of a longer earlier line.
    std::fprintf(stderr, "\r%-*s", line->drawnWidth, text);
    std::fflush(stderr);
    line->drawnWidth = width > line->drawnWidth ? width : line->drawnWidth;
    line->nextDraw = now + kProgressRedrawInterval;
}

void clearProgress(ProgressLine* line) {
    if (line->drawnWidth == 0) {
        return;
    }
    std::fprintf(stderr, "\r%*s\r", line->drawnWidth, "");
    std::fflush(stderr);
    line->drawnWidth = 0;
}
