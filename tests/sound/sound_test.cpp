// The sound layer with the NoSound output: call order, error codes, pacing
// of the callback, and the end of the callback at FSOUND_Stream_Close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/sound.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kMode = 0x1000150;

struct Recorder {
    std::atomic<long> frames{0};
    std::atomic<int> calls{0};
    std::atomic<int> maxBytes{0};
    std::atomic<int> badLengths{0};  // not whole frames, or beyond the limit
    std::atomic<int> wrongArgs{0};
    std::atomic<bool> closed{false};
    std::atomic<int> afterClose{0};
    int limit = 32768;
    FSOUND_STREAM* stream = nullptr;
    int sleepMicros = 0;
};

int record(FSOUND_STREAM* stream, void* buffer, int length, void* userData) {
    auto* r = static_cast<Recorder*>(userData);
    if (r->closed.load()) r->afterClose.fetch_add(1);
    if (length <= 0 || length % 4 || length > r->limit) r->badLengths.fetch_add(1);
    if (!buffer || (r->stream && stream != r->stream)) r->wrongArgs.fetch_add(1);
    if (length > r->maxBytes.load()) r->maxBytes.store(length);
    std::memset(buffer, 0x55, size_t(length));  // the whole buffer is writable
    r->frames.fetch_add(length / 4);
    r->calls.fetch_add(1);
    if (r->sleepMicros) std::this_thread::sleep_for(std::chrono::microseconds(r->sleepMicros));
    return 1;
}

class SoundTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND), 1); }
    void TearDown() override { FSOUND_Close(); }

    FSOUND_STREAM* start(Recorder& r, int length = 32768) {
        r.limit = length;
        EXPECT_EQ(FSOUND_Init(44100, 32, 0), 1);
        FSOUND_STREAM* s = FSOUND_Stream_Create(record, length, kMode, 44100, &r);
        EXPECT_NE(s, nullptr);
        r.stream = s;
        EXPECT_EQ(FSOUND_Stream_Play(0, s), 0);
        return s;
    }
};

TEST_F(SoundTest, VersionAndNoSoundDriver) {
    EXPECT_FLOAT_EQ(FSOUND_GetVersion(), 3.74f);
    EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND);
    ASSERT_EQ(FSOUND_GetNumDrivers(), 1);
    EXPECT_STREQ(FSOUND_GetDriverName(0), "No sound");
    EXPECT_EQ(FSOUND_SetDriver(0), 1);
}

TEST_F(SoundTest, OutOfRangeDriversAndTypesAreRefused) {
    EXPECT_STREQ(FSOUND_GetDriverName(1), "");
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_INVALID_PARAM);
    EXPECT_STREQ(FSOUND_GetDriverName(-1), "");
    EXPECT_EQ(FSOUND_SetDriver(1), 0);
    EXPECT_EQ(FSOUND_SetOutput(-3), 0);
    EXPECT_EQ(FSOUND_SetOutput(99), 0);
    EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND);
}

TEST_F(SoundTest, CallsOutOfOrderSetErrors) {
    Recorder r;
    EXPECT_EQ(FSOUND_Stream_Create(record, 32768, kMode, 44100, &r), nullptr);
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_UNINITIALIZED);
    FSOUND_Close();  // without Init: harmless
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_UNINITIALIZED);
    EXPECT_EQ(FSOUND_Stream_Play(0, nullptr), -1);
    EXPECT_EQ(FSOUND_Stream_Close(nullptr), 0);
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_INVALID_PARAM);

    ASSERT_EQ(FSOUND_Init(44100, 32, 0), 1);
    EXPECT_EQ(FSOUND_Init(44100, 32, 0), 0);
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_BUSY);
    EXPECT_EQ(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND), 0);
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_BUSY);
    EXPECT_EQ(FSOUND_SetDriver(0), 0);
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_BUSY);

    FSOUND_Close();
    EXPECT_EQ(FSOUND_Stream_Create(record, 32768, kMode, 44100, &r), nullptr);
    EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_UNINITIALIZED);
    EXPECT_EQ(FSOUND_Init(44100, 32, 0), 1);  // again after Close
}

TEST_F(SoundTest, StreamNeeds16BitSignedStereo) {
    Recorder r;
    ASSERT_EQ(FSOUND_Init(44100, 32, 0), 1);
    const unsigned bad[] = {
        FSOUND_2D | FSOUND_SIGNED | FSOUND_MONO | FSOUND_16BITS,
        FSOUND_2D | FSOUND_SIGNED | FSOUND_STEREO | FSOUND_8BITS,
        FSOUND_2D | FSOUND_UNSIGNED | FSOUND_STEREO | FSOUND_16BITS,
        FSOUND_2D | FSOUND_SIGNED | FSOUND_STEREO,
        0,
    };
    for (unsigned mode : bad) {
        EXPECT_EQ(FSOUND_Stream_Create(record, 32768, mode, 44100, &r), nullptr) << mode;
        EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_INVALID_PARAM);
    }
    EXPECT_EQ(FSOUND_Stream_Create(nullptr, 32768, kMode, 44100, &r), nullptr);
    EXPECT_EQ(FSOUND_Stream_Create(record, 2, kMode, 44100, &r), nullptr);
    FSOUND_STREAM* s = FSOUND_Stream_Create(record, 32768, kMode, 44100, &r);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(FSOUND_Stream_Close(s), 1);
    EXPECT_EQ(r.calls.load(), 0);  // never played
}

TEST_F(SoundTest, PacedAtTheRealRateInWholeFrames) {
    Recorder r;
    const auto begin = Clock::now();
    FSOUND_STREAM* s = start(r);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const long frames = r.frames.load();
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    EXPECT_EQ(FSOUND_Stream_Close(s), 1);
    // Generous bounds: the machine is shared.
    EXPECT_GT(frames, 0.75 * 44100 * elapsed);
    EXPECT_LT(frames, 1.1 * 44100 * elapsed + 1024);
    EXPECT_EQ(r.badLengths.load(), 0);
    EXPECT_EQ(r.wrongArgs.load(), 0);
}

TEST_F(SoundTest, BlocksNeverExceedAShortBuffer) {
    Recorder r;
    FSOUND_STREAM* s = start(r, 202);  // 50 whole frames and 2 bytes
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    FSOUND_Stream_Close(s);
    EXPECT_GT(r.calls.load(), 10);
    EXPECT_EQ(r.maxBytes.load(), 200);
    EXPECT_EQ(r.badLengths.load(), 0);
}

TEST_F(SoundTest, NoCallbackOnceCloseReturns) {
    for (int round = 0; round < 5; ++round) {
        Recorder r;
        r.sleepMicros = 3000;  // a slow callback, likely running when Close is called
        FSOUND_STREAM* s = start(r);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 7));
        EXPECT_EQ(FSOUND_Stream_Close(s), 1);
        r.closed.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(r.afterClose.load(), 0);
        EXPECT_GT(r.calls.load(), 0);
        EXPECT_EQ(FSOUND_Stream_Close(s), 0);  // closed twice
        EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_INVALID_PARAM);
        FSOUND_Close();
    }
}

TEST_F(SoundTest, PlayTwiceKeepsTheChannelAndCloseEndsTheStream) {
    Recorder r;
    FSOUND_STREAM* s = start(r);
    EXPECT_EQ(FSOUND_Stream_Play(0, s), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    FSOUND_Close();  // closes the open stream too
    r.closed.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(r.afterClose.load(), 0);
    EXPECT_EQ(FSOUND_Stream_Play(0, s), -1);  // gone with the library
}

}  // namespace
