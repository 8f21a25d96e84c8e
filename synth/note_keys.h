#pragma once
// NoteKeys: MIDI notes played on a Synth and its envelope, one voice with
// last-note priority. Shared by every MIDI input (JACK, plugin hosts).
//
// handle() runs on the thread that renders, between samples: it never
// blocks, allocates or prints. Triggers and releases go through
// Vca::postTrigger/postRelease; what a program would print for them is
// handed to the reporter, which must not block either.
#include "synth/patch.h"

class NoteKeys {
public:
    enum Event { kTrig, kUntrig };
    using Reporter = void (*)(Event event, void* user);

    // MIDI 69 (440 Hz) is note 58.
    static constexpr int kNoteOffset = 11;

    NoteKeys(Synth& synth, Vca& vca, Reporter reporter = nullptr, void* user = nullptr)
        : synth_(synth), vca_(vca), reporter_(reporter), user_(user) {}

    // One MIDI message of 1 to 3 bytes. Note-on: both slots move to it; the
    // envelope triggers unless another note is held (legato). Note-off of
    // the sounding note: back to the most recent held note, or the release
    // when none is left. Anything else is ignored.
    void handle(const unsigned char* message, int size);

    int heldCount() const { return heldCount_; }

private:
    void play(int midiNote);
    void forget(int midiNote);
    void report(Event event) {
        if (reporter_ != nullptr) reporter_(event, user_);
    }

    Synth& synth_;
    Vca& vca_;
    Reporter reporter_;
    void* user_;
    int held_[128];      // the MIDI notes held, oldest first
    int heldCount_ = 0;
};
