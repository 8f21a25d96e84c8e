// Block sizes of a stream that underruns, on a clock the test drives.
#include <gtest/gtest.h>

#include "platform/sound_latency.h"

namespace {

using namespace sound;
constexpr int64_t kS = 1'000'000'000;

TEST(SoundLatencyTest, RepeatedUnderrunsGrowAStepUpToAboutTwentyFiveMilliseconds) {
    LatencyPolicy p(0, 0, 44100);
    EXPECT_EQ(128, p.blockFrames());
    EXPECT_EQ(512, p.largestFrames());  // two blocks of 1024 would be 46 ms

    // Lone underruns: in the settling second, more than ten seconds apart,
    // or a burst of flagged blocks within a quarter of a second.
    uint64_t n = 0;
    EXPECT_EQ(128, p.update(kS / 2, ++n));
    EXPECT_EQ(128, p.update(kS / 2 + kS / 50, ++n));
    for (int64_t t = 2 * kS; t < 60 * kS; t += 11 * kS) {
        EXPECT_EQ(128, p.update(t, n += 3)) << t;
        EXPECT_EQ(128, p.update(t + kS / 50, ++n)) << t;
        EXPECT_EQ(128, p.update(t + kS / 5, ++n)) << t;
    }
    EXPECT_EQ(128, p.update(60 * kS, n));

    // A second within ten seconds: 256; repeats settle for a second first.
    p.update(70 * kS, ++n);
    EXPECT_EQ(256, p.update(79 * kS, ++n));
    EXPECT_EQ(256, p.update(79 * kS + kS / 2, n += 2));
    p.restarted(80 * kS, n);
    EXPECT_EQ(256, p.update(80 * kS + kS / 2, n += 2));
    // Flagged blocks all along: a new underrun every quarter of a second.
    int64_t t = 81 * kS;
    for (; p.blockFrames() == 256 && t < 83 * kS; t += kS / 50) p.update(t, ++n);
    EXPECT_EQ(512, p.blockFrames());
    EXPECT_GE(t, 81 * kS + kS / 4);
    EXPECT_FALSE(p.struggling());

    // The largest size stays, and says it keeps dropping out.
    p.update(90 * kS, ++n);
    EXPECT_EQ(512, p.update(91 * kS, ++n));
    EXPECT_TRUE(p.struggling());
}

TEST(SoundLatencyTest, LargestSizeFollowsTheRate) {
    EXPECT_EQ(512, LatencyPolicy(0, 0, 48000).largestFrames());
    EXPECT_EQ(256, LatencyPolicy(0, 0, 22050).largestFrames());
    EXPECT_EQ(128, LatencyPolicy(0, 0, 8000).largestFrames());  // never below the start
    EXPECT_EQ(4096, LatencyPolicy(0, 0, 44100, 1024).largestFrames());  // a server route's two steps
    LatencyPolicy low(0, 7, 8000);
    low.update(2 * kS, 9);
    low.update(3 * kS, 10);
    EXPECT_EQ(128, low.blockFrames());
    EXPECT_TRUE(low.struggling());
}

}  // namespace
