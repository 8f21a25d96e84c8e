// Closing a device stream without hanging the caller on a wedged server.
#include <portaudio.h>

#include <memory>
#include <system_error>

#include "platform/sound_stream.h"

namespace sound {

namespace {
// How long Close waits for PortAudio to tear a stream down.
constexpr int64_t kTeardownWaitNs = 1'000'000'000;
}  // namespace

bool tearDown(PaStream* pa) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t;
    try {
        SignalsBlocked blocked;
        t = std::thread([pa, done] {
            Pa_AbortStream(pa);
            Pa_CloseStream(pa);
            done->store(true, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        // No thread to spare: close it here and hope the server answers.
        Pa_AbortStream(pa);
        Pa_CloseStream(pa);
        return true;
    }
    const int64_t until = nowNs() + kTeardownWaitNs;
    while (!done->load(std::memory_order_acquire) && nowNs() < until) sleepFor(1'000'000);
    if (done->load(std::memory_order_acquire)) {
        t.join();
        return true;
    }
    t.detach();
    return false;
}

}  // namespace sound
