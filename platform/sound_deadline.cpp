// Calls that can hang on a hung sound server, run with a deadline so that
// the caller does not hang with them.
#include <memory>
#include <system_error>

#include "platform/sound_stream.h"

namespace sound {

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
        return false;  // no thread to spare: the job never ran
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

}  // namespace sound
