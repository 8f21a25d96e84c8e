#pragma once
// Verdicts on a device stream's delivery rate. Pure: the caller supplies the
// time and the device's frame count, so the thresholds are testable without
// a device or a clock.
//
// A device is taken for stalled (or racing) once its start-up grace has
// passed and a whole window saw less than a quarter, or more than four
// times, the frames of its wall time; a finished device is stalled at once.
// While the pacer stands in, a window within 3/4 and 3/2 of the wall time
// hands the callback back to the device.
#include <cstdint>

namespace sound {

constexpr int64_t kSuperviseTickNs = 20'000'000;
constexpr int64_t kSuperviseGraceNs = 1'000'000'000;
constexpr int64_t kSuperviseWindowNs = 500'000'000;

// The device's delivery rate over successive windows of wall time.
class RateWindow {
public:
    RateWindow(int64_t now, uint64_t frames, int sampleRate)
        : start_(now), frames_(frames), sampleRate_(sampleRate) {}

    // Once a window has passed: sets ratio to the frames delivered over the
    // frames of its wall time, starts the next window, returns true.
    bool elapsed(int64_t now, uint64_t frames, double* ratio);

private:
    int64_t start_;
    uint64_t frames_;
    int sampleRate_;
};

// Watches a playing device.
class StallDetector {
public:
    StallDetector(int64_t now, uint64_t frames, int sampleRate)
        : start_(now), window_(now, frames, sampleRate) {}
    // True when the device should be replaced by the pacer.
    bool stalled(int64_t now, uint64_t frames, bool finished);

private:
    int64_t start_;
    RateWindow window_;
};

// Watches a device that the pacer stands in for.
class RecoveryDetector {
public:
    RecoveryDetector(int64_t now, uint64_t frames, int sampleRate) : window_(now, frames, sampleRate) {}
    // True when the device delivers at its rate again.
    bool recovered(int64_t now, uint64_t frames, bool finished);

private:
    RateWindow window_;
};

}  // namespace sound
