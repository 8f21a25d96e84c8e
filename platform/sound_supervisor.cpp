// The supervisor thread: judges the device's delivery rate, hands the
// callback to the pacer when the device stops, and opens the device afresh
// when its stream ended (a sound server that died and came back) or at a
// larger block when it keeps underrunning.
#include "platform/sound_supervisor.h"

#include "platform/sound_latency.h"
#include "platform/sound_stream.h"

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

// ---- The supervisor thread ----

namespace {

// A device stream silent this long counts as ended.
constexpr int64_t kDeadAfterNs = 3'000'000'000;

uint64_t deviceFrames(const FSOUND_STREAM* s) { return s->deviceFrames.load(std::memory_order_relaxed); }
bool deviceFinished(const FSOUND_STREAM* s) { return s->deviceFinished.load(std::memory_order_relaxed); }
bool stopping(const FSOUND_STREAM* s) { return s->stop.load(std::memory_order_acquire); }

uint64_t underruns(const FSOUND_STREAM* s) { return s->underruns.load(std::memory_order_relaxed); }

// Moves the device to another block size; the pacer covers the gap, which
// is not a fall-back. False when the stream is being closed.
bool resize(FSOUND_STREAM* s, int blockFrames) {
    if (!takeCallback(s)) return false;
    reopenDevice(s, blockFrames);
    return true;
}

// Watches the device while it feeds the callback, after asking real-time
// priority for its threads. Returns true once it stalled, or is being
// reopened at a larger block because it keeps underrunning, and the pacer
// has the callback; false when the stream is being closed.
bool watchDevice(FSOUND_STREAM* s, LatencyPolicy& latency) {
    promoteDeviceThreads(s);
    latency.restarted(nowNs(), underruns(s));
    StallDetector detector(nowNs(), deviceFrames(s), s->sampleRate);
    for (;;) {
        sleepFor(kSuperviseTickNs);
        if (stopping(s)) return false;
        if (detector.stalled(nowNs(), deviceFrames(s), deviceFinished(s))) return fallBack(s);
        const int block = latency.update(nowNs(), underruns(s));
        if (block != s->deviceBlock) return resize(s, block);
    }
}

// While the pacer feeds the callback: reopens a device stream that ended,
// or that has delivered nothing for kDeadAfterNs without saying it ended (a
// server that hung a long while leaves its clients so), about once a
// second. Returns when the pacer gave the callback back to a device stream
// (true), or the stream is being closed (false).
bool watchPacer(FSOUND_STREAM* s) {
    int64_t nextTry = nowNs() + kRetryEveryNs;
    uint64_t frames = deviceFrames(s);
    int64_t deliveredAt = nowNs();
    while (s->owner.pacerHolds()) {
        sleepFor(kSuperviseTickNs);
        if (stopping(s)) return false;
        if (deviceFrames(s) != frames) {
            frames = deviceFrames(s);
            deliveredAt = nowNs();
        }
        const bool ended = s->out == nullptr || deviceFinished(s) || nowNs() - deliveredAt >= kDeadAfterNs;
        if (!ended || s->abandoned || devicesWedged() || nowNs() < nextTry) continue;
        reopenDevice(s);
        nextTry = nowNs() + kRetryEveryNs;
        deliveredAt = nowNs();
    }
    return true;
}

}  // namespace

bool takeCallback(FSOUND_STREAM* s) {
    if (!s->owner.takeForPacer(s->stop)) return false;
    s->pacerWakeup.post();
    return true;
}

bool fallBack(FSOUND_STREAM* s) {
    if (!takeCallback(s)) return false;
    s->fellBack.store(true, std::memory_order_relaxed);
    return true;
}

void reopenDevice(FSOUND_STREAM* s, int blockFrames) {
    if (s->abandoned || devicesWedged()) return;
    if (s->out) {
        if (!tearDown(s->out)) {
            s->abandoned = true;  // its writer may still call into s
            return;
        }
        s->out = nullptr;
    }
    if (blockFrames > 0) s->deviceBlock = blockFrames;
    s->deviceFinished.store(false, std::memory_order_relaxed);
    s->out = openDeviceWithin(s);
    if (s->out) s->owner.offerDevice();
}

void supervise(FSOUND_STREAM* s) {
    LatencyPolicy latency(nowNs(), underruns(s), s->sampleRate, s->deviceBlock);
    while (watchDevice(s, latency) && watchPacer(s)) {
    }
}

}  // namespace sound
