#pragma once
// A plain, per-sample translation of the fixed patch, written independently
// of the engine: no atomics, no caches, three substring searches and one
// power per slot at every sample, one sine per call. Used as the oracle that
// the engine's faster rendering must match sample for sample, and as the
// baseline of the instruction-count measurement.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace plain {

struct Lcg {
    uint32_t s = 1;
    int next() {
        s = s * 214013u + 2531011u;
        return static_cast<int>((s >> 16) & 0x7fff);
    }
};

struct Osc {
    Osc(float a, float f, int w) : ampl(a), freq(f), aAmpl(a), aFreq(f), waveform(w) {}
    float output = 0, cycle = 0, phase = 1, ampl, freq, aPhase = 1, aAmpl, aFreq;
    int waveform;

    void reset() { aFreq = freq; aPhase = phase; aAmpl = ampl; }

    void tick(Lcg& rng) {
        cycle = static_cast<float>(cycle + aFreq / 44100.0);
        if (cycle > 10.0) cycle = static_cast<float>(cycle - 10.0);
        if (waveform == 1) {
            output = static_cast<float>(std::sin((static_cast<double>(cycle) + aPhase) * 6.2831853) * aAmpl);
        } else if (waveform == 2) {
            output = cycle * aAmpl;
        } else if (waveform == 3) {
            output = static_cast<float>(static_cast<double>(cycle) * aAmpl - 0.5);
        } else if (waveform == 4) {
            output = static_cast<float>(std::sin((static_cast<double>(cycle) + aPhase) * 6.2831853) * 1.0);
            if (output > 0.5) output = 1.0f * aAmpl;
            if (output >= 0 && output <= 0.5) output = 0;
            if (output >= -0.5 && output < 0) output = 0;
            if (output < -0.5) output = -1.0f * aAmpl;
        } else if (waveform == 5) {
            if (aAmpl == 0) {
                output = 0;
            } else {
                // Finite, modest values only: the oracle is not for bad input.
                float v = 0;
                const long m1 = static_cast<long>(aFreq - 439.0) + 1;
                const int r = rng.next();
                if (m1 != 0 && r % m1 == 1) {
                    const long m2 = static_cast<long>(aAmpl * 100.0) + 111;
                    const int r2 = rng.next();
                    v = m2 != 0 ? static_cast<float>(r2 % m2) : 0.0f;
                }
                output = static_cast<float>((v - aAmpl * 50.0) / 100.0);
            }
        }
    }
};

struct Slot {
    std::vector<Osc*> modulators;
    std::vector<const char*> targets;
    Osc* carrier;
    int note;
};

// The fixed patch, oscillators in construction order.
struct Patch {
    Osc first{1, 440, 1}, second{1, 0, 1}, third{1, 0, 1}, fourth{1, 0, 1}, fifth{1, 880, 1};
    std::vector<Slot> slots{
        {{&fourth, &third, &second}, {"PHASE", "FREQUENCE", "AMPLITUDE"}, &first, 58},
        {{}, {}, &fifth, 58},
    };
    Lcg rng;

    float tick(float envelopeLevel) {
        float sum = 0;
        for (Slot& slot : slots) {
            Osc& c = *slot.carrier;
            c.reset();
            c.freq = static_cast<float>(8.1757989 * std::pow(2.0, (slot.note + 11) / 12.0));
            for (size_t i = 0; i < slot.modulators.size(); ++i) {
                Osc& m = *slot.modulators[i];
                m.reset();
                m.tick(rng);
                const double out = m.output;
                if (m.aAmpl != 0 && m.aFreq != 0 && std::strstr(slot.targets[i], "AMPLITUDE"))
                    c.aAmpl = static_cast<float>(c.aAmpl + out * c.aAmpl);
                if (std::strstr(slot.targets[i], "FREQUENCE"))
                    c.aFreq = static_cast<float>(c.aFreq + out * c.aFreq);
                if (std::strstr(slot.targets[i], "PHASE"))
                    c.aPhase = static_cast<float>(c.aPhase + out * c.aPhase);
            }
            c.aFreq = static_cast<float>(c.aFreq + static_cast<double>(envelopeLevel) * c.aFreq);
            c.tick(rng);
            sum = static_cast<float>(sum + c.output * 10000.0);
        }
        return sum;
    }
};

// 16-bit sample of a patch output: truncate, keep the low 16 bits.
inline int16_t sampleOf(float s) {
    if (std::isnan(s) || std::fabs(s) >= 9.2e18f) return 0;
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<long long>(s) & 0xffff));
}

}  // namespace plain
