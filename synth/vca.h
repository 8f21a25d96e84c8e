#pragma once
// Vca: the envelope. Its level bends the carriers' pitch (Synth::tick).
//
// Times are in envelope units: the clock advances 0.005 per sample in the
// attack and decay stages (200 samples a unit).
//
// Threads: attack, peak, decay, sustain and releaseTime are edited from the
// main thread. gate, released, level and clock are written only by tick() on
// the stream thread; trigger() and release() post a request that the next
// tick() applies before anything else, so a trigger is seen as one change.
#include <atomic>
#include <cstdint>

#include "synth/module_base.h"
#include "synth/shared.h"

class Vca : public ModuleBase {
public:
    Vca();

    // Restart from clock 0 and level 0 with the gate open; prints "\nTRIG\n".
    void trigger();
    // Enter the release stage once the attack is over; prints "UNTRIG\n".
    void release();
    // trigger() and release() without the message, for the stream thread
    // (the caller reports them from another thread).
    void postTrigger();
    void postRelease();
    // Advances one sample; returns 0 when the gate was closed, else 1.
    int tick();
    float getLevel() const { return level; }
    // "VCA [attack][decay][sustain] "
    void print() const;

    Shared<float> clock;
    Shared<int> gate;
    Shared<int> released;
    Shared<float> level;
    Shared<float> attack;
    Shared<float> peak;
    Shared<float> decay;
    Shared<float> sustain;
    Shared<float> releaseTime;

private:
    // Applies pending trigger/release requests; returns the released flag.
    int applyRequests();

    std::atomic<uint32_t> triggerCount_{0};       // trigger() calls so far
    std::atomic<uint32_t> releasedTrigger_{0};    // triggerCount_ at the last release()
    std::atomic<bool> releaseRequested_{false};   // release() called at least once
    uint32_t appliedTrigger_ = 0;                 // stream thread only
    int appliedRelease_ = 0;                      // stream thread only
};
