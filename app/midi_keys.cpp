// MIDI note keys: a keyboard on the sound layer's MIDI input plays both
// slots as the window keys do, one voice with last-note priority.
#include <atomic>
#include <cstdio>
#include <memory>

#include "app/program.h"
#include "platform/sound.h"
#include "synth/note_keys.h"

namespace {

// What the stream thread has to report: one producer (the stream thread)
// writes the latest kReportSlots reports round a ring, one consumer (the main
// loop) prints them. A pass that finds more than kMaxLinesPerPass new
// reports (a flood) prints the last two only, so the console stays readable
// and shows the state the flood left.
constexpr unsigned kReportSlots = 16;
constexpr unsigned kMaxLinesPerPass = 8;
std::atomic<unsigned char> reports[kReportSlots];
std::atomic<unsigned> reportsWritten{0};
unsigned reportsRead = 0;  // main loop only

void report(NoteKeys::Event event, void*) {
    const unsigned written = reportsWritten.load(std::memory_order_relaxed);
    reports[written % kReportSlots].store(static_cast<unsigned char>(event), std::memory_order_relaxed);
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
    const unsigned written = reportsWritten.load(std::memory_order_acquire);
    if (written - reportsRead > kMaxLinesPerPass) reportsRead = written - 2;
    for (; reportsRead != written; ++reportsRead) {
        const auto event = reports[reportsRead % kReportSlots].load(std::memory_order_relaxed);
        std::printf(event == NoteKeys::kTrig ? "\nTRIG\n" : "UNTRIG\n");
    }
}
