#include "synth/patch.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "synth/random.h"
#include "tests/synth/plain_patch.h"

namespace {

// A fresh patch and envelope installed as the program-wide ones.
class PatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        patch = new Synth();
        printed = testing::internal::GetCapturedStdout();
        envelope = new Vca();
        synth = patch;
        vca = envelope;
        screen = nullptr;
        noise::seed(1);
    }
    void TearDown() override {
        synth = nullptr;
        vca = nullptr;
    }

    std::vector<int16_t> render(int frames) {
        std::vector<int16_t> pcm(2 * frames);
        EXPECT_EQ(1, renderStream(nullptr, pcm.data(), frames * 4, nullptr));
        return pcm;
    }

    Vco& osc1() { return *patch->slots[0].carrier; }
    Vco& modulator(int i) { return *patch->slots[0].modulators[i]; }

    Synth* patch = nullptr;  // never freed, as in the program
    Vca* envelope = nullptr;
    std::string printed;
};

TEST_F(PatchTest, PrintsTheFixedPatch) {
    const std::string p = "\\[(0x[0-9a-f]+)\\]";
    const std::regex layout("VCO " + p + "\n" +
                            " \\|---         PHASE <-- VCO " + p + "\n" +
                            " \\|---     FREQUENCE <-- VCO " + p + "\n" +
                            " \\|---     AMPLITUDE <-- VCO " + p + "\n" +
                            "VCO " + p + "\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(printed, m, layout)) << printed;
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(&modulator(0)));
    EXPECT_EQ(address, m[2].str());

    // Carriers 440 and 880 Hz; modulators at 0 Hz, all sines of amplitude 1.
    EXPECT_EQ(2u, patch->slots.size());
    EXPECT_EQ(440.0f, osc1().freq);
    EXPECT_EQ(880.0f, patch->slots[1].carrier->freq);
    EXPECT_TRUE(patch->slots[1].modulators.empty());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0.0f, modulator(i).freq);
        EXPECT_EQ(1.0f, modulator(i).ampl);
        EXPECT_EQ(1, modulator(i).waveform);
    }
    EXPECT_EQ(58, patch->slots[0].note);
    EXPECT_EQ(58, patch->slots[1].note);
}

TEST_F(PatchTest, NoteTuning) {
    EXPECT_NEAR(440.0, noteFrequency(58), 1e-3);
    EXPECT_NEAR(880.0, noteFrequency(70), 1e-3);
    EXPECT_NEAR(440.0 * std::pow(2.0, 5 / 12.0), noteFrequency(63), 1e-3);
    EXPECT_NEAR(8.1757989, noteFrequency(-11), 1e-6);
    // Extreme notes give an infinite or zero frequency, not a fault.
    EXPECT_EQ(std::numeric_limits<float>::infinity(), noteFrequency(std::numeric_limits<int32_t>::max()));
    EXPECT_EQ(0.0f, noteFrequency(std::numeric_limits<int32_t>::min()));
}

TEST_F(PatchTest, FreshPatchStartsWithTheseFrames) {
    const std::vector<int16_t> pcm = render(3);
    EXPECT_EQ((std::vector<int16_t>{1876, 1876, 3120, 3120, 4350, 4350}), pcm);
}

TEST_F(PatchTest, FreshPatchIsA440HertzSinePeakingNear20000) {
    const int frames = 8192;
    const std::vector<int16_t> pcm = render(frames);
    int peak = 0, crossings = 0;
    for (int i = 1; i < frames; ++i) {
        ASSERT_EQ(pcm[2 * i], pcm[2 * i + 1]);
        // Both carriers at 440 Hz from the second frame on, the second one a
        // step ahead since it sounded 880 Hz on the first.
        if (i < 200) {
            const double step = 2 * M_PI * 440.0 / 44100.0;
            const double expected = 10000.0 * (std::sin(step * (i + 1)) + std::sin(step * (i + 2)));
            ASSERT_NEAR(expected, pcm[2 * i], 2.0) << "frame " << i;
        }
        if ((pcm[2 * i - 2] < 0) != (pcm[2 * i] < 0)) ++crossings;
        peak = std::max(peak, std::abs(static_cast<int>(pcm[2 * i])));
    }
    // 8192 frames of 440 Hz: 81.7 periods, two crossings each.
    EXPECT_NEAR(2 * 440.0 * frames / 44100.0, crossings, 2);
    EXPECT_GE(peak, 19980);
    EXPECT_LE(peak, 20000);
}

TEST_F(PatchTest, NoteChangeIsHeardOneSampleLate) {
    render(10);
    patch->slots[0].note = 70;
    patch->tick();  // retunes freq to 880, but sounded 440
    EXPECT_NEAR(880.0f, osc1().freq, 1e-3);
    EXPECT_NEAR(440.0f, osc1().aFreq, 1e-3);
    patch->tick();
    EXPECT_NEAR(880.0f, osc1().aFreq, 1e-3);
}

TEST_F(PatchTest, EnvelopeLevelBendsBothCarriersUp) {
    envelope->trigger();
    testing::internal::CaptureStdout();
    render(1001);  // level ~0.5
    testing::internal::GetCapturedStdout();
    const double level = envelope->getLevel();
    EXPECT_NEAR(0.5, level, 1e-3);
    EXPECT_NEAR(440.0 * (1 + level), osc1().aFreq, 1e-2);
    EXPECT_NEAR(440.0 * (1 + level), patch->slots[1].carrier->aFreq, 1e-2);
}

TEST_F(PatchTest, AmplitudeTargetIsGuardedByTheModulatorOnly) {
    // Amplitude LFO at 0 Hz: no effect on the carrier's amplitude.
    modulator(2).ampl = 0.5f;
    patch->tick();
    EXPECT_EQ(1.0f, osc1().aAmpl);
    // At 0 Hz the frequency LFO still scales the frequency by its constant.
    modulator(1).phase = 0.25f;  // output sin(0.25 turn) = 1
    patch->tick();
    EXPECT_NEAR(880.0f, osc1().aFreq, 1e-2);
    // Once it moves, the amplitude LFO acts.
    modulator(2).freq = 441.0f;
    patch->tick();
    const double m = modulator(2).getOutput();
    EXPECT_NEAR(1.0 + m, osc1().aAmpl, 1e-6);
}

TEST_F(PatchTest, EachTargetTestIsASubstringTestOfItsOwn) {
    static const char kBoth[] = "xAMPLITUDE+PHASEx";
    static Vco mod(0.5f, 0.0f, Vco::kSine);
    mod.freq = 441.0f;
    mod.phase = 0.25f;
    VcoSlot& slot = patch->slots[1];
    slot.modulators.push_back(&mod);  // lists edited directly: no cached tests
    slot.targets.push_back(kBoth);
    patch->tick();
    patch->tick();
    const double m = mod.getOutput();
    EXPECT_NEAR(1.0 + m, slot.carrier->aAmpl, 1e-6);
    EXPECT_NEAR(1.0 + m, slot.carrier->aPhase, 1e-6);
    EXPECT_EQ(slot.carrier->freq, slot.carrier->aFreq);
}

TEST_F(PatchTest, TargetListAssignedAnewIsHeardAsItStands) {
    modulator(1).phase = 0.25f;  // the frequency LFO at 0 Hz outputs 1
    patch->tick();
    EXPECT_NEAR(880.0f, osc1().aFreq, 1e-2);
    VcoSlot& slot = patch->slots[0];
    const char* const* storage = slot.targets.data();
    slot.targets = {kTargetPhase, kTargetPhase, kTargetAmplitude};
    ASSERT_EQ(storage, slot.targets.data());  // same length: same storage
    patch->tick();
    EXPECT_EQ(osc1().freq, osc1().aFreq);
    EXPECT_NEAR(2.0, osc1().aPhase, 1e-6);
    slot.refreshTargets();
    patch->tick();
    EXPECT_EQ(osc1().freq, osc1().aFreq);
    EXPECT_NEAR(2.0, osc1().aPhase, 1e-6);
}

// The engine must give exactly the samples of a plain per-sample
// translation, whatever its caches skip.
TEST_F(PatchTest, MatchesAPlainTranslationSampleForSample) {
    plain::Patch ref;
    auto compare = [&](int frames, const char* what) {
        for (int i = 0; i < frames; ++i) {
            int16_t pcm[2];
            renderStream(nullptr, pcm, 4, nullptr);
            const int16_t expected = plain::sampleOf(ref.tick(envelope->getLevel()));
            ASSERT_EQ(expected, pcm[0]) << what << ", frame " << i;
            ASSERT_EQ(pcm[0], pcm[1]);
        }
    };
    compare(2000, "fresh drone");

    // All three LFOs moving, a note held and the envelope running.
    const float freqs[] = {0.5f, 3.0f, 7.0f};
    const float ampls[] = {0.3f, 0.05f, 0.4f};
    for (int i = 0; i < 3; ++i) {
        modulator(i).freq = freqs[i];
        modulator(i).ampl = ampls[i];
        ref.slots[0].modulators[i]->freq = freqs[i];
        ref.slots[0].modulators[i]->ampl = ampls[i];
    }
    patch->slots[0].note = 65;
    patch->slots[1].note = 60;
    ref.slots[0].note = 65;
    ref.slots[1].note = 60;
    testing::internal::CaptureStdout();
    envelope->trigger();
    testing::internal::GetCapturedStdout();
    compare(20000, "moving LFOs");

    // Every waveform on every modulator, and on the carrier.
    for (int w = 1; w <= 5; ++w) {
        for (int i = 0; i < 3; ++i) {
            modulator(i).waveform = w;
            ref.slots[0].modulators[i]->waveform = w;
        }
        osc1().waveform = w;
        ref.first.waveform = w;
        compare(3000, "waveforms");
    }

    // Noise near its busiest: 440 Hz.
    modulator(1).freq = 440.0f;
    ref.third.freq = 440.0f;
    compare(3000, "noise");
}

TEST(SampleTest, TruncatesAndWrapsModulo65536) {
    EXPECT_EQ(-25536, toSample(40000.0f));
    EXPECT_EQ(0, toSample(-0.9f));
    EXPECT_EQ(1876, toSample(1876.99f));
    EXPECT_EQ(-32768, toSample(-32768.5f));
    EXPECT_EQ(32767, toSample(32767.0f));
    EXPECT_EQ(5, toSample(65536.0f * 3 + 5));
    EXPECT_EQ(-5, toSample(-65536.0f * 10 - 5));
    // 2^62 is a multiple of 65536.
    EXPECT_EQ(0, toSample(4611686018427387904.0f));
}

TEST(SampleTest, NotANumberOrBeyondSixtyFourBitsGivesZero) {
    EXPECT_EQ(0, toSample(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_EQ(0, toSample(std::numeric_limits<float>::infinity()));
    EXPECT_EQ(0, toSample(-std::numeric_limits<float>::infinity()));
    EXPECT_EQ(0, toSample(1e19f));
    EXPECT_EQ(0, toSample(-1e30f));
}

TEST_F(PatchTest, WritesWholeFramesOnly) {
    std::vector<uint8_t> buffer(32768 + 64, 0xAB);
    renderStream(nullptr, buffer.data(), 32768, nullptr);
    // The last frame is written, the bytes after the buffer are not.
    EXPECT_FALSE(buffer[32764] == 0xAB && buffer[32765] == 0xAB);
    for (size_t i = 32768; i < buffer.size(); ++i) ASSERT_EQ(0xAB, buffer[i]);

    std::vector<uint8_t> odd(16, 0xAB);
    renderStream(nullptr, odd.data(), 11, nullptr);  // two frames, 3 bytes left
    EXPECT_EQ(0xAB, odd[8]);
    EXPECT_EQ(0xAB, odd[9]);
    EXPECT_EQ(0xAB, odd[10]);

    EXPECT_EQ(1, renderStream(nullptr, odd.data(), 0, nullptr));
    EXPECT_EQ(1, renderStream(nullptr, odd.data(), -4, nullptr));
}

TEST_F(PatchTest, ClearScreenBlanksASurfaceAndToleratesNone) {
    EXPECT_EQ(0, clearScreen(nullptr));
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, 64, 48, 32, 0xff0000, 0xff00, 0xff, 0);
    ASSERT_NE(nullptr, s);
    std::memset(s->pixels, 0x5a, static_cast<size_t>(s->pitch) * s->h);
    screen = s;
    render(4);
    const uint8_t* p = static_cast<const uint8_t*>(s->pixels);
    for (int i = 0; i < s->pitch * s->h; ++i) ASSERT_EQ(0, p[i]) << "byte " << i;
    // Drawn on after a clear, it is cleared again.
    std::memset(s->pixels, 0x5a, static_cast<size_t>(s->pitch) * s->h);
    render(4);
    screen = nullptr;
    for (int i = 0; i < s->pitch * s->h; ++i) ASSERT_EQ(0, p[i]) << "byte " << i;
    SDL_FreeSurface(s);
}

TEST_F(PatchTest, BadFieldValuesNeverFault) {
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {-1.0f, 0.0f, 1e-7f, 437.5f, 1e9f, -1e9f, 3.4e38f, inf, -inf,
                            std::numeric_limits<float>::quiet_NaN()};
    const int32_t notes[] = {std::numeric_limits<int32_t>::min(), -100000, -1, 58, 100000,
                             std::numeric_limits<int32_t>::max()};
    testing::internal::CaptureStdout();
    envelope->trigger();
    int n = 0;
    for (float v : values) {
        for (int i = 0; i < 3; ++i) {
            modulator(i).freq = v;
            modulator(i).ampl = v;
            modulator(i).phase = v;
            modulator(i).waveform = i + 3;
        }
        osc1().ampl = v;
        osc1().phase = v;
        osc1().waveform = n % 7;
        envelope->attack = v;
        envelope->decay = v;
        envelope->sustain = v;
        envelope->releaseTime = v;
        patch->slots[0].note = notes[n % 6];
        patch->slots[1].note = notes[(n + 3) % 6];
        render(64);
        ++n;
    }
    testing::internal::GetCapturedStdout();
    SUCCEED();
}

}  // namespace
