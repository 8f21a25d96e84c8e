#include "synth/vco.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

constexpr double kSampleRate = 44100.0;
constexpr double kTwoPi = 6.2831853;  // the oscillator's own 2*pi

// trunc(value) as a 64-bit integer, saturated far beyond the range where it
// matters to the noise (any divisor above 32767 acts alike); NaN gives 0.
int64_t truncSaturated(double value) {
    if (!(value == value)) return 0;
    if (value > 1e15) return static_cast<int64_t>(1e15);
    if (value < -1e15) return static_cast<int64_t>(-1e15);
    return static_cast<int64_t>(value);
}

}  // namespace

Vco::Vco(float amplitude, float frequency, int waveform)
    : output(0.0f),
      cycle(0.0f),
      phase(1.0f),
      ampl(amplitude),
      freq(frequency),
      aPhase(1.0f),
      aAmpl(amplitude),
      aFreq(frequency),
      waveform(waveform) {}

double Vco::sine(double turns) {
    const double arg = turns * kTwoPi;
    // Equal arguments give equal sines; NaN never compares equal.
    if (arg != lastSineArg_) {
        lastSineArg_ = arg;
        lastSine_ = std::sin(arg);
    }
    return lastSine_;
}

void Vco::tick() {
    const float amp = aAmpl;
    const float workPhase = aPhase;
    const float workFreq = aFreq;
    float c = static_cast<float>(cycle + workFreq / kSampleRate);
    if (c > 10.0f) c = static_cast<float>(c - 10.0);
    cycle = c;

    float out;
    switch (waveform.load()) {
    case kSine:
        out = static_cast<float>(sine(static_cast<double>(c) + workPhase) * amp);
        break;
    case kRamp:
        out = c * amp;
        break;
    case kRampCentered:
        out = static_cast<float>(static_cast<double>(c) * amp - 0.5);
        break;
    case kSquare:
        // Four chained tests, each on what the previous one stored.
        out = static_cast<float>(sine(static_cast<double>(c) + workPhase));
        if (out > 0.5f) out = 1.0f * amp;
        if (out >= 0.0f && out <= 0.5f) out = 0.0f;
        if (out >= -0.5f && out < 0.0f) out = 0.0f;
        if (out < -0.5f) out = -1.0f * amp;
        break;
    case kNoise: {
        if (amp == 0.0f) {
            out = 0.0f;
            break;
        }
        float v = 0.0f;
        const int64_t m1 = truncSaturated(static_cast<double>(workFreq) - 439.0) + 1;
        const int first = draw();
        // A zero modulus draws but never spikes; a zero spike modulus gives 0.
        if (m1 != 0 && first % m1 == 1) {
            const int64_t m2 = truncSaturated(static_cast<double>(amp) * 100.0) + 111;
            const int spike = draw();
            v = m2 != 0 ? static_cast<float>(spike % m2) : 0.0f;
        }
        out = static_cast<float>((static_cast<double>(v) - amp * 50.0) / 100.0);
        break;
    }
    default:
        return;  // unknown waveform: output keeps its value
    }
    output = out;
}

void Vco::print() const {
    std::printf("Freq [%3.3f] Ampl [%3.3f] Phase [%3.3f] - AFreq [%3.3f] AAmpl [%3.3f] APhase [%3.3f]  \n",
                static_cast<double>(freq), static_cast<double>(ampl), static_cast<double>(phase),
                static_cast<double>(aFreq), static_cast<double>(aAmpl), static_cast<double>(aPhase));
}
