// Renders a number of 32768-byte buffers of one patch state, with the engine
// or with the plain per-sample translation, for instruction counting:
//   valgrind --tool=callgrind render_frames engine lfos 10
// bench/render_instructions.sh runs it and reports instructions per frame.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/patch_states.h"
#include "tests/synth/plain_patch.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s engine|plain drone|lfos|noise BUFFERS\n", argv[0]);
        return 2;
    }
    const bool plainMode = std::strcmp(argv[1], "plain") == 0;
    PatchState state = PatchState::kDrone;
    if (std::strcmp(argv[2], "lfos") == 0) state = PatchState::kMovingLfos;
    if (std::strcmp(argv[2], "noise") == 0) state = PatchState::kNoise;
    const int buffers = std::atoi(argv[3]);

    setUpPatch(state);
    plain::Patch ref;
    for (int i = 0; i < 3; ++i) {
        plain::Osc& m = *ref.slots[0].modulators[i];
        const Vco& v = *synth->slots[0].modulators[i];
        m.freq = v.freq;
        m.ampl = v.ampl;
        m.waveform = v.waveform;
    }
    ref.slots[0].note = synth->slots[0].note;
    ref.slots[1].note = synth->slots[1].note;

    std::vector<int16_t> pcm(32768 / 2);
    long checksum = 0;
    for (int b = 0; b < buffers; ++b) {
        if (plainMode) {
            // The same loop as renderStream, over the plain patch.
            for (size_t i = 0; i < pcm.size(); i += 2) {
                vca->tick();
                pcm[i] = pcm[i + 1] = plain::sampleOf(ref.tick(vca->getLevel()));
            }
        } else {
            renderStream(nullptr, pcm.data(), 32768, nullptr);
        }
        for (int16_t s : pcm) checksum += s;
    }
    std::printf("%s %s %d buffers checksum %ld\n", argv[1], argv[2], buffers, checksum);
    return 0;
}
