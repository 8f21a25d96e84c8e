#pragma once
// The device block size of a stream that keeps running dry. Pure: the caller
// supplies the time and the device's underrun count, so the policy is
// testable without a device or a clock.
//
// A stream starts at kStartBlockFrames straight to a card, at
// kServerStartFrames through a sound server (whose plugins add a thread and
// a socket hop per block), or at the size the user chose. Underruns reported within
// kBurstNs of the first of them are one (a device late once flags several
// blocks). A lone one is the machine's timer jitter and is let pass; a
// second within kUnderrunWindowNs of the last asks for the next size, twice
// the last, as long as two blocks stay within kMaxBufferedNs. Underruns in
// the kSettleNs after a (re)start are not counted. A stream that started
// above kStartBlockFrames may also grow two steps beyond its start. At the largest size,
// repeated underruns mark the stream as struggling instead.
#include <cstdint>

namespace sound {

constexpr int kStartBlockFrames = 128;
constexpr int kServerStartFrames = 1024;
constexpr int64_t kUnderrunWindowNs = 10'000'000'000;
constexpr int64_t kSettleNs = 1'000'000'000;
constexpr int64_t kBurstNs = 250'000'000;
constexpr int64_t kMaxBufferedNs = 25'000'000;

class LatencyPolicy {
public:
    LatencyPolicy(int64_t now, uint64_t underruns, int sampleRate, int startFrames = kStartBlockFrames);

    // The size the device should run at; when it changes, reopen the device
    // at it and call restarted().
    int update(int64_t now, uint64_t underruns);
    // The device runs again (at blockFrames(), or failed to change size).
    void restarted(int64_t now, uint64_t underruns);

    int blockFrames() const { return block_; }
    int largestFrames() const { return largest_; }
    // At the largest size and still underrunning repeatedly.
    bool struggling() const { return struggling_; }

private:
    int block_;
    int largest_;
    uint64_t seen_;
    int64_t settledAt_;
    int64_t lastUnderrun_ = -1;  // start of the last one counted; none yet
    bool struggling_ = false;
};

}  // namespace sound
