// renderStream on the program's 32768-byte buffer (8192 frames).
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/patch_states.h"

namespace {

constexpr int kBufferBytes = 32768;
constexpr int kFrames = kBufferBytes / 4;

void BM_RenderStream(benchmark::State& state) {
    setUpPatch(static_cast<PatchState>(state.range(0)));
    state.SetLabel(stateName(static_cast<PatchState>(state.range(0))));
    std::vector<int16_t> buffer(kBufferBytes / 2);
    for (auto _ : state) {
        renderStream(nullptr, buffer.data(), kBufferBytes, nullptr);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    // Seconds per frame (shown in ns), and seconds of audio per second.
    state.counters["per_frame"] =
        benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] =
        benchmark::Counter(kFrames / 44100.0, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_RenderStream)
    ->Arg(static_cast<int>(PatchState::kDrone))
    ->Arg(static_cast<int>(PatchState::kMovingLfos))
    ->Arg(static_cast<int>(PatchState::kNoise))
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
