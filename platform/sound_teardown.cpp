// PortAudio calls that can hang on a hung sound server, run with a deadline
// so that the caller does not hang with them.
#include <portaudio.h>

#include <memory>
#include <system_error>

#include "platform/sound_stream.h"

namespace sound {

namespace {
// How long a stream may take to tear down, or to open and start.
constexpr int64_t kTeardownWaitNs = 1'000'000'000;
constexpr int64_t kOpenWaitNs = 1'000'000'000;
}  // namespace

bool runWithin(int64_t waitNs, std::function<void()> job) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t;
    try {
        SignalsBlocked blocked;
        t = std::thread([job, done] {
            job();
            done->store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        // No thread to spare: run it here and hope the server answers.
        SignalsBlocked blocked;
        job();
        return true;
    }
    const int64_t until = nowNs() + waitNs;
    while (!done->load(std::memory_order_acquire) && nowNs() < until) sleepFor(1'000'000);
    if (done->load(std::memory_order_acquire)) {
        t.join();
        return true;
    }
    t.detach();
    return false;
}

bool tearDown(PaStream* pa) {
    if (portAudioWedged()) return false;
    const bool done = runWithin(kTeardownWaitNs, [pa] {
        Pa_AbortStream(pa);
        Pa_CloseStream(pa);
    });
    if (!done) wedgePortAudio();
    return done;
}

PaStream* openDeviceWithin(FSOUND_STREAM* s) {
    if (portAudioWedged()) return nullptr;
    auto opened = std::make_shared<std::atomic<PaStream*>>(nullptr);
    if (runWithin(kOpenWaitNs, [s, opened] { opened->store(openDevice(s)); }))
        return opened->load();
    // It may still open a stream feeding s, any time.
    wedgePortAudio();
    s->abandoned = true;
    return nullptr;
}

}  // namespace sound
