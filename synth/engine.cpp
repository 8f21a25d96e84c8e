#include "synth/engine.h"

Engine::Engine() : synth(Synth::Quiet{}) {
    synth.envelope = &vca;
    for (VcoSlot& slot : synth.slots) {
        oscillators_.emplace_back(slot.carrier);
        for (Vco* modulator : slot.modulators) oscillators_.emplace_back(modulator);
    }
    for (auto& oscillator : oscillators_) oscillator->noiseSource = &noise;
}
