#include "synth/vco.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "synth/random.h"

namespace {

// The generator written out plainly: s = s * 214013 + 2531011, bits 16..30.
struct Reference {
    uint32_t s = 1;
    int next() { s = s * 214013u + 2531011u; return (s >> 16) & 0x7fff; }
};

Vco still(float ampl, float phase, int waveform) {
    Vco v(ampl, 0.0f, waveform);
    v.phase = phase;
    v.reset();
    return v;
}

TEST(VcoTest, FreshSineAtZeroHertzStaysAtSinOfOneTurn) {
    Vco v(2.0f, 0.0f, Vco::kSine);
    for (int i = 0; i < 3; ++i) v.tick();
    EXPECT_EQ(0.0f, v.cycle);
    // sin(6.2831853) = -7.18e-9: the constant is a little short of 2*pi.
    EXPECT_NEAR(-7.18e-9 * 2.0, v.getOutput(), 1e-10);
}

TEST(VcoTest, SineFollowsCycleAndPhase) {
    Vco v(0.5f, 441.0f, Vco::kSine);  // 0.01 cycle a sample
    v.phase = 0.25f;
    v.reset();
    v.tick();
    EXPECT_NEAR(0.01, v.cycle, 1e-7);
    EXPECT_NEAR(0.5 * std::sin(0.26 * 6.2831853), v.getOutput(), 1e-6);
}

TEST(VcoTest, RampCounterWrapsOnceAtTenCycles) {
    Vco v(2.0f, 44100.0f, Vco::kRamp);  // one cycle a sample
    const float expected[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, 2};
    for (float c : expected) {
        v.tick();
        EXPECT_FLOAT_EQ(c, v.cycle);
        EXPECT_FLOAT_EQ(2.0f * c, v.getOutput());
    }
}

TEST(VcoTest, CenteredRampIsShiftedDownByHalf) {
    Vco v(3.0f, 44100.0f, Vco::kRampCentered);
    v.tick();
    EXPECT_FLOAT_EQ(3.0f * 1 - 0.5f, v.getOutput());
}

TEST(VcoTest, NegativeFrequencyRunsBelowZeroWithoutWrap) {
    Vco v(1.0f, -44100.0f, Vco::kRamp);
    for (int i = 0; i < 15; ++i) v.tick();
    EXPECT_FLOAT_EQ(-15.0f, v.cycle);
}

TEST(VcoTest, UnknownWaveformKeepsLastOutput) {
    Vco v(1.0f, 44100.0f, Vco::kRamp);
    v.tick();
    for (int w : {0, 6, -1, 1000}) {
        v.waveform = w;
        v.tick();
        EXPECT_FLOAT_EQ(1.0f, v.getOutput()) << "waveform " << w;
    }
}

// The square's chained tests: phase 0.25 gives s = 1, 0.75 gives s = -1,
// 0.5 gives s close to 0.
TEST(VcoTest, SquareSignTable) {
    struct Row { float ampl, high, middle, low; };
    const Row rows[] = {
        {1.0f, 1.0f, 0.0f, -1.0f},
        {0.8f, 0.8f, 0.0f, -0.8f},
        {0.3f, 0.0f, 0.0f, -0.3f},   // the positive lobe vanishes
        {-0.3f, 0.0f, 0.0f, 0.3f},
        {-0.8f, 0.8f, 0.0f, 0.8f},   // both lobes positive
    };
    for (const Row& r : rows) {
        Vco high = still(r.ampl, 0.25f, Vco::kSquare);
        Vco middle = still(r.ampl, 0.5f, Vco::kSquare);
        Vco low = still(r.ampl, 0.75f, Vco::kSquare);
        high.tick();
        middle.tick();
        low.tick();
        EXPECT_FLOAT_EQ(r.high, high.getOutput()) << "ampl " << r.ampl;
        EXPECT_FLOAT_EQ(r.middle, middle.getOutput()) << "ampl " << r.ampl;
        EXPECT_FLOAT_EQ(r.low, low.getOutput()) << "ampl " << r.ampl;
    }
}

TEST(VcoTest, RandomSequenceStartsAtOneOnEveryThread) {
    noise::seed(1);
    Reference ref;
    const int first[] = {41, 18467, 6334, 26500, 19169};
    for (int expected : first) EXPECT_EQ(expected, noise::rand());
    noise::seed(1);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(ref.next(), noise::rand());
}

TEST(VcoTest, NoiseRestsAtMinusHalfAmplitudeAndSpikesOnOddDraws) {
    // 440 Hz: m1 = 2, so an odd draw spikes; m2 = 100 + 111.
    noise::seed(1);
    Reference ref;
    Vco v(1.0f, 440.0f, Vco::kNoise);
    for (int i = 0; i < 200; ++i) {
        v.tick();
        float expected = -0.5f;
        if (ref.next() % 2 == 1) expected = static_cast<float>((ref.next() % 211 - 50) / 100.0);
        ASSERT_FLOAT_EQ(expected, v.getOutput()) << "sample " << i;
    }
    // First draw 41 is odd, spike 18467 % 211 = 110.
}

TEST(VcoTest, NoiseAtZeroAmplitudeDrawsNothing) {
    noise::seed(1);
    Vco v(0.0f, 440.0f, Vco::kNoise);
    for (int i = 0; i < 10; ++i) v.tick();
    EXPECT_EQ(0.0f, v.getOutput());
    EXPECT_EQ(41, noise::rand());
}

TEST(VcoTest, NoiseWithZeroModuliTakesItsDrawsWithoutFaulting) {
    // aFreq 437.5: m1 = 0. The draw is taken, no spike follows.
    noise::seed(1);
    Vco zeroM1(1.0f, 437.5f, Vco::kNoise);
    zeroM1.tick();
    EXPECT_FLOAT_EQ(-0.5f, zeroM1.getOutput());
    EXPECT_EQ(18467, noise::rand());

    // aAmpl -1.115: m2 = 0. Both draws are taken and the spike value is 0.
    noise::seed(1);
    Vco zeroM2(-1.115f, 440.0f, Vco::kNoise);
    zeroM2.tick();  // 41 is odd: a spike
    EXPECT_NEAR(1.115 * 50 / 100, zeroM2.getOutput(), 1e-6);
    EXPECT_EQ(6334, noise::rand());
}

TEST(VcoTest, BadValuesNeverFault) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float values[] = {0.0f, -1.0f, 1e-30f, 437.7f, -1.115f, 3e9f, -3e9f, 1e38f, -1e38f, inf, -inf, nan};
    for (int w = 0; w <= 6; ++w) {
        for (float f : values) {
            for (float a : values) {
                Vco v(a, f, w);
                v.phase = f;
                v.reset();
                for (int i = 0; i < 3; ++i) v.tick();
            }
        }
    }
    SUCCEED();
}

}  // namespace
