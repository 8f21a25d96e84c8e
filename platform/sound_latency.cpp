#include "platform/sound_latency.h"

namespace sound {

LatencyPolicy::LatencyPolicy(int64_t now, uint64_t underruns, int sampleRate, int startFrames)
    : block_(startFrames), largest_(startFrames), seen_(underruns), settledAt_(now + kSettleNs) {
    while (sampleRate > 0 && 2 * int64_t(largest_) * 2 * 1'000'000'000 <= kMaxBufferedNs * sampleRate)
        largest_ *= 2;
    if (startFrames > kStartBlockFrames && largest_ < 4 * startFrames) largest_ = 4 * startFrames;
}

int LatencyPolicy::update(int64_t now, uint64_t underruns) {
    const uint64_t fresh = underruns - seen_;
    seen_ = underruns;
    if (fresh == 0 || now < settledAt_) return block_;
    if (lastUnderrun_ >= 0 && now - lastUnderrun_ < kBurstNs) return block_;  // the same one
    const bool repeated = lastUnderrun_ >= 0 && now - lastUnderrun_ <= kUnderrunWindowNs;
    lastUnderrun_ = now;
    if (!repeated) return block_;
    lastUnderrun_ = -1;
    if (block_ < largest_) {
        block_ *= 2;
        settledAt_ = now + kSettleNs;
    } else {
        struggling_ = true;
    }
    return block_;
}

void LatencyPolicy::restarted(int64_t now, uint64_t underruns) {
    seen_ = underruns;
    settledAt_ = now + kSettleNs;
    lastUnderrun_ = -1;
}

}  // namespace sound
