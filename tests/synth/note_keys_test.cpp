// NoteKeys: the MIDI messages a keyboard, a sequencer or a host sends.
#include "synth/note_keys.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using Message = std::vector<int>;

struct Played {
    Synth* synth;
    Vca envelope;
    std::string reports;  // "T" per trigger, "U" per release
    NoteKeys keys;

    explicit Played(int channel)
        : synth(newSynth()), keys(*synth, envelope, [](NoteKeys::Event e, void* self) {
              static_cast<Played*>(self)->reports += e == NoteKeys::kTrig ? "T" : "U";
          }, this) {
        keys.setChannel(channel);
    }
    ~Played() { delete synth; }

    static Synth* newSynth() {
        testing::internal::CaptureStdout();
        Synth* s = new Synth();
        testing::internal::GetCapturedStdout();
        return s;
    }
    void send(const std::vector<Message>& messages) {
        for (const Message& m : messages) {
            const unsigned char bytes[3] = {static_cast<unsigned char>(m[0]),
                                            static_cast<unsigned char>(m.size() > 1 ? m[1] : 0),
                                            static_cast<unsigned char>(m.size() > 2 ? m[2] : 0)};
            keys.handle(bytes, static_cast<int>(m.size()));
        }
    }
    int midiNote() const { return synth->slots[0].note + NoteKeys::kNoteOffset; }
};

Message on(int note, int channel = 1) { return {0x8F + channel, note, 100}; }
Message off(int note, int channel = 1) { return {0x7F + channel, note, 0}; }
Message cc(int number, int value, int channel = 1) { return {0xAF + channel, number, value}; }
Message wheel(int value, int channel = 1) { return {0xDF + channel, value & 0x7F, value >> 7}; }

TEST(NoteKeysTest, NotesPedalAndControllers) {
    struct Case {
        const char* name;
        int channel;
        std::vector<Message> messages;
        int note;             // MIDI note the slots sound after
        const char* reports;
    };
    const Case cases[] = {
        {"last note wins", 0, {on(60), on(62), on(64), off(64)}, 62, "T"},
        {"held below the top", 0, {on(60), on(62), on(64), off(62), off(64)}, 60, "T"},
        {"last release closes", 0, {on(60), on(62), off(62), off(60)}, 60, "TU"},
        {"velocity 0 is a note-off", 0, {on(60), {0x90, 60, 0}}, 60, "TU"},
        {"velocity ignored", 0, {{0x90, 60, 1}, {0x90, 62, 127}}, 62, "T"},
        {"CC 123 forgets every note", 0, {on(60), on(62), cc(123, 0), on(64), off(60), off(62)}, 64, "TUT"},
        {"CC 120 likewise", 0, {on(60), cc(120, 0), on(62)}, 62, "TUT"},
        {"CC 123 with nothing held", 0, {cc(123, 0)}, 69, ""},
        {"pedal keeps a note-off", 0, {cc(64, 127), on(60), off(60)}, 60, "T"},
        {"pedal up applies it", 0, {cc(64, 127), on(60), off(60), cc(64, 0)}, 60, "TU"},
        {"pedal up in order, legato", 0,
         {on(60), cc(64, 127), on(62), on(64), off(64), off(62), cc(64, 0)}, 60, "T"},
        {"struck again under the pedal", 0, {cc(64, 127), on(60), off(60), on(60), cc(64, 0)}, 60, "TT"},
        {"CC 121 lifts the pedal", 0, {cc(64, 127), on(60), off(60), cc(121, 0)}, 60, "TU"},
        {"channel 1 only", 1, {on(60, 2), on(62), off(62, 5), cc(123, 0, 10)}, 62, "T"},
        {"all channels", 0, {on(60, 16), off(60, 10)}, 60, "TU"},
        {"program change ignored", 0, {{0xC0, 5}, {0xC0, 5, 0}}, 69, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Played played(c.channel);
        played.send(c.messages);
        EXPECT_EQ(played.midiNote(), c.note);
        EXPECT_EQ(played.synth->slots[1].note, played.synth->slots[0].note);
        EXPECT_EQ(played.reports, c.reports);
    }
}

TEST(NoteKeysTest, BendTargets) {
    const float up = std::exp2(2.0f / 12), down = std::exp2(-2.0f / 12);
    struct Case {
        const char* name;
        int channel;
        std::vector<Message> messages;
        float bend;
    };
    const Case cases[] = {
        {"centre", 0, {wheel(16383), wheel(8192)}, 1.0f},
        {"full up: two semitones", 0, {wheel(16383)}, up},
        {"full down", 0, {wheel(0)}, down},
        {"RPN 0: an octave", 0, {cc(101, 0), cc(100, 0), cc(6, 12), wheel(16383)}, 2.0f},
        {"RPN 0: semitones and cents", 0, {cc(101, 0), cc(100, 0), cc(6, 1), cc(38, 50), wheel(0)},
         std::exp2(-1.5f / 12)},
        {"range applies to a held wheel", 0, {wheel(16383), cc(101, 0), cc(100, 0), cc(6, 12)}, 2.0f},
        {"another RPN", 0, {cc(101, 0), cc(100, 1), cc(6, 12), wheel(16383)}, up},
        {"CC 121 centres", 0, {wheel(16383), cc(121, 0)}, 1.0f},
        {"other channel", 3, {wheel(16383, 2)}, 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Played played(c.channel);
        played.send(c.messages);
        EXPECT_FLOAT_EQ(played.synth->bend, c.bend);
    }
}

// MIDI 69 bent fully up sounds two semitones higher once the glide is over;
// back at centre the carriers are left exactly as without a wheel.
TEST(NoteKeysTest, BendGlidesAndReturnsExactly) {
    vca = nullptr;  // the envelope closed: no pitch bend of its own
    Played played(0), untouched(0);
    const auto frequency = [&](int frames) {
        int crossings = 0;
        float last = played.synth->getOutput();
        for (int i = 0; i < frames; ++i) {
            played.synth->tick();
            const float now = played.synth->getOutput();
            crossings += (last < 0) != (now < 0);
            last = now;
        }
        return crossings * 44100.0 / (2.0 * frames);
    };
    played.send({on(69), wheel(16383)});
    frequency(4410);  // 100 ms of glide
    EXPECT_NEAR(frequency(44100), 493.9, 1.0);
    played.send({wheel(8192)});
    frequency(4410);
    EXPECT_EQ(played.synth->bendNow, 1.0f);
    EXPECT_NEAR(frequency(44100), 440.0, 1.0);

    // A centred wheel on a fresh patch: bit for bit the patch without one.
    Played centred(0);
    centred.send({wheel(8192)});
    for (int i = 0; i < 2000; ++i) {
        centred.synth->tick();
        untouched.synth->tick();
        ASSERT_EQ(centred.synth->getOutput(), untouched.synth->getOutput()) << "sample " << i;
    }
}

}  // namespace
