#pragma once
// Who may call a stream's callback: the device stream's audio thread, the
// pacer (paced no-sound output), or nobody once the stream is closed. All
// hand-offs are here; the two callers never overlap, and none calls it
// once close() has returned.
//
//   Idle ---enterDevice---> InDevice ---leaveDevice---> Idle
//   Idle ---takeForPacer (supervisor; waits out a device block)---> Pacer
//   Pacer --pacerGivesBack (after offerDevice, or the device recovered)--> Idle
//   any ----close (waits out a device block)----> Closed, for good
//
// The device's thread and the pacer never block here; the supervisor and
// close() wait, off the audio path, for a device block to end.
#include <atomic>
#include <chrono>
#include <thread>

namespace sound {

class CallbackOwner {
public:
    enum State : int { kIdle, kInDevice, kPacer, kClosed };

    // No device: the pacer holds the callback from the start.
    void startPaced() { state_.store(kPacer, std::memory_order_release); }
    // A stream that did not start: back to nobody's, not closed.
    void reset() { state_.store(kIdle, std::memory_order_release); }

    // Device thread, each block: true when it may call the callback; it
    // then calls leaveDevice() after.
    bool enterDevice() {
        int expected = kIdle;
        return state_.compare_exchange_strong(expected, kInDevice, std::memory_order_acquire);
    }
    void leaveDevice() { state_.store(kIdle, std::memory_order_release); }

    // Supervisor: moves the callback to the pacer, once a device block in
    // progress ends, and withdraws an earlier offerDevice(). False when the
    // stream is closed, or stop is set meanwhile.
    bool takeForPacer(const std::atomic<bool>& stop) {
        for (;;) {
            int expected = kIdle;
            if (state_.compare_exchange_weak(expected, kPacer, std::memory_order_acquire)) break;
            if (expected == kPacer) break;
            if (expected == kClosed || stop.load(std::memory_order_acquire)) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(100));  // a device block runs
        }
        offered_.store(false, std::memory_order_relaxed);
        return true;
    }
    // Supervisor: a fresh device stream runs; the pacer hands the callback
    // back after its current block.
    void offerDevice() { offered_.store(true, std::memory_order_relaxed); }
    // Pacer, after each block: gives the callback back when it was offered,
    // or the device delivers at its rate again. True when it did.
    bool pacerGivesBack(bool deviceRecovered) {
        if (!offered_.exchange(false, std::memory_order_relaxed) && !deviceRecovered) return false;
        int expected = kPacer;
        return state_.compare_exchange_strong(expected, kIdle, std::memory_order_release);
    }
    bool pacerHolds() const { return state_.load(std::memory_order_acquire) == kPacer; }

    // Nobody calls the callback once this returns; waits out a device
    // block in progress. Call after the pacer and supervisor have ended.
    void close() {
        for (;;) {
            int expected = state_.load(std::memory_order_acquire);
            if (expected == kClosed) return;
            if (expected != kInDevice &&
                state_.compare_exchange_weak(expected, kClosed, std::memory_order_acq_rel))
                return;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    State state() const { return State(state_.load(std::memory_order_acquire)); }

private:
    std::atomic<int> state_{kIdle};
    std::atomic<bool> offered_{false};
};

}  // namespace sound
