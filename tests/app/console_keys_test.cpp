// applyKey: the key table, waveform counters, clamps and the status block.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/program.h"

namespace {

class ConsoleKeysTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        synth = new Synth();
        testing::internal::GetCapturedStdout();
        vca = new Vca();
        findEditedOscillators();
        osc1WaveformCounter = phaseLfoWaveformCounter = 0;
        frequencyLfoWaveformCounter = amplitudeLfoWaveformCounter = 0;
        displayedNote = 58;
    }

    void TearDown() override {
        for (const VcoSlot& slot : synth->slots) {
            for (Vco* modulator : slot.modulators) delete modulator;
            delete slot.carrier;
        }
        delete synth;
        delete vca;
        synth = nullptr;
        vca = nullptr;
    }

    // Applies the keys `times` times over; returns what they printed.
    static std::string press(const std::string& keys, int times = 1) {
        testing::internal::CaptureStdout();
        for (int i = 0; i < times; ++i) {
            for (unsigned char key : keys) applyKey(key);
        }
        return testing::internal::GetCapturedStdout();
    }

    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> result;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

    // Every value a key may edit, in one comparable record.
    static std::vector<double> editable() {
        std::vector<double> values = {vca->attack, vca->decay, vca->sustain};
        for (Vco* vco : {osc1, phaseLfo, frequencyLfo, amplitudeLfo}) {
            values.insert(values.end(), {vco->ampl, vco->freq, vco->phase,
                                         static_cast<double>(vco->waveform)});
        }
        return values;
    }
};

using FieldOf = Shared<float>& (*)();

struct KeyCase {
    char key;
    const char* field;
    FieldOf of;
    float expected;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << "'" << c.key << "' " << c.field; }

class KeyTableTest : public ConsoleKeysTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTableTest, OnePressFromTheInitialPatch) {
    const KeyCase& c = GetParam();
    const std::vector<double> before = editable();
    press(std::string(1, c.key));
    EXPECT_FLOAT_EQ(c.of(), c.expected);
    // Nothing else moved (the waveform counters stay 0).
    std::vector<double> after = editable();
    int changed = 0;
    for (size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
    EXPECT_LE(changed, 1);
}

#define FIELD(expr) [] () -> Shared<float>& { return expr; }
INSTANTIATE_TEST_SUITE_P(
    Keys, KeyTableTest,
    ::testing::Values(
        KeyCase{',', "attack", FIELD(vca->attack), 110.0f},
        KeyCase{';', "attack", FIELD(vca->attack), -90.0f},  // not limited
        KeyCase{':', "decay", FIELD(vca->decay), 500.0f},
        KeyCase{'=', "decay", FIELD(vca->decay), 300.0f},
        KeyCase{')', "sustain", FIELD(vca->sustain), 0.1f},
        KeyCase{'z', "osc1 ampl", FIELD(osc1->ampl), 1.01f},
        KeyCase{'s', "osc1 ampl", FIELD(osc1->ampl), 0.99f},
        KeyCase{'e', "phase LFO freq", FIELD(phaseLfo->freq), 0.5f},
        KeyCase{'d', "phase LFO freq", FIELD(phaseLfo->freq), 0.0f},  // -0.5 clamped
        KeyCase{'r', "phase LFO ampl", FIELD(phaseLfo->ampl), 1.01f},
        KeyCase{'f', "phase LFO ampl", FIELD(phaseLfo->ampl), 0.99f},
        KeyCase{'t', "frequency LFO freq", FIELD(frequencyLfo->freq), 0.1f},
        KeyCase{'g', "frequency LFO freq", FIELD(frequencyLfo->freq), 0.0f},
        KeyCase{'y', "frequency LFO ampl", FIELD(frequencyLfo->ampl), 1.01f},
        KeyCase{'h', "frequency LFO ampl", FIELD(frequencyLfo->ampl), 0.99f},
        KeyCase{'u', "amplitude LFO freq", FIELD(amplitudeLfo->freq), 1.0f},
        KeyCase{'j', "amplitude LFO freq", FIELD(amplitudeLfo->freq), 0.0f},
        KeyCase{'i', "amplitude LFO ampl", FIELD(amplitudeLfo->ampl), 1.01f},
        KeyCase{'k', "amplitude LFO ampl", FIELD(amplitudeLfo->ampl), 0.99f}));
#undef FIELD

TEST_F(ConsoleKeysTest, StepsAreDoublesRoundedToFloat) {
    // 0.01 as a double step, 94 times down from 1: differs from 0.01f steps.
    press("s", 94);
    float expected = 1.0f;
    float withFloatStep = 1.0f;
    for (int i = 0; i < 94; ++i) {
        expected = static_cast<float>(expected - 0.01);
        withFloatStep -= 0.01f;
    }
    EXPECT_EQ(osc1->ampl, expected);
    ASSERT_NE(expected, withFloatStep) << "the case no longer tells the two apart";
}

TEST_F(ConsoleKeysTest, SustainResetsToZero) {
    press("))-");
    EXPECT_EQ(vca->sustain, 0.0f);
}

TEST_F(ConsoleKeysTest, UnlistedKeysChangeNothingButPrintTheStatus) {
    press("+789");  // counters at 1: their writes must not count as changes
    const std::vector<double> before = editable();
    for (int key : std::initializer_list<int>{'.', '2', '3', '4', '5', '0', 'a', 'Z', ' ', 0, 27, 13, 0x80, 0xE0, 0xFF, -1, -128}) {
        const std::string out = [&] {
            testing::internal::CaptureStdout();
            applyKey(key);
            return testing::internal::GetCapturedStdout();
        }();
        EXPECT_EQ(lines(out).size(), 6u) << "key " << key;
        EXPECT_EQ(editable(), before) << "key " << key;
    }
}

TEST_F(ConsoleKeysTest, KeysAreSignedBytes) {
    applyKey(256 + 'z');  // the byte 'z'
    EXPECT_FLOAT_EQ(osc1->ampl, 1.01f);
}

TEST_F(ConsoleKeysTest, HundredPressesOfSSilenceOsc1ThroughTheClamp) {
    press("s", 99);
    EXPECT_NEAR(osc1->ampl, 0.01, 1e-5);
    press("s");
    EXPECT_EQ(osc1->ampl, 0.0f);
    // Without the clamp a remainder would be left.
    float remainder = 1.0f;
    for (int i = 0; i < 100; ++i) remainder = static_cast<float>(remainder - 0.01);
    EXPECT_GT(remainder, 0.0f);
    EXPECT_LT(remainder, 0.0001f);
}

TEST_F(ConsoleKeysTest, ClampZeroesSmallAndNegativeOscillatorValuesOnly) {
    phaseLfo->phase = 0.0001f;  // below 0.0001 in double
    frequencyLfo->ampl = 0.00011f;
    amplitudeLfo->freq = -3.0f;
    osc1->phase = -1.0f;
    Vco* slot1Carrier = synth->slots[1].carrier;
    slot1Carrier->ampl = -1.0f;
    vca->sustain = -1.0f;
    vca->decay = 0.0f;
    press("a");
    EXPECT_EQ(phaseLfo->phase, 0.0f);
    EXPECT_EQ(frequencyLfo->ampl, 0.00011f);
    EXPECT_EQ(amplitudeLfo->freq, 0.0f);
    EXPECT_EQ(osc1->phase, 0.0f);
    EXPECT_EQ(slot1Carrier->ampl, -1.0f) << "slot 1's carrier is not the console's";
    EXPECT_EQ(vca->sustain, -1.0f);
    EXPECT_EQ(vca->decay, 0.0f);
}

TEST_F(ConsoleKeysTest, PlusCyclesOsc1ThroughTheFiveWaveforms) {
    std::vector<int> seen;
    for (int i = 0; i < 7; ++i) {
        press("+");
        seen.push_back(osc1->waveform);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 1, 2}));
    EXPECT_EQ(phaseLfo->waveform, 1);
}

TEST_F(ConsoleKeysTest, DigitsCycleTheirOwnLfo) {
    press("77");
    press("888");
    press("9999");
    EXPECT_EQ(phaseLfo->waveform, 2);
    EXPECT_EQ(frequencyLfo->waveform, 3);
    EXPECT_EQ(amplitudeLfo->waveform, 4);
    EXPECT_EQ(osc1->waveform, 1);
}

TEST_F(ConsoleKeysTest, CounterAtZeroLeavesTheWaveformAlone) {
    osc1->waveform = 3;
    press("a");
    EXPECT_EQ(osc1->waveform, 3);
    osc1WaveformCounter = 9;  // above 5 wraps to 1 on the next key
    press("a");
    EXPECT_EQ(osc1WaveformCounter, 1);
    EXPECT_EQ(osc1->waveform, 1);
}

TEST_F(ConsoleKeysTest, StatusBlockIsSixLinesInOrder) {
    press("e");
    press("t");
    press("u");
    const std::vector<std::string> block = lines(press("a"));
    ASSERT_EQ(block.size(), 6u);
    EXPECT_EQ(block[0], "Note [58] -> [440.000000]");
    EXPECT_EQ(block[1],
              "Freq [440.000] Ampl [1.000] Phase [1.000] - AFreq [440.000] AAmpl [1.000] APhase [1.000]  ");
    EXPECT_EQ(block[2].rfind("Freq [0.500] ", 0), 0u) << block[2];  // phase LFO
    EXPECT_EQ(block[3].rfind("Freq [0.100] ", 0), 0u) << block[3];  // frequency LFO
    EXPECT_EQ(block[4].rfind("Freq [1.000] ", 0), 0u) << block[4];  // amplitude LFO
    EXPECT_EQ(block[5], "VCA [10.000000][400.000000][0.000000] ");
}

TEST_F(ConsoleKeysTest, StatusShowsTheDisplayedNoteAndOsc1Frequency) {
    osc1->freq = 880.0f;  // as the stream thread retunes it
    displayedNote = 61;
    EXPECT_EQ(lines(press("a"))[0], "Note [61] -> [880.000000]");
}

TEST_F(ConsoleKeysTest, EveryByteIsSafe) {
    testing::internal::CaptureStdout();
    for (int key = -128; key < 256; ++key) applyKey(key);
    EXPECT_EQ(lines(testing::internal::GetCapturedStdout()).size(), 6u * 384);
}

}  // namespace
