#pragma once
// The three patch states that the rendering benchmarks measure.
#include <cstdio>
#include <unistd.h>

#include <cstring>

#include "synth/patch.h"

enum class PatchState { kDrone, kMovingLfos, kNoise };

inline const char* stateName(PatchState s) {
    switch (s) {
    case PatchState::kDrone: return "drone";
    case PatchState::kMovingLfos: return "lfos";
    case PatchState::kNoise: return "noise";
    }
    return "?";
}

// LFO frequencies and amplitudes of the "all three moving" state, in the
// order phase, frequency, amplitude.
constexpr float kLfoFreq[3] = {0.5f, 3.0f, 7.0f};
constexpr float kLfoAmpl[3] = {0.3f, 0.05f, 0.4f};

// Builds a fresh patch and envelope as the program-wide ones, in state s.
// Printing is silenced meanwhile.
inline void setUpPatch(PatchState s) {
    std::fflush(stdout);
    const int savedStdout = dup(1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return;
    synth = new Synth();
    vca = new Vca();
    VcoSlot& slot0 = synth->slots[0];
    if (s == PatchState::kMovingLfos) {
        for (int i = 0; i < 3; ++i) {
            slot0.modulators[i]->freq = kLfoFreq[i];
            slot0.modulators[i]->ampl = kLfoAmpl[i];
        }
        slot0.note = 70;
        synth->slots[1].note = 63;
        vca->sustain = 0.5f;  // held note: the envelope stays open
        vca->trigger();
    } else if (s == PatchState::kNoise) {
        slot0.modulators[1]->waveform = Vco::kNoise;  // on the frequency
        slot0.modulators[1]->freq = 440.0f;
        slot0.modulators[1]->ampl = 0.1f;
    }
    std::fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
}
