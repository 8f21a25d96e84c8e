#include "synth/engine.h"

#include <gtest/gtest.h>

#include <vector>

#include "synth/random.h"

namespace {

// Every waveform on every console oscillator, the LFOs moving, noise near its
// busiest (440 Hz), a note and the envelope running.
void playEverything(Synth& patch, int waveform) {
    VcoSlot& slot0 = patch.slots[0];
    const float freqs[] = {0.5f, 440.0f, 7.0f};
    for (int i = 0; i < 3; ++i) {
        slot0.modulators[i]->freq = freqs[i];
        slot0.modulators[i]->ampl = 0.3f;
        slot0.modulators[i]->waveform = waveform;
    }
    slot0.carrier->waveform = waveform;
    patch.slots[0].note = 65;
    patch.slots[1].note = 60;
}

// An Engine renders what the program-wide pair renders, sample for sample,
// while another Engine plays on the same thread: no noise, envelope or
// oscillator state is shared.
TEST(EngineTest, RendersAsTheProgramWidePairAndSharesNothing) {
    testing::internal::CaptureStdout();
    synth = new Synth();  // never freed, as in the program
    vca = new Vca();
    vca->trigger();
    testing::internal::GetCapturedStdout();
    noise::seed(1);

    Engine engine, other, otherAlone;
    engine.vca.postTrigger();
    for (int w = 1; w <= 5; ++w) {
        playEverything(*synth, w);
        playEverything(engine.synth, w);
        other.phaseLfo().waveform = Vco::kNoise;  // draws on every sample
        other.phaseLfo().freq = 440.0f;
        otherAlone.phaseLfo().waveform = Vco::kNoise;
        otherAlone.phaseLfo().freq = 440.0f;

        const int frames = 4000;
        std::vector<int16_t> program(2 * frames), mine(frames), others(frames), alone(frames);
        for (int i = 0; i < frames; i += 100) {
            renderStream(nullptr, program.data() + 2 * i, 400, nullptr);
            engine.render(mine.data() + i, 100);
            other.render(others.data() + i, 100);
        }
        otherAlone.render(alone.data(), frames);
        for (int i = 0; i < frames; ++i) {
            ASSERT_EQ(program[2 * i], mine[i]) << "waveform " << w << ", frame " << i;
            ASSERT_EQ(alone[i], others[i]) << "waveform " << w << ", frame " << i;
        }
    }
    EXPECT_NE(0.0f, engine.vca.getLevel());
    EXPECT_EQ(0.0f, other.vca.getLevel());
    synth = nullptr;
    vca = nullptr;
}

}  // namespace
