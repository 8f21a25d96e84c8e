// MIDI note keys: a keyboard on the sound layer's MIDI input plays both
// slots as the window keys do, one voice with last-note priority.
#include <atomic>
#include <cstdio>
#include <memory>

#include "app/program.h"
#include "platform/sound.h"
#include "synth/note_keys.h"

namespace {

// What the stream thread has to report: one producer (the stream thread),
// one consumer (the main loop). Messages beyond a full queue are dropped.
constexpr unsigned kReportSlots = 256;
NoteKeys::Event reports[kReportSlots];
std::atomic<unsigned> reportsWritten{0};
std::atomic<unsigned> reportsRead{0};

void report(NoteKeys::Event event, void*) {
    const unsigned written = reportsWritten.load(std::memory_order_relaxed);
    if (written - reportsRead.load(std::memory_order_acquire) >= kReportSlots) return;
    reports[written % kReportSlots] = event;
    reportsWritten.store(written + 1, std::memory_order_release);
}

std::unique_ptr<NoteKeys> keys;

void onMidi(const unsigned char* message, int size, void*) { keys->handle(message, size); }

}  // namespace

void startMidiKeys(int channel) {
    soundSetMidiHandler(nullptr, nullptr);
    keys = std::make_unique<NoteKeys>(*synth, *vca, report);
    keys->setChannel(channel);
    soundSetMidiHandler(onMidi, nullptr);
}

void drainMidiKeys() {
    unsigned read = reportsRead.load(std::memory_order_relaxed);
    const unsigned written = reportsWritten.load(std::memory_order_acquire);
    for (; read != written; ++read) {
        std::printf(reports[read % kReportSlots] == NoteKeys::kTrig ? "\nTRIG\n" : "UNTRIG\n");
    }
    reportsRead.store(read, std::memory_order_release);
}
