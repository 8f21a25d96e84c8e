// Plays a sine tone through the sound layer the way the program opens it,
// then reports what the callback saw as "key value" lines on stdout.
//
//   tone_player [--output N] [--driver N] [--seconds S] [--freq HZ] [--amp A]
//               [--block FRAMES] [--list]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/sound.h"
#include "platform/sound_options.h"

namespace {

struct Tone {
    double step = 0.0;   // radians per frame
    double phase = 0.0;
    double amplitude = 0.0;
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> calls{0};
    std::atomic<int> minBytes{1 << 30};
    std::atomic<int> maxBytes{0};
    std::atomic<int> partialFrames{0};   // lengths not a multiple of 4
    std::atomic<int> afterClose{0};      // calls after FSOUND_Stream_Close returned
    std::atomic<bool> closed{false};
};

int render(FSOUND_STREAM*, void* buffer, int length, void* userData) {
    auto* t = static_cast<Tone*>(userData);
    if (t->closed.load(std::memory_order_relaxed)) t->afterClose.fetch_add(1);
    if (length % 4) t->partialFrames.fetch_add(1);
    if (length < t->minBytes.load(std::memory_order_relaxed)) t->minBytes.store(length);
    if (length > t->maxBytes.load(std::memory_order_relaxed)) t->maxBytes.store(length);
    auto* out = static_cast<int16_t*>(buffer);
    const int frames = length / 4;
    for (int i = 0; i < frames; ++i) {
        const auto v = int16_t(std::lrint(t->amplitude * std::sin(t->phase)));
        out[2 * i] = v;
        out[2 * i + 1] = v;
        t->phase += t->step;
        if (t->phase > 2 * M_PI) t->phase -= 2 * M_PI;
    }
    t->frames.fetch_add(uint64_t(frames), std::memory_order_relaxed);
    t->calls.fetch_add(1, std::memory_order_relaxed);
    return 1;
}

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
    int output = FSOUND_OUTPUT_ALSA, driver = 0;
    double duration = 3.0, freq = 1000.0, amplitude = 16000.0;
    bool listOnly = false;
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (!std::strcmp(argv[i], "--output") && more) output = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--driver") && more) driver = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--seconds") && more) duration = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--freq") && more) freq = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--amp") && more) amplitude = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--block") && more) soundOptions().deviceBlockFrames = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--list")) listOnly = true;
        else {
            std::fprintf(stderr, "usage: %s [--output N] [--driver N] [--seconds S] [--freq HZ] "
                                 "[--amp A] [--block FRAMES] [--list]\n", argv[0]);
            return 2;
        }
    }

    FSOUND_SetOutput(output);
    std::printf("output %d\n", FSOUND_GetOutput());
    for (int i = 0; i < FSOUND_GetNumDrivers(); ++i)
        std::printf("driver %d %s\n", i, FSOUND_GetDriverName(i));
    if (listOnly) return 0;
    FSOUND_SetDriver(driver);
    if (!FSOUND_Init(44100, 32, 0)) {
        std::printf("error init %d\n", FSOUND_GetError());
        return 1;
    }

    static Tone tone;
    tone.step = 2 * M_PI * freq / 44100.0;
    tone.amplitude = amplitude;
    FSOUND_STREAM* stream = FSOUND_Stream_Create(render, 32768, 0x1000150, 44100, &tone);
    if (!stream) {
        std::printf("error create %d\n", FSOUND_GetError());
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    if (FSOUND_Stream_Play(0, stream) < 0) {
        std::printf("error play %d\n", FSOUND_GetError());
        return 1;
    }
    std::printf("latency %.6f\n", soundStreamLatency(stream));
    std::fflush(stdout);

    std::this_thread::sleep_for(std::chrono::duration<double>(duration));
    const bool fellBack = soundStreamFellBack(stream);
    const unsigned long underruns = soundStreamUnderruns(stream);
    const int blockFrames = soundStreamBlockFrames(stream);
    const double played = seconds(start);
    const uint64_t frames = tone.frames.load();
    const auto closeStart = std::chrono::steady_clock::now();
    FSOUND_Stream_Close(stream);
    const double closeTime = seconds(closeStart);
    tone.closed.store(true);
    FSOUND_Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::printf("played %.3f\n", played);
    std::printf("frames %llu\n", (unsigned long long)frames);
    std::printf("calls %llu\n", (unsigned long long)tone.calls.load());
    std::printf("min_bytes %d\n", tone.minBytes.load());
    std::printf("max_bytes %d\n", tone.maxBytes.load());
    std::printf("partial_frames %d\n", tone.partialFrames.load());
    std::printf("after_close %d\n", tone.afterClose.load());
    std::printf("fell_back %d\n", fellBack ? 1 : 0);
    std::printf("close_seconds %.3f\n", closeTime);
    std::printf("underruns %lu\n", underruns);
    std::printf("block_frames %d\n", blockFrames);
    return 0;
}
