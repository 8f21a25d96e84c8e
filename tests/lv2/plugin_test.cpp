// The plugin as a host sees it: the bundle in the build tree loaded through
// lilv, two instances at once, rendered against Engines played the same way.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "synth/engine.h"
#include "synth/note_keys.h"

namespace {

constexpr uint8_t kNoteOn = 0x90, kNoteOff = 0x80;

struct Note {
    uint64_t frame;  // from the first run
    uint8_t message[3];
};

class UridMap {
public:
    LV2_URID map(const char* uri) { return ids_.emplace(uri, LV2_URID(ids_.size() + 1)).first->second; }
    const LV2_Feature* const* features() const { return features_; }

private:
    static LV2_URID mapUri(LV2_URID_Map_Handle handle, const char* uri) {
        return static_cast<UridMap*>(handle)->map(uri);
    }
    std::map<std::string, LV2_URID> ids_;
    LV2_URID_Map map_{this, mapUri};
    LV2_Feature feature_{LV2_URID__map, &map_};
    const LV2_Feature* features_[2] = {&feature_, nullptr};
};

// The bundle, loaded once.
class Bundle {
public:
    Bundle() : world_(lilv_world_new()) {
        LilvNode* bundle = lilv_new_file_uri(world_, nullptr, SYNTH_LV2_BUNDLE "/");
        lilv_world_load_bundle(world_, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world_, "urn:synth:lv2");
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
        lilv_node_free(uri);
    }
    ~Bundle() { lilv_world_free(world_); }
    LilvWorld* world() const { return world_; }
    const LilvPlugin* plugin() const { return plugin_; }

    const LilvPort* port(const char* symbol) const {
        LilvNode* node = lilv_new_string(world_, symbol);
        const LilvPort* p = lilv_plugin_get_port_by_symbol(plugin_, node);
        lilv_node_free(node);
        return p;
    }
    uint32_t index(const char* symbol) const {
        const LilvPort* p = port(symbol);
        EXPECT_NE(nullptr, p) << symbol;
        return p != nullptr ? lilv_port_get_index(plugin_, p) : 0;
    }

private:
    LilvWorld* world_;
    const LilvPlugin* plugin_ = nullptr;
};

// One instance with every port connected, the controls at their defaults.
class Host {
public:
    Host(const Bundle& bundle, double rate) : bundle_(bundle) {
        midiEvent_ = urids_.map(LV2_MIDI__MidiEvent);
        sequence_ = urids_.map(LV2_ATOM__Sequence);
        instance_ = lilv_plugin_instantiate(bundle.plugin(), rate, urids_.features());
        const uint32_t ports = lilv_plugin_get_num_ports(bundle.plugin());
        controls_.resize(ports);
        lilv_plugin_get_port_ranges_float(bundle.plugin(), nullptr, nullptr, controls_.data());
        if (instance_ == nullptr) return;
        for (uint32_t i = 0; i < ports; ++i) lilv_instance_connect_port(instance_, i, &controls_[i]);
        lilv_instance_connect_port(instance_, bundle.index("out_1"), out_[0]);
        lilv_instance_connect_port(instance_, bundle.index("out_2"), out_[1]);
        lilv_instance_connect_port(instance_, bundle.index("midi_in"), midi_);
        lilv_instance_activate(instance_);
    }
    ~Host() {
        if (instance_ == nullptr) return;
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }
    bool ok() const { return instance_ != nullptr; }
    float& control(const char* symbol) { return controls_[bundle_.index(symbol)]; }

    // One run of frames with the notes that fall in it; out_1 and out_2
    // appended to left and right.
    void run(uint32_t frames, const std::vector<Note>& notes, std::vector<float>& left,
             std::vector<float>& right) {
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(midi_);
        seq->atom.type = sequence_;
        seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
        seq->body = {0, 0};
        for (const Note& n : notes) {
            if (n.frame < done_ || n.frame >= done_ + frames) continue;
            struct {
                LV2_Atom_Event event;
                uint8_t message[3];
            } e{};
            e.event.time.frames = int64_t(n.frame - done_);
            e.event.body = {3, midiEvent_};
            std::memcpy(e.message, n.message, 3);
            lv2_atom_sequence_append_event(seq, sizeof midi_ - sizeof(LV2_Atom), &e.event);
        }
        lilv_instance_run(instance_, frames);
        left.insert(left.end(), out_[0], out_[0] + frames);
        right.insert(right.end(), out_[1], out_[1] + frames);
        done_ += frames;
    }

    static constexpr uint32_t kMaxBlock = 8192;

private:
    const Bundle& bundle_;
    UridMap urids_;
    LV2_URID midiEvent_, sequence_;
    LilvInstance* instance_ = nullptr;
    std::vector<float> controls_;
    float out_[2][kMaxBlock];
    uint64_t midi_[512];  // 8-byte aligned, as atoms are
    uint64_t done_ = 0;
};

// An Engine played as a host plays the plugin: each note before its frame.
struct Reference {
    std::vector<int16_t> render(uint64_t from, uint64_t frames, const std::vector<Note>& notes) {
        std::vector<int16_t> samples;
        for (uint64_t f = from; f < from + frames; ++f) {
            for (const Note& n : notes) {
                if (n.frame == f) keys.handle(n.message, 3);
            }
            samples.push_back(engine.renderFrame());
        }
        return samples;
    }
    Engine engine;
    NoteKeys keys{engine.synth, engine.vca};
};

TEST(PluginTest, PortsAreTheConsoleParametersAtTheProgramsStartValues) {
    Bundle bundle;
    ASSERT_NE(nullptr, bundle.plugin());
    for (const char* symbol : {"out_1", "out_2", "midi_in"}) EXPECT_NE(nullptr, bundle.port(symbol)) << symbol;
    Engine fresh;
    const struct {
        const char* symbol;
        float start;
    } controls[] = {
        {"attack", fresh.vca.attack},
        {"decay", fresh.vca.decay},
        {"sustain", fresh.vca.sustain},
        {"osc1_waveform", float(fresh.osc1().waveform)},
        {"osc1_amplitude", fresh.osc1().ampl},
        {"phase_lfo_waveform", float(fresh.phaseLfo().waveform)},
        {"phase_lfo_frequency", fresh.phaseLfo().freq},
        {"phase_lfo_amplitude", fresh.phaseLfo().ampl},
        {"frequency_lfo_waveform", float(fresh.frequencyLfo().waveform)},
        {"frequency_lfo_frequency", fresh.frequencyLfo().freq},
        {"frequency_lfo_amplitude", fresh.frequencyLfo().ampl},
        {"amplitude_lfo_waveform", float(fresh.amplitudeLfo().waveform)},
        {"amplitude_lfo_frequency", fresh.amplitudeLfo().freq},
        {"amplitude_lfo_amplitude", fresh.amplitudeLfo().ampl},
    };
    std::vector<float> defaults(lilv_plugin_get_num_ports(bundle.plugin()));
    lilv_plugin_get_port_ranges_float(bundle.plugin(), nullptr, nullptr, defaults.data());
    LilvNode* enumeration = lilv_new_uri(bundle.world(), LV2_CORE__enumeration);
    for (const auto& c : controls) {
        EXPECT_EQ(c.start, defaults[bundle.index(c.symbol)]) << c.symbol;
        const LilvPort* port = bundle.port(c.symbol);
        if (port == nullptr || std::strstr(c.symbol, "waveform") == nullptr) continue;
        EXPECT_TRUE(lilv_port_has_property(bundle.plugin(), port, enumeration)) << c.symbol;
        LilvScalePoints* points = lilv_port_get_scale_points(bundle.plugin(), port);
        std::map<int, std::string> names;
        LILV_FOREACH (scale_points, i, points) {
            const LilvScalePoint* p = lilv_scale_points_get(points, i);
            const int value = lilv_node_as_int(lilv_scale_point_get_value(p));
            names[value] = lilv_node_as_string(lilv_scale_point_get_label(p));
        }
        lilv_scale_points_free(points);
        const std::map<int, std::string> waveforms{
            {1, "sine"}, {2, "ramp"}, {3, "centred ramp"}, {4, "square"}, {5, "noise"}};
        EXPECT_EQ(waveforms, names) << c.symbol;
    }
    lilv_node_free(enumeration);
}

// At 44100 Hz each instance's output times 32768 is its Engine's sample,
// whatever the block sizes and while another instance plays beside it (both
// draw noise, each with its own settings and notes).
TEST(PluginTest, TwoInstancesRenderAsTwoEnginesSampleForSample) {
    Bundle bundle;
    ASSERT_NE(nullptr, bundle.plugin());
    Host a(bundle, 44100), b(bundle, 44100);
    ASSERT_TRUE(a.ok() && b.ok());
    Reference ra, rb;
    Engine& ea = ra.engine;
    Engine& eb = rb.engine;

    a.control("phase_lfo_waveform") = 5;
    a.control("phase_lfo_frequency") = 440.0f;
    a.control("phase_lfo_amplitude") = 0.3f;
    a.control("frequency_lfo_frequency") = 3.0f;
    a.control("frequency_lfo_amplitude") = 0.05f;
    a.control("attack") = 5.0f;
    ea.phaseLfo().waveform = 5;
    ea.phaseLfo().freq = 440.0f;
    ea.phaseLfo().ampl = 0.3f;
    ea.frequencyLfo().freq = 3.0f;
    ea.frequencyLfo().ampl = 0.05f;
    ea.vca.attack = 5.0f;

    b.control("osc1_waveform") = 4;
    b.control("frequency_lfo_waveform") = 5;
    b.control("frequency_lfo_frequency") = 440.0f;
    b.control("frequency_lfo_amplitude") = 0.02f;
    b.control("sustain") = 0.1f;
    eb.osc1().waveform = 4;
    eb.frequencyLfo().waveform = 5;
    eb.frequencyLfo().freq = 440.0f;
    eb.frequencyLfo().ampl = 0.02f;
    eb.vca.sustain = 0.1f;

    const std::vector<Note> notesA = {{100, {kNoteOn, 81, 100}}, {5000, {kNoteOn, 69, 100}},
                                      {9001, {kNoteOff, 69, 0}}, {20000, {kNoteOff | 3, 81, 0}}};
    const std::vector<Note> notesB = {{7, {kNoteOn | 1, 60, 1}}, {8192, {kNoteOn, 60, 0}}};
    const uint32_t blocks[] = {1, 7, 64, 1000, 8192, 333, 128, 8192, 5000, 1};
    std::vector<float> left[2], right[2];
    std::vector<int16_t> expected[2];
    uint64_t done = 0;
    for (uint32_t frames : blocks) {
        a.run(frames, notesA, left[0], right[0]);
        b.run(frames, notesB, left[1], right[1]);
        for (int16_t s : ra.render(done, frames, notesA)) expected[0].push_back(s);
        for (int16_t s : rb.render(done, frames, notesB)) expected[1].push_back(s);
        done += frames;
        if (done > 10000 && ea.osc1().ampl == 1.0f) {  // a control moved between runs
            a.control("osc1_amplitude") = 0.5f;
            ea.osc1().ampl = 0.5f;
        }
    }
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(done, left[k].size());
        for (size_t i = 0; i < done; ++i) {
            ASSERT_EQ(expected[k][i], left[k][i] * 32768.0f) << "instance " << k << ", frame " << i;
            ASSERT_EQ(left[k][i], right[k][i]) << "instance " << k << ", frame " << i;
        }
    }
    EXPECT_NE(expected[0], expected[1]);
}

// At another rate the converter makes the output; how the host cuts it into
// blocks changes nothing, and a note is applied where it falls.
TEST(PluginTest, AtOtherRatesBlockSizesChangeNothing) {
    Bundle bundle;
    ASSERT_NE(nullptr, bundle.plugin());
    Host small(bundle, 48000), large(bundle, 48000);
    ASSERT_TRUE(small.ok() && large.ok());
    const std::vector<Note> notes = {{1000, {kNoteOn, 81, 100}}, {20000, {kNoteOff, 81, 0}}};
    std::vector<float> left[2], right[2];
    const uint32_t total = 4 * 8192;
    for (uint32_t done = 0, i = 0; done < total; ++i) {
        const uint32_t frames = std::min<uint32_t>(1 + (i * 37) % 300, total - done);
        small.run(frames, notes, left[0], right[0]);
        done += frames;
    }
    for (uint32_t done = 0; done < total; done += 8192) large.run(8192, notes, left[1], right[1]);
    for (uint32_t i = 0; i < total; ++i) ASSERT_NEAR(left[1][i], left[0][i], 1e-4) << "frame " << i;
    EXPECT_EQ(left[0], right[0]);
    const float latency = small.control("latency");
    EXPECT_GT(latency, 0.0f);
    EXPECT_LE(latency, 96.0f);  // 2 ms
}

}  // namespace
