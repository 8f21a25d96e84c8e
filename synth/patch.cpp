#include "synth/patch.h"

#include <cmath>
#include <cstdio>
#include <cstring>

const char* const kTargetAmplitude = "AMPLITUDE";
const char* const kTargetFrequency = "FREQUENCE";
const char* const kTargetPhase = "PHASE";

Synth* synth = nullptr;
Vca* vca = nullptr;

namespace {

// The bend glides with a time constant of 5 ms (1 - e^(-1/220.5)), and lands
// on its target once a step no longer moves it (some 1e-5 of it away).
constexpr float kBendGlide = 0.0045249f;

enum TargetBits : unsigned { kActsOnAmplitude = 1, kActsOnFrequency = 2, kActsOnPhase = 4 };

// Each target test is a substring test of its own.
unsigned targetMask(const char* target) {
    if (target == nullptr) return 0;
    unsigned mask = 0;
    if (std::strstr(target, kTargetAmplitude)) mask |= kActsOnAmplitude;
    if (std::strstr(target, kTargetFrequency)) mask |= kActsOnFrequency;
    if (std::strstr(target, kTargetPhase)) mask |= kActsOnPhase;
    return mask;
}

}  // namespace

void VcoSlot::addModulatorFront(Vco* modulator, const char* target) {
    modulators.insert(modulators.begin(), modulator);
    targets.insert(targets.begin(), target);
    refreshTargets();
}

void VcoSlot::refreshTargets() {
    targetTests.clear();
    for (const char* target : targets) targetTests.push_back({target, targetMask(target)});
}

float noteFrequency(int32_t note) {
    return static_cast<float>(8.1757989 * std::pow(2.0, (static_cast<double>(note) + 11) / 12.0));
}

Synth::Synth() : Synth(Quiet{}) { print(); }

Synth::Synth(Quiet) {
    Vco* first = new Vco(1.0f, 440.0f, Vco::kSine);
    Vco* second = new Vco(1.0f, 0.0f, Vco::kSine);
    Vco* third = new Vco(1.0f, 0.0f, Vco::kSine);
    Vco* fourth = new Vco(1.0f, 0.0f, Vco::kSine);
    Vco* fifth = new Vco(1.0f, 880.0f, Vco::kSine);

    VcoSlot slot0;
    slot0.carrier = first;
    slot0.note = 58;
    slot0.addModulatorFront(second, kTargetAmplitude);
    slot0.addModulatorFront(third, kTargetFrequency);
    slot0.addModulatorFront(fourth, kTargetPhase);

    VcoSlot slot1;
    slot1.carrier = fifth;
    slot1.note = 58;

    slots.insert(slots.begin(), slot1);
    slots.insert(slots.begin(), slot0);
}

void Synth::tick() {
    const Vca* const pitchEnvelope = envelope != nullptr ? envelope : vca;
    const double level = pitchEnvelope != nullptr ? pitchEnvelope->getLevel() : 0.0f;
    const float bendTarget = bend;
    if (bendNow != bendTarget) {
        const float next = bendNow + (bendTarget - bendNow) * kBendGlide;
        bendNow = next != bendNow ? next : bendTarget;
    }
    float sum = 0.0f;
    for (VcoSlot& slot : slots) {
        Vco& carrier = *slot.carrier;
        // The carrier's working values, kept in registers until its tick.
        float aFreq = carrier.freq, aAmpl = carrier.ampl, aPhase = carrier.phase;

        // Retuned after the reset: the carrier sounds last sample's note.
        const int32_t note = slot.note;
        if (note != slot.tunedNote) {
            slot.tunedFreq = noteFrequency(note);
            slot.tunedNote = note;
        }
        carrier.freq = slot.tunedFreq;

        const size_t count = slot.modulators.size() < slot.targets.size() ? slot.modulators.size()
                                                                          : slot.targets.size();
        const size_t tested = slot.targetTests.size();
        for (size_t i = 0; i < count; ++i) {
            Vco& modulator = *slot.modulators[i];
            modulator.reset();
            modulator.tick();
            const double m = modulator.output;
            const char* const target = slot.targets[i];
            const unsigned mask = i < tested && slot.targetTests[i].target == target ? slot.targetTests[i].acts
                                                                                     : targetMask(target);
            // Only the amplitude target is guarded by the modulator's own values.
            if ((mask & kActsOnAmplitude) && modulator.aAmpl != 0.0f && modulator.aFreq != 0.0f) {
                aAmpl = static_cast<float>(aAmpl + m * aAmpl);
            }
            if (mask & kActsOnFrequency) aFreq = static_cast<float>(aFreq + m * aFreq);
            if (mask & kActsOnPhase) aPhase = static_cast<float>(aPhase + m * aPhase);
        }

        // Pitch envelope: a level of 1 doubles the frequency.
        aFreq = static_cast<float>(aFreq + level * aFreq);
        if (bendNow != 1.0f) aFreq *= bendNow;

        carrier.aFreq = aFreq;
        carrier.aAmpl = aAmpl;
        carrier.aPhase = aPhase;
        carrier.tick();
        sum = static_cast<float>(sum + carrier.output * 10000.0);
    }
    output = sum;
}

void Synth::print() const {
    for (const VcoSlot& slot : slots) {
        std::printf("VCO [%p]\n", static_cast<void*>(slot.carrier));
        for (size_t i = 0; i < slot.modulators.size() && i < slot.targets.size(); ++i) {
            std::printf(" |---%14s <-- VCO [%p]\n", slot.targets[i], static_cast<void*>(slot.modulators[i]));
        }
    }
}

int16_t toSample(float value) {
    // Within [-2^63, 2^63) the truncation is defined; NaN fails both tests.
    if (!(value >= -9223372036854775808.0f && value < 9223372036854775808.0f)) return 0;
    const int64_t whole = static_cast<int64_t>(value);
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(whole) & 0xffffu));
}
