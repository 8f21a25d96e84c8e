// Rate verdicts on a device stream, on a clock the test drives.
#include <gtest/gtest.h>

#include "platform/sound_supervisor.h"

namespace {

using namespace sound;
constexpr int kRate = 44100;
constexpr int64_t kMs = 1'000'000;

// Frames a device at `ratio` times the real rate has delivered by `ns`.
uint64_t at(double ratio, int64_t ns) { return uint64_t(ratio * kRate * double(ns) / 1e9); }

TEST(SoundSupervisorTest, StallNeedsTheGraceAndAWholeWindowOutsideAQuarterToFourTimes) {
    // A silent device is not judged during the first second.
    StallDetector silent(0, 0, kRate);
    for (int64_t t = 20 * kMs; t < 1000 * kMs; t += 20 * kMs) EXPECT_FALSE(silent.stalled(t, 0, false)) << t;
    EXPECT_TRUE(silent.stalled(1000 * kMs, 0, false));

    // Just inside the ratios stays; just outside, at a window's end, stalls.
    for (double ratio : {0.26, 1.0, 3.9}) {
        StallDetector d(0, 0, kRate);
        for (int64_t t = 20 * kMs; t <= 3000 * kMs; t += 20 * kMs)
            EXPECT_FALSE(d.stalled(t, at(ratio, t), false)) << ratio << " at " << t;
    }
    for (double ratio : {0.24, 4.1}) {
        StallDetector d(0, 0, kRate);
        EXPECT_FALSE(d.stalled(500 * kMs, at(ratio, 500 * kMs), false)) << ratio;  // in the grace
        EXPECT_FALSE(d.stalled(990 * kMs, at(ratio, 990 * kMs), false)) << ratio;  // mid-window
        EXPECT_TRUE(d.stalled(1000 * kMs, at(ratio, 1000 * kMs), false)) << ratio;
    }

    // A device that reports it finished is stalled at once, grace or not.
    StallDetector finished(0, 0, kRate);
    EXPECT_TRUE(finished.stalled(20 * kMs, 0, true));
}

TEST(SoundSupervisorTest, RecoveryNeedsAWholeWindowWithinThreeQuartersToOneAndAHalf) {
    for (double ratio : {0.76, 1.0, 1.49}) {
        RecoveryDetector d(0, 0, kRate);
        EXPECT_FALSE(d.recovered(499 * kMs, at(ratio, 499 * kMs), false)) << ratio;
        EXPECT_TRUE(d.recovered(500 * kMs, at(ratio, 500 * kMs), false)) << ratio;
    }
    for (double ratio : {0.0, 0.74, 1.51}) {
        RecoveryDetector d(0, 0, kRate);
        EXPECT_FALSE(d.recovered(500 * kMs, at(ratio, 500 * kMs), false)) << ratio;
    }
    RecoveryDetector finished(0, 0, kRate);
    EXPECT_FALSE(finished.recovered(500 * kMs, at(1.0, 500 * kMs), true));
    // Each window is judged on its own frames, not the total.
    RecoveryDetector d(0, 0, kRate);
    EXPECT_FALSE(d.recovered(500 * kMs, 0, false));
    EXPECT_TRUE(d.recovered(1000 * kMs, at(1.0, 500 * kMs), false));
}

}  // namespace
