// The engine as an LV2 instrument: one Engine per instance, played by MIDI
// through NoteKeys (as the program's JACK input is), its console parameters
// as control ports, the same sample on both outputs.
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstring>
#include <new>

#include "lv2/host_renderer.h"
#include "synth/engine.h"
#include "synth/note_keys.h"

namespace {

constexpr const char* kUri = "urn:synth:lv2";

// Port indices, as in synth.ttl.
enum Port : uint32_t {
    kOut1,
    kOut2,
    kMidiIn,
    kAttack,
    kDecay,
    kSustain,
    kOsc1Waveform,
    kOsc1Amplitude,
    kPhaseLfoWaveform,
    kPhaseLfoFrequency,
    kPhaseLfoAmplitude,
    kFrequencyLfoWaveform,
    kFrequencyLfoFrequency,
    kFrequencyLfoAmplitude,
    kAmplitudeLfoWaveform,
    kAmplitudeLfoFrequency,
    kAmplitudeLfoAmplitude,
    kLatency,
    kPortCount
};

// An oscillator value as the console leaves it: not above 0.0001 is 0.
float clamped(float value) { return static_cast<double>(value) > 0.0001 ? value : 0.0f; }

// A waveform port's value as a waveform number, 1 to 5.
int waveformOf(float value) {
    if (!(value >= Vco::kSine)) return Vco::kSine;
    if (value >= Vco::kNoise) return Vco::kNoise;
    return static_cast<int>(std::lround(value));
}

class Instrument {
public:
    Instrument(double rate, LV2_URID midiEvent)
        : keys_(engine_.synth, engine_.vca), renderer_(engine_, keys_, rate), midiEvent_(midiEvent) {}

    bool ready() const { return renderer_.ready(); }
    void connect(uint32_t port, void* data) {
        if (port < kPortCount) ports_[port] = data;
    }
    void activate() { renderer_.restart(); }

    void run(uint32_t frames) {
        applyControls();
        if (const auto* midi = static_cast<const LV2_Atom_Sequence*>(ports_[kMidiIn])) {
            LV2_ATOM_SEQUENCE_FOREACH(midi, event) {
                if (event->body.type != midiEvent_) continue;
                const int64_t at = event->time.frames;
                const uint32_t offset = at < 0 ? 0 : at > int64_t(frames) ? frames : uint32_t(at);
                renderer_.queue(offset, static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&event->body)),
                                event->body.size);
            }
        }
        auto* left = static_cast<float*>(ports_[kOut1]);
        auto* right = static_cast<float*>(ports_[kOut2]);
        if (left != nullptr) {
            renderer_.render(left, frames);
            if (right != nullptr && right != left) std::memcpy(right, left, frames * sizeof(float));
        }
        if (auto* latency = static_cast<float*>(ports_[kLatency])) *latency = float(renderer_.latency());
    }

private:
    float control(Port port, float fallback) const {
        const auto* value = static_cast<const float*>(ports_[port]);
        return value != nullptr ? *value : fallback;
    }

    // The console's parameters from the control ports, as its keys leave them.
    void applyControls() {
        Vca& vca = engine_.vca;
        vca.attack = control(kAttack, vca.attack);
        vca.decay = control(kDecay, vca.decay);
        vca.sustain = control(kSustain, vca.sustain);
        struct Edited {
            Vco& oscillator;
            Port waveform, frequency, amplitude;
        };
        const Edited edited[] = {
            {engine_.osc1(), kOsc1Waveform, kPortCount, kOsc1Amplitude},
            {engine_.phaseLfo(), kPhaseLfoWaveform, kPhaseLfoFrequency, kPhaseLfoAmplitude},
            {engine_.frequencyLfo(), kFrequencyLfoWaveform, kFrequencyLfoFrequency, kFrequencyLfoAmplitude},
            {engine_.amplitudeLfo(), kAmplitudeLfoWaveform, kAmplitudeLfoFrequency, kAmplitudeLfoAmplitude},
        };
        for (const Edited& e : edited) {
            e.oscillator.waveform = waveformOf(control(e.waveform, e.oscillator.waveform));
            e.oscillator.ampl = clamped(control(e.amplitude, e.oscillator.ampl));
            // OSC1's frequency follows the note: no port.
            if (e.frequency != kPortCount) e.oscillator.freq = clamped(control(e.frequency, e.oscillator.freq));
        }
    }

    Engine engine_;
    NoteKeys keys_;
    HostRenderer renderer_;
    LV2_URID midiEvent_;
    void* ports_[kPortCount] = {};
};

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        if (std::strcmp(features[i]->URI, LV2_URID__map) == 0)
            map = static_cast<const LV2_URID_Map*>(features[i]->data);
    }
    if (map == nullptr) return nullptr;
    auto* instrument = new (std::nothrow) Instrument(rate, map->map(map->handle, LV2_MIDI__MidiEvent));
    if (instrument != nullptr && !instrument->ready()) {
        delete instrument;
        return nullptr;
    }
    return instrument;
}

void connectPort(LV2_Handle instance, uint32_t port, void* data) {
    static_cast<Instrument*>(instance)->connect(port, data);
}

void activate(LV2_Handle instance) { static_cast<Instrument*>(instance)->activate(); }

void run(LV2_Handle instance, uint32_t frames) { static_cast<Instrument*>(instance)->run(frames); }

void cleanup(LV2_Handle instance) { delete static_cast<Instrument*>(instance); }

const void* extensionData(const char*) { return nullptr; }

const LV2_Descriptor kDescriptor = {kUri, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
