// The pacer thread: calls the callback at the stream's rate on an absolute
// clock while no device stream does, and gives the callback back to a device
// stream that delivers at its rate again, or that the supervisor opened.
#include <time.h>

#include <cerrno>

#include "platform/sound_stream.h"
#include "platform/sound_supervisor.h"

namespace sound {

namespace {

// The pacer starts afresh rather than catch up after falling this far behind.
constexpr int64_t kPacerMaxLagNs = 200'000'000;

// Feeds the callback while the pacer owns it. Returns when a device stream
// got it back, or the stream is being closed.
void feedPaced(FSOUND_STREAM* s) {
    const int blockFrames = s->maxFrames < kPacerBlockFrames ? s->maxFrames : kPacerBlockFrames;
    unsigned char* buffer = s->block.data();
    int64_t start = nowNs();
    uint64_t frames = 0;
    const int deviceRate = s->deviceRate.load(std::memory_order_relaxed);
    RecoveryDetector detector(start, s->deviceFrames.load(std::memory_order_relaxed),
                              deviceRate > 0 ? deviceRate : s->sampleRate);
    while (!s->stop.load(std::memory_order_acquire)) {
        s->callback(s, buffer, blockFrames * kBytesPerFrame, s->userData);
        frames += blockFrames;
        const int64_t deadline =
            start + int64_t((unsigned __int128)frames * 1'000'000'000u / unsigned(s->sampleRate));
        const int64_t now = nowNs();
        const bool recovered = s->backend &&
                               detector.recovered(now, s->deviceFrames.load(std::memory_order_relaxed), false);
        if (s->owner.pacerGivesBack(recovered)) return;
        if (now - deadline > kPacerMaxLagNs) {
            start = now;
            frames = 0;
            continue;
        }
        sleepUntil(deadline);
    }
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

void Wakeup::wait() {
    while (sem_wait(&sem_) != 0 && errno == EINTR) {
    }
}

void pace(FSOUND_STREAM* s) {
    for (;;) {
        // Off the audio path until handed the callback.
        while (!s->owner.pacerHolds()) {
            if (s->stop.load(std::memory_order_acquire)) return;
            s->pacerWakeup.wait();
        }
        feedPaced(s);
        if (s->stop.load(std::memory_order_acquire)) return;
    }
}

}  // namespace sound
