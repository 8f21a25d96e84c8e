#include "synth/vca.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

// Runs n ticks; returns the level after the last one.
float run(Vca& v, int n) {
    for (int i = 0; i < n; ++i) v.tick();
    return v.getLevel();
}

class VcaTest : public ::testing::Test {
protected:
    // trigger() and release() print; keep it off the test log.
    void trigger() {
        testing::internal::CaptureStdout();
        vca.trigger();
        printed += testing::internal::GetCapturedStdout();
    }
    void release() {
        testing::internal::CaptureStdout();
        vca.release();
        printed += testing::internal::GetCapturedStdout();
    }
    std::string printed;
    Vca vca;
};

TEST_F(VcaTest, ClosedUntilTriggered) {
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(0, vca.tick());
        EXPECT_EQ(0.0f, vca.getLevel());
    }
}

TEST_F(VcaTest, DefaultAttackRisesOverTwoThousandSamples) {
    trigger();
    EXPECT_EQ(1, vca.tick());
    EXPECT_EQ(0.0f, vca.getLevel());
    EXPECT_NEAR(0.5, run(vca, 1000), 0.001);  // after 1001 ticks: clock ~5.0
    run(vca, 998);
    // 1999 ticks done: the clock, summed 0.005 at a time in single
    // precision, is still short of the attack of 10.
    EXPECT_LT(vca.clock, 10.0f);
    EXPECT_NEAR(0.999, vca.getLevel(), 1e-4);
    run(vca, 1);
    // Tick 2000 was the last attack tick: tick 2001 starts the decay.
    EXPECT_GE(vca.clock, 10.0f);
    const float first = run(vca, 1);
    EXPECT_NEAR(1.0, first, 1e-4);
    EXPECT_LT(run(vca, 1), first);
}

TEST_F(VcaTest, DefaultDecayClosesTheGateAtTick81953) {
    trigger();
    run(vca, 81952);
    EXPECT_EQ(1, vca.gate);
    EXPECT_GT(vca.getLevel(), 0.0f);
    EXPECT_LT(vca.getLevel(), 0.001f);
    EXPECT_EQ(1, vca.tick());  // chooses off: still returns 1
    EXPECT_EQ(0, vca.gate);
    EXPECT_EQ(0.0f, vca.getLevel());
    EXPECT_EQ(0, vca.tick());
}

TEST_F(VcaTest, SustainDecaysGeometricallyThenHolds) {
    vca.sustain = 0.1f;
    trigger();
    run(vca, 2000);
    float previous = run(vca, 1);
    int steps = 0;
    while (previous > 0.1f && steps < 10000) {
        const float next = run(vca, 1);
        if (next == 0.1f) break;
        ASSERT_NEAR(previous * 0.999, next, 1e-6);
        previous = next;
        ++steps;
    }
    // ln(0.1) / ln(0.999): about 2300 samples.
    EXPECT_NEAR(2300, steps, 5);
    EXPECT_FLOAT_EQ(0.1f, run(vca, 1));
    EXPECT_FLOAT_EQ(0.1f, run(vca, 5000));

    release();
    const float released = run(vca, 1);
    EXPECT_NEAR(0.1 * (1 - 1e-5), released, 1e-8);
    EXPECT_NEAR(0.1 * std::pow(1 - 1e-5, 1001), run(vca, 1000), 1e-6);
    EXPECT_EQ(1, vca.gate);
}

TEST_F(VcaTest, SustainBackToZeroResumesDecayWhereTheClockStopped) {
    vca.sustain = 0.5f;
    trigger();
    run(vca, 3000);
    const float stopped = vca.clock;
    vca.sustain = 0.0f;
    const float level = run(vca, 1);
    EXPECT_NEAR(1.0 - (stopped - 10.0) / 400.0, level, 1e-5);
}

TEST_F(VcaTest, ZeroReleaseTimeCutsAfterTheAttack) {
    vca.releaseTime = 0.0f;
    trigger();
    run(vca, 10);
    release();  // during the attack: the attack goes on
    EXPECT_NEAR(0.5045, run(vca, 1000), 1e-4);
    run(vca, 990);  // 2000 ticks: the attack is over
    EXPECT_EQ(0.0f, run(vca, 1));
    EXPECT_EQ(1, vca.gate);
}

TEST_F(VcaTest, ReleaseDuringAttackEntersReleaseAfterIt) {
    trigger();
    run(vca, 500);
    release();
    const float top = run(vca, 1500);
    EXPECT_NEAR(0.9995, top, 1e-4);
    EXPECT_NEAR(top * (1 - 1e-5), run(vca, 1), 1e-7);
}

TEST_F(VcaTest, NegativeAttackStartsInDecay) {
    vca.attack = -90.0f;
    trigger();
    EXPECT_FLOAT_EQ(0.775f, run(vca, 1));
}

TEST_F(VcaTest, TriggerRestartsAndForgetsAnEarlierRelease) {
    trigger();
    run(vca, 3000);
    release();
    trigger();  // both land before the next tick: the trigger wins
    EXPECT_EQ(0.0f, run(vca, 1));
    EXPECT_EQ(0, vca.released);
    EXPECT_NEAR(0.1, run(vca, 200), 0.001);
}

TEST_F(VcaTest, ReleaseRightAfterTriggerStillReleases) {
    trigger();
    release();  // both land before the next tick
    run(vca, 1);
    EXPECT_EQ(1, vca.released);
    const float top = run(vca, 1999);
    EXPECT_NEAR(top * (1 - 1e-5), run(vca, 1), 1e-7);
}

TEST_F(VcaTest, ReleaseWithoutTriggerLeavesItClosed) {
    release();
    EXPECT_EQ(0, vca.tick());
    EXPECT_EQ(0, vca.gate);
}

TEST_F(VcaTest, PrintsItsEvents) {
    trigger();
    release();
    vca.attack = -90.0f;
    testing::internal::CaptureStdout();
    vca.print();
    printed += testing::internal::GetCapturedStdout();
    EXPECT_EQ("\nTRIG\nUNTRIG\nVCA [-90.000000][400.000000][0.000000] \n", printed);
}

}  // namespace
