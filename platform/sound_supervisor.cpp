#include "platform/sound_supervisor.h"

namespace sound {

bool RateWindow::elapsed(int64_t now, uint64_t frames, double* ratio) {
    if (now - start_ < kSuperviseWindowNs) return false;
    const double expected = double(now - start_) * sampleRate_ / 1e9;
    *ratio = double(frames - frames_) / expected;
    start_ = now;
    frames_ = frames;
    return true;
}

bool StallDetector::stalled(int64_t now, uint64_t frames, bool finished) {
    double ratio;
    const bool measured = window_.elapsed(now, frames, &ratio);
    if (finished) return true;
    return measured && now - start_ >= kSuperviseGraceNs && (ratio < 0.25 || ratio > 4);
}

bool RecoveryDetector::recovered(int64_t now, uint64_t frames, bool finished) {
    double ratio;
    return window_.elapsed(now, frames, &ratio) && !finished && ratio > 0.75 && ratio < 1.5;
}

}  // namespace sound
