// MIDI note keys, through the handler the program registers with the sound
// layer (called here as the stream thread would).
#include <gtest/gtest.h>

#include <string>

#include "app/program.h"
#include "tests/app/fakes.h"

namespace {

class MidiKeysTest : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        synth = new Synth();
        vca = new Vca();
        testing::internal::GetCapturedStdout();
        startMidiKeys();
        ASSERT_NE(fake::midiHandler, nullptr);
    }
    void TearDown() override {
        delete vca;
        delete synth;
        vca = nullptr;
        synth = nullptr;
    }

    void send(int status, int note, int velocity) {
        const unsigned char message[3] = {static_cast<unsigned char>(status),
                                          static_cast<unsigned char>(note),
                                          static_cast<unsigned char>(velocity)};
        fake::midiHandler(message, 3, fake::midiUser);
        vca->tick();
    }
    // The messages the main loop prints for what was sent since the last call.
    std::string printed() {
        testing::internal::CaptureStdout();
        drainMidiKeys();
        return testing::internal::GetCapturedStdout();
    }
    std::pair<int, int> notes() const { return {synth->slots[0].note, synth->slots[1].note}; }
};

TEST_F(MidiKeysTest, OneVoiceWithLastNotePriority) {
    send(0x90, 81, 100);  // MIDI 81: note 70 on both slots, and a trigger
    EXPECT_EQ(notes(), std::make_pair(70, 70));
    EXPECT_EQ(vca->gate, 1);
    EXPECT_EQ(printed(), "\nTRIG\n");

    send(0x91, 69, 100);  // held with 81: legato, any channel
    send(0x90, 72, 100);
    EXPECT_EQ(notes(), std::make_pair(61, 61));
    send(0x80, 69, 0);    // held, not sounding: nothing moves
    EXPECT_EQ(notes(), std::make_pair(61, 61));
    send(0x80, 72, 0);    // back to the most recent held note
    EXPECT_EQ(notes(), std::make_pair(70, 70));
    EXPECT_EQ(printed(), "");
    EXPECT_EQ(vca->released, 0);

    send(0x90, 81, 0);    // velocity 0 is a note-off: the last one releases
    EXPECT_EQ(vca->released, 1);
    EXPECT_EQ(printed(), "UNTRIG\n");
}

TEST_F(MidiKeysTest, AFloodPrintsTheStateItLeft) {
    for (int i = 0; i < 3; ++i) {
        send(0x90, 60, 100);
        send(0x80, 60, 0);
    }
    EXPECT_EQ(printed(), "\nTRIG\nUNTRIG\n\nTRIG\nUNTRIG\n\nTRIG\nUNTRIG\n");
    for (int i = 0; i < 500; ++i) {
        send(0x90, 60, 100);
        send(0x80, 60, 0);
    }
    send(0x90, 62, 100);
    EXPECT_EQ(printed(), "UNTRIG\n\nTRIG\n");
}

TEST_F(MidiKeysTest, OtherMessagesAreIgnored) {
    send(0x80, 60, 64);   // nothing held
    send(0xB0, 1, 127);   // modulation wheel
    send(0xA0, 60, 64);   // polyphonic aftertouch
    const unsigned char clock = 0xF8;
    fake::midiHandler(&clock, 1, fake::midiUser);
    EXPECT_EQ(notes(), std::make_pair(58, 58));
    EXPECT_EQ(vca->gate, 0);
    EXPECT_EQ(printed(), "");
}

}  // namespace
