#include "synth/note_keys.h"

namespace {
constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;
}  // namespace

void NoteKeys::play(int midiNote) {
    synth_.slots[0].note = midiNote - kNoteOffset;
    synth_.slots[1].note = midiNote - kNoteOffset;
}

void NoteKeys::forget(int midiNote) {
    int kept = 0;
    for (int i = 0; i < heldCount_; ++i) {
        if (held_[i] != midiNote) held_[kept++] = held_[i];
    }
    heldCount_ = kept;
}

void NoteKeys::handle(const unsigned char* message, int size) {
    if (message == nullptr || size != 3) return;
    const int kind = message[0] & 0xF0;
    const int note = message[1] & 0x7F;
    const int velocity = message[2] & 0x7F;
    if (kind == kNoteOn && velocity > 0) {
        forget(note);
        const bool legato = heldCount_ > 0;
        held_[heldCount_++] = note;
        play(note);
        if (!legato) {
            vca_.postTrigger();
            report(kTrig);
        }
    } else if (kind == kNoteOff || kind == kNoteOn) {
        if (heldCount_ == 0) return;
        const bool sounding = held_[heldCount_ - 1] == note;
        forget(note);
        if (!sounding) return;
        if (heldCount_ > 0) {
            play(held_[heldCount_ - 1]);
        } else {
            vca_.postRelease();
            report(kUntrig);
        }
    }
}
