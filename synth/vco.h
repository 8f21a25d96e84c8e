#pragma once
// Vco: one oscillator, carrier or modulator, advanced once per sample at 44100 Hz.
//
// The user-set values (freq, ampl, phase, waveform) are edited from the main
// thread; the working values (aFreq, aAmpl, aPhase), cycle and output are
// written by the stream thread. All are Shared so neither side ever blocks.
#include "synth/module_base.h"
#include "synth/random.h"
#include "synth/shared.h"

class Vco : public ModuleBase {
public:
    enum Waveform { kSine = 1, kRamp = 2, kRampCentered = 3, kSquare = 4, kNoise = 5 };

    Vco(float amplitude, float frequency, int waveform);

    // Working values := user-set values.
    void reset() {
        aFreq = freq.load();
        aPhase = phase.load();
        aAmpl = ampl.load();
    }
    // Advances one sample and computes output. Waveforms outside 1..5 leave
    // output unchanged.
    void tick();
    float getOutput() const { return output; }
    // One status line: user-set then working frequency, amplitude and phase.
    void print() const;

    Shared<float> output;
    Shared<float> cycle;   // position in cycles; wraps once by 10 when above 10
    Shared<float> phase;   // user-set phase offset, in cycles
    Shared<float> ampl;
    Shared<float> freq;    // Hz
    Shared<float> aPhase;
    Shared<float> aAmpl;
    Shared<float> aFreq;
    Shared<int> waveform;

    // Where the noise waveform draws from: none means the ticking thread's
    // generator (noise::rand). Set before the stream starts, never during.
    noise::Generator* noiseSource = nullptr;

private:
    double sine(double turns);
    int draw() { return noiseSource != nullptr ? noiseSource->next() : noise::rand(); }

    // sin() of the last argument, so a still oscillator (0 Hz) costs no sine.
    // NaN matches no argument. Stream-thread only.
    double lastSineArg_ = __builtin_nan("");
    double lastSine_ = 0.0;
};
