// One thread renders while another edits every editable field and triggers
// and releases the envelope, as the console and the window keys do. Built
// with ThreadSanitizer, this must run without a report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "synth/patch.h"

namespace {

TEST(PatchStressTest, RenderWhileEditingEverything) {
    std::fflush(stdout);
    const int savedStdout = dup(1);
    std::freopen("/dev/null", "w", stdout);  // trigger/release print

    Synth* patch = new Synth();
    Vca* envelope = new Vca();
    synth = patch;
    vca = envelope;
    VcoSlot& slot0 = patch->slots[0];
    std::vector<Vco*> editable{slot0.carrier, slot0.modulators[0], slot0.modulators[1],
                               slot0.modulators[2]};

    std::atomic<bool> stop{false};
    std::atomic<long> frames{0};
    std::thread stream([&] {
        std::vector<int16_t> pcm(2 * 128);
        while (!stop.load()) {
            renderStream(nullptr, pcm.data(), static_cast<int>(pcm.size() * 2), nullptr);
            frames += 128;
        }
    });

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    unsigned n = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (Vco* v : editable) {
            v->freq = v->freq + (n % 3 == 0 ? 0.5f : -0.1f);
            v->ampl = v->ampl + 0.01f;
            v->phase = static_cast<float>(n % 5) * 0.1f;
            v->waveform = static_cast<int>(n % 6);
            // Read the stream thread's values as the status block does.
            volatile float seen = v->aFreq + v->aAmpl + v->aPhase + v->cycle + v->getOutput();
            (void)seen;
        }
        envelope->attack = static_cast<float>(n % 40) * 100.0f - 1000.0f;
        envelope->decay = static_cast<float>(n % 7) * 100.0f;
        envelope->sustain = static_cast<float>(n % 4) * 0.1f;
        slot0.note = 58 + static_cast<int>(n % 13);
        patch->slots[1].note = 58 + static_cast<int>(n % 6);
        patch->bend = n % 3 == 0 ? 1.0f : 1.1f;  // the MIDI wheel
        if (n % 2 == 0) envelope->trigger(); else envelope->release();
        volatile float level = envelope->getLevel() + envelope->clock + envelope->gate + envelope->released;
        (void)level;
        ++n;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    stop = true;
    stream.join();

    std::fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    synth = nullptr;
    vca = nullptr;
    EXPECT_GT(frames.load(), 0);
    EXPECT_GT(n, 100u);
}

}  // namespace
