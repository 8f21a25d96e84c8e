#include "synth/vca.h"

#include <cstdio>

namespace {
constexpr double kClockStep = 0.005;  // envelope units per sample
}

Vca::Vca()
    : clock(0.0f),
      gate(0),
      released(0),
      level(0.0f),
      attack(10.0f),
      peak(1.0f),
      decay(400.0f),
      sustain(0.0f),
      releaseTime(1500.0f) {}

void Vca::trigger() {
    std::printf("\nTRIG\n");
    postTrigger();
}

void Vca::release() {
    std::printf("UNTRIG\n");
    postRelease();
}

void Vca::postTrigger() { triggerCount_.fetch_add(1, std::memory_order_release); }

void Vca::postRelease() {
    releasedTrigger_.store(triggerCount_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    releaseRequested_.store(true, std::memory_order_release);
}

// Takes the trigger and release requests of the main thread: a new trigger
// restarts the envelope (level 0, gate 1, clock 0, released 0) in one step;
// a release stands until the next trigger.
int Vca::applyRequests() {
    const uint32_t triggers = triggerCount_.load(std::memory_order_acquire);
    if (triggers != appliedTrigger_) {
        appliedTrigger_ = triggers;
        level = 0.0f;
        gate = 1;
        clock = 0.0f;
    }
    const int nowReleased = releaseRequested_.load(std::memory_order_acquire) &&
                            releasedTrigger_.load(std::memory_order_relaxed) == triggers;
    if (nowReleased != appliedRelease_) {
        appliedRelease_ = nowReleased;
        released = nowReleased;
    }
    return nowReleased;
}

int Vca::tick() {
    const int isReleased = applyRequests();
    if (gate != 1) {
        level = 0.0f;
        return 0;
    }

    enum Stage { kOff, kAttack, kDecay, kSustain, kRelease };
    const float a = attack, d = decay, s = sustain, r = releaseTime, p = peak;
    const float c = clock;
    const float end = a + d;  // E, rounded to single precision

    Stage stage = kOff;
    if (c < a) stage = kAttack;
    if (a <= c && c < end) stage = isReleased ? kRelease : (s != 0.0f ? kSustain : kDecay);
    if (static_cast<double>(a) + r + end <= c) stage = kOff;

    switch (stage) {
    case kOff:
        level = 0.0f;
        gate = 0;
        break;
    case kAttack:
        level = static_cast<float>((static_cast<double>(c) - 0.0) * p / a);
        clock = static_cast<float>(c + kClockStep);
        break;
    case kDecay:
        level = static_cast<float>(p - (static_cast<double>(c) - a) * p / d);
        clock = static_cast<float>(c + kClockStep);
        break;
    case kSustain:
        if (!isReleased) {
            const float l = level;
            level = l <= s ? static_cast<float>(static_cast<double>(p) * s)
                           : static_cast<float>(l - static_cast<double>(l) / 1000.0);
        }
        break;
    case kRelease:
        if (r == 0.0f) {
            level = 0.0f;
        } else {
            const float l = level;
            level = static_cast<float>(l - static_cast<double>(l) / 100000.0);
        }
        break;
    }
    return 1;
}

void Vca::print() const {
    std::printf("VCA [%f][%f][%f] \n", static_cast<double>(attack), static_cast<double>(decay),
                static_cast<double>(sustain));
}
