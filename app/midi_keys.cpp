// MIDI note keys: a keyboard on the sound layer's MIDI input plays both
// slots as the window keys do, one voice with last-note priority.
#include <atomic>
#include <cstdio>

#include "app/program.h"
#include "platform/sound.h"

namespace {

constexpr int kNoteOffset = 11;  // MIDI 69 (440 Hz) is note 58
constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;

// Stream thread only: the MIDI notes held, oldest first.
int held[128];
int heldCount = 0;

// What the stream thread has to report: one producer (the stream thread),
// one consumer (the main loop). Messages beyond a full queue are dropped.
enum Report : unsigned char { kTrig, kUntrig };
constexpr unsigned kReportSlots = 256;
Report reports[kReportSlots];
std::atomic<unsigned> reportsWritten{0};
std::atomic<unsigned> reportsRead{0};

void report(Report r) {
    const unsigned written = reportsWritten.load(std::memory_order_relaxed);
    if (written - reportsRead.load(std::memory_order_acquire) >= kReportSlots) return;
    reports[written % kReportSlots] = r;
    reportsWritten.store(written + 1, std::memory_order_release);
}

void play(int midiNote) {
    synth->slots[0].note = midiNote - kNoteOffset;
    synth->slots[1].note = midiNote - kNoteOffset;
}

void forget(int midiNote) {
    int kept = 0;
    for (int i = 0; i < heldCount; ++i) {
        if (held[i] != midiNote) held[kept++] = held[i];
    }
    heldCount = kept;
}

// Note-on: the notes move to it; the envelope triggers unless another note
// is held (legato). Note-off of the sounding note: back to the most recent
// held note, or the release when none is left. Anything else is ignored.
void onMidi(const unsigned char* message, int size, void*) {
    if (size != 3) return;
    const int kind = message[0] & 0xF0;
    const int note = message[1] & 0x7F;
    const int velocity = message[2] & 0x7F;
    if (kind == kNoteOn && velocity > 0) {
        forget(note);
        const bool legato = heldCount > 0;
        held[heldCount++] = note;
        play(note);
        if (!legato) {
            vca->postTrigger();
            report(kTrig);
        }
    } else if (kind == kNoteOff || kind == kNoteOn) {
        if (heldCount == 0) return;
        const bool sounding = held[heldCount - 1] == note;
        forget(note);
        if (!sounding) return;
        if (heldCount > 0) {
            play(held[heldCount - 1]);
        } else {
            vca->postRelease();
            report(kUntrig);
        }
    }
}

}  // namespace

void startMidiKeys() { soundSetMidiHandler(onMidi, nullptr); }

void drainMidiKeys() {
    unsigned read = reportsRead.load(std::memory_order_relaxed);
    const unsigned written = reportsWritten.load(std::memory_order_acquire);
    for (; read != written; ++read) {
        std::printf(reports[read % kReportSlots] == kTrig ? "\nTRIG\n" : "UNTRIG\n");
    }
    reportsRead.store(read, std::memory_order_release);
}
