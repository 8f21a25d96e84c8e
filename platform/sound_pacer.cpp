// The stream's worker: watches the device, and calls the callback at the
// stream's rate on an absolute clock while the device is silent.
#include <time.h>

#include <cerrno>

#include "platform/sound_stream.h"
#include "platform/sound_supervisor.h"

namespace sound {

namespace {

// The pacer starts afresh rather than catch up after falling this far behind.
constexpr int64_t kPacerMaxLagNs = 200'000'000;

uint64_t deviceFrames(const FSOUND_STREAM* s) { return s->deviceFrames.load(std::memory_order_relaxed); }
bool deviceFinished(const FSOUND_STREAM* s) { return s->deviceFinished.load(std::memory_order_relaxed); }

// Returns true when the device stopped and the pacer owns the callback,
// false when the stream is being closed.
bool supervise(FSOUND_STREAM* s) {
    StallDetector detector(nowNs(), deviceFrames(s), s->sampleRate);
    for (;;) {
        sleepFor(kSuperviseTickNs);
        if (s->stop.load(std::memory_order_acquire)) return false;
        if (!detector.stalled(nowNs(), deviceFrames(s), deviceFinished(s))) continue;
        for (;;) {
            int expected = kIdle;
            if (s->owner.compare_exchange_weak(expected, kPacer, std::memory_order_acquire)) break;
            if (s->stop.load(std::memory_order_acquire)) return false;
            sleepFor(100'000);
        }
        s->fellBack.store(true, std::memory_order_relaxed);
        return true;
    }
}

// Returns true when a device stream that delivers again got the callback
// back, false when the stream is being closed.
bool pace(FSOUND_STREAM* s) {
    const int blockFrames = s->maxFrames < kPacerBlockFrames ? s->maxFrames : kPacerBlockFrames;
    unsigned char* buffer = s->block.data();
    int64_t start = nowNs();
    uint64_t frames = 0;
    RecoveryDetector detector(start, deviceFrames(s), s->sampleRate);
    while (!s->stop.load(std::memory_order_acquire)) {
        s->callback(s, buffer, blockFrames * kBytesPerFrame, s->userData);
        frames += blockFrames;
        const int64_t deadline =
            start + int64_t((unsigned __int128)frames * 1'000'000'000u / unsigned(s->sampleRate));
        const int64_t now = nowNs();
        if (s->pa && detector.recovered(now, deviceFrames(s), deviceFinished(s))) {
            s->owner.store(kIdle, std::memory_order_release);
            return true;
        }
        if (now - deadline > kPacerMaxLagNs) {
            start = now;
            frames = 0;
            continue;
        }
        sleepUntil(deadline);
    }
    return false;
}

}  // namespace

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void sleepUntil(int64_t deadlineNs) {
    timespec t;
    t.tv_sec = deadlineNs / 1'000'000'000;
    t.tv_nsec = deadlineNs % 1'000'000'000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

void sleepFor(int64_t ns) { sleepUntil(nowNs() + ns); }

void work(FSOUND_STREAM* s) {
    for (;;) {
        if (s->pa && !supervise(s)) return;
        if (!pace(s)) return;
    }
}

}  // namespace sound
