// Drawing and erasing the progress line on standard error with carriage returns.
#include "bench/progressLine.h"

#include <cstdio>
#include <cstring>

namespace bench {

namespace {

constexpr int kProgressCapacity = 128;

}  // namespace

ProgressLine startProgress(bool enabled, long total, double durationSeconds,
                           std::chrono::steady_clock::time_point now) {
    return ProgressLine{enabled, total, durationSeconds, now, now + kProgressRedrawInterval, 0};
}

void formatProgress(long done, long total, double elapsedSeconds, char* text, int capacity) {
    const double rate = elapsedSeconds > 0.0 ? static_cast<double>(done) / elapsedSeconds : 0.0;
    if (rate > 0.0) {
        const double secondsLeft = static_cast<double>(total - done) / rate;
        std::snprintf(text, static_cast<std::size_t>(capacity), "%ld/%ld iterations, %.0f it/s, %.1f s left", done,
                      total, rate, secondsLeft);
    } else {
        std::snprintf(text, static_cast<std::size_t>(capacity), "%ld/%ld iterations", done, total);
    }
}

void formatSoakProgress(long done, double durationSeconds, double elapsedSeconds, char* text, int capacity) {
    const double rate = elapsedSeconds > 0.0 ? static_cast<double>(done) / elapsedSeconds : 0.0;
    const double secondsLeft = durationSeconds > elapsedSeconds ? durationSeconds - elapsedSeconds : 0.0;
    std::snprintf(text, static_cast<std::size_t>(capacity), "%ld iterations, %.0f it/s, %.1f s left", done, rate,
                  secondsLeft);
}

void updateProgress(ProgressLine* line, long done, std::chrono::steady_clock::time_point now) {
    if (!line->enabled || now < line->nextDraw) {
        return;
    }
    char text[kProgressCapacity];
    const double elapsed = std::chrono::duration<double>(now - line->started).count();
    if (line->durationSeconds > 0.0) {
        formatSoakProgress(done, line->durationSeconds, elapsed, text, kProgressCapacity);
    } else {
        formatProgress(done, line->total, elapsed, text, kProgressCapacity);
    }
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

}  // namespace bench
