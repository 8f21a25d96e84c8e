// Console parameter keys and the status block.
#include <cstdio>

#include "app/program.h"

Vco* osc1 = nullptr;
Vco* phaseLfo = nullptr;
Vco* frequencyLfo = nullptr;
Vco* amplitudeLfo = nullptr;
int displayedNote = 58;

int osc1WaveformCounter = 0;
int phaseLfoWaveformCounter = 0;
int frequencyLfoWaveformCounter = 0;
int amplitudeLfoWaveformCounter = 0;

void findEditedOscillators() {
    VcoSlot& slot0 = synth->slots[0];
    osc1 = slot0.carrier;
    phaseLfo = slot0.modulators[0];
    frequencyLfo = slot0.modulators[1];
    amplitudeLfo = slot0.modulators[2];
}

namespace {

// Steps: the first two are single-precision constants, the others double.
constexpr float kTimeStep = 100.0f;     // attack, decay
constexpr float kWholeStep = 1.0f;      // amplitude LFO frequency
constexpr double kHalfStep = 0.5;       // phase LFO frequency
constexpr double kTenthStep = 0.1;      // frequency LFO frequency, sustain
constexpr double kAmplitudeStep = 0.01;
constexpr double kClampFloor = 0.0001;

// Sum at double precision, stored in single precision.
void add(Shared<float>& value, double step) {
    value = static_cast<float>(static_cast<double>(value) + step);
}

void stepWaveform(int& counter, Vco* oscillator) {
    if (counter > 5) counter = 1;
    if (counter >= 1 && counter <= 5) oscillator->waveform = counter;
}

void clamp(Shared<float>& value) {
    if (static_cast<double>(value) <= kClampFloor) value = 0.0f;
}

}  // namespace

void printStatus() {
    std::printf("Note [%d] -> [%f]\n", displayedNote, static_cast<double>(osc1->freq));
    osc1->print();
    phaseLfo->print();
    frequencyLfo->print();
    amplitudeLfo->print();
    vca->print();
    std::fflush(stdout);
}

void applyKey(int key) {
    switch (static_cast<signed char>(key)) {
        case ',': add(vca->attack, kTimeStep); break;
        case ';': add(vca->attack, -kTimeStep); break;
        case ':': add(vca->decay, kTimeStep); break;
        case '=': add(vca->decay, -kTimeStep); break;
        case ')': add(vca->sustain, kTenthStep); break;
        case '-': vca->sustain = 0.0f; break;
        case '+': ++osc1WaveformCounter; break;
        case '7': ++phaseLfoWaveformCounter; break;
        case '8': ++frequencyLfoWaveformCounter; break;
        case '9': ++amplitudeLfoWaveformCounter; break;
        case 'z': add(osc1->ampl, kAmplitudeStep); break;
        case 's': add(osc1->ampl, -kAmplitudeStep); break;
        case 'e': add(phaseLfo->freq, kHalfStep); break;
        case 'd': add(phaseLfo->freq, -kHalfStep); break;
        case 'r': add(phaseLfo->ampl, kAmplitudeStep); break;
        case 'f': add(phaseLfo->ampl, -kAmplitudeStep); break;
        case 't': add(frequencyLfo->freq, kTenthStep); break;
        case 'g': add(frequencyLfo->freq, -kTenthStep); break;
        case 'y': add(frequencyLfo->ampl, kAmplitudeStep); break;
        case 'h': add(frequencyLfo->ampl, -kAmplitudeStep); break;
        case 'u': add(amplitudeLfo->freq, kWholeStep); break;
        case 'j': add(amplitudeLfo->freq, -kWholeStep); break;
        case 'i': add(amplitudeLfo->ampl, kAmplitudeStep); break;
        case 'k': add(amplitudeLfo->ampl, -kAmplitudeStep); break;
        default: break;
    }

    stepWaveform(osc1WaveformCounter, osc1);
    stepWaveform(phaseLfoWaveformCounter, phaseLfo);
    stepWaveform(frequencyLfoWaveformCounter, frequencyLfo);
    stepWaveform(amplitudeLfoWaveformCounter, amplitudeLfo);

    Vco* const edited[] = {osc1, phaseLfo, frequencyLfo, amplitudeLfo};
    for (Vco* oscillator : edited) clamp(oscillator->ampl);
    for (Vco* oscillator : edited) clamp(oscillator->freq);
    for (Vco* oscillator : edited) clamp(oscillator->phase);

    printStatus();
}
