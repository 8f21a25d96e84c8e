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

// A device stream silent this long counts as ended, unless it resumes by itself.
constexpr int64_t kDeadAfterNs = 3'000'000'000;

uint64_t deviceFrames(const FSOUND_STREAM* s) { return s->deviceFrames.load(std::memory_order_relaxed); }
bool stopping(const FSOUND_STREAM* s) { return s->stop.load(std::memory_order_acquire); }
uint64_t underruns(const FSOUND_STREAM* s) { return s->underruns.load(std::memory_order_relaxed); }

// Moves the callback from the device to the pacer; false when the stream is
// being closed first.
bool takeCallback(FSOUND_STREAM* s) {
    if (!s->owner.takeForPacer(s->stop)) return false;
    s->pacerWakeup.post();
    return true;
}

// takeCallback because the device stopped delivering: the stream is marked
// as having fallen back (soundStreamFellBack).
bool fallBack(FSOUND_STREAM* s) {
    if (!takeCallback(s)) return false;
    s->fellBack.store(true, std::memory_order_relaxed);
    return true;
}

// Replaces the device stream by a new one, at blockFrames (0: the
// backend's own size). Once started, the pacer gives the callback to it
// after its current block, and it is judged from then on as a stream just
// played. An old device stream that does not end in time is left to end on
// its own, and the stream record is then never freed. Only while the pacer
// owns the callback, which covers the gap.
void reopen(FSOUND_STREAM* s, int blockFrames) {
    if (!s->backend->close()) s->abandoned = true;
    if (startBackend(s, blockFrames)) s->owner.offerDevice();
}

// Watches the device while it feeds the callback, after asking real-time
// priority for its threads. Returns true once it stalled, or is being
// reopened at a larger block because it keeps underrunning, and the pacer
// has the callback; false when the stream is being closed.
bool watchDevice(FSOUND_STREAM* s, LatencyPolicy& latency) {
    Backend& device = *s->backend;
    device.promoteThreads();
    latency.restarted(nowNs(), underruns(s));
    StallDetector detector(nowNs(), deviceFrames(s), device.rate());
    for (;;) {
        sleepFor(kSuperviseTickNs);
        if (stopping(s)) return false;
        // Unpaced by design (freewheeling): judged afresh once it ends.
        if (device.unpaced()) detector = StallDetector(nowNs(), deviceFrames(s), device.rate());
        if (detector.stalled(nowNs(), deviceFrames(s), device.finished())) return fallBack(s);
        if (!device.resizable()) continue;
        const int asked = latency.blockFrames();
        const int block = latency.update(nowNs(), underruns(s));
        if (block == asked) continue;
        // A new size is not a fall-back: the pacer covers the gap.
        if (!takeCallback(s)) return false;
        reopen(s, block);
        return true;
    }
}

// While the pacer feeds the callback: reopens, at blockFrames, a device stream that ended,
// or (unless it resumes by itself) that has delivered nothing for
// kDeadAfterNs without saying so (a server that hung a long while leaves
// its clients so), about once a second. Returns when the pacer gave the
// callback back to a device stream (true), or the stream is being closed
// (false).
bool watchPacer(FSOUND_STREAM* s, int blockFrames) {
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
        const bool silent = !s->backend->resumes() && nowNs() - deliveredAt >= kDeadAfterNs;
        if (!(s->backend->finished() || silent) || nowNs() < nextTry) continue;
        reopen(s, blockFrames);
        nextTry = nowNs() + kRetryEveryNs;
        deliveredAt = nowNs();
    }
    return true;
}

}  // namespace

bool startBackend(FSOUND_STREAM* s, int blockFrames) {
    Backend& device = *s->backend;
    if (!device.open(blockFrames)) return false;
    if (!device.start()) {
        if (!device.close()) s->abandoned = true;
        return false;
    }
    s->latency.store(device.latency(), std::memory_order_relaxed);
    s->blockFrames.store(device.blockFrames(), std::memory_order_relaxed);
    s->deviceRate.store(device.rate(), std::memory_order_relaxed);
    return true;
}

void supervise(FSOUND_STREAM* s) {
    LatencyPolicy latency(nowNs(), underruns(s), s->sampleRate, s->backend->blockFrames());
    while (watchDevice(s, latency) && watchPacer(s, latency.blockFrames())) {
    }
}

}  // namespace sound
