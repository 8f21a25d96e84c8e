#pragma once
// Engine: one playable instance of the synthesizer: the fixed patch, the
// envelope that bends it and the generator its noise draws from. Engines
// share nothing with each other nor with the program-wide synth and vca, so
// several can render in one process, on one thread or on several.
//
// Rendering one frame is what renderStream does for the program-wide pair:
// the envelope ticks, then the patch. An Engine renders sample for sample
// what a fresh Synth and Vca render on a thread whose noise starts afresh.
#include <cstdint>
#include <memory>
#include <vector>

#include "synth/patch.h"
#include "synth/random.h"

class Engine {
public:
    // Builds the fixed patch without printing it.
    Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // One frame's sample.
    int16_t renderFrame() {
        vca.tick();
        synth.tick();
        return toSample(synth.getOutput());
    }
    // frames samples, one per frame.
    void render(int16_t* samples, int frames) {
        for (int i = 0; i < frames; ++i) samples[i] = renderFrame();
    }

    // The oscillators the program's console edits.
    Vco& osc1() { return *synth.slots[0].carrier; }
    Vco& phaseLfo() { return *synth.slots[0].modulators[0]; }
    Vco& frequencyLfo() { return *synth.slots[0].modulators[1]; }
    Vco& amplitudeLfo() { return *synth.slots[0].modulators[2]; }

    Synth synth;
    Vca vca;
    noise::Generator noise;

private:
    std::vector<std::unique_ptr<Vco>> oscillators_;  // the patch's, freed with the engine
};
