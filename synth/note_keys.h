#pragma once
// NoteKeys: MIDI played on a Synth and its envelope, one voice with
// last-note priority. Shared by every MIDI input (JACK, plugin hosts).
//
// handle() runs on the thread that renders, between samples: it never
// blocks, allocates or prints. Triggers and releases go through
// Vca::postTrigger/postRelease; what a program would print for them is
// handed to the reporter, which must not block either.
//
// The messages understood (on every channel, or on the one listened to):
//   note-on (velocity 0 is a note-off) and note-off: the velocity is ignored;
//   pitch bend: both carriers by up to +-range semitones (2 unless RPN 0
//     sets it), gliding in Synth::tick;
//   CC 64 sustain pedal: held down, note-offs are remembered and applied,
//     in order, when it comes up;
//   CC 120 all sound off, CC 123 all notes off: every note is forgotten and
//     the envelope released;
//   CC 121 reset all controllers: bend to centre, pedal up;
//   CC 101/100 (RPN select) with CC 6/38 (data entry): RPN 0 sets the bend
//     range in semitones and cents.
// Everything else (program change, aftertouch, system messages) is ignored.
#include "synth/patch.h"
#include "synth/shared.h"

class NoteKeys {
public:
    enum Event { kTrig, kUntrig };
    using Reporter = void (*)(Event event, void* user);

    // MIDI 69 (440 Hz) is note 58.
    static constexpr int kNoteOffset = 11;
    static constexpr int kDefaultBendSemitones = 2;

    NoteKeys(Synth& synth, Vca& vca, Reporter reporter = nullptr, void* user = nullptr)
        : synth_(synth), vca_(vca), reporter_(reporter), user_(user) {}

    // The MIDI channel listened to, 1 to 16; 0 (the default) listens to all.
    // May be changed from any thread.
    void setChannel(int channel) { channel_ = channel >= 1 && channel <= 16 ? channel : 0; }
    int channel() const { return channel_; }

    // One MIDI message of 1 to 3 bytes (no running status).
    void handle(const unsigned char* message, int size);

    int heldCount() const { return heldCount_; }
    bool pedalDown() const { return pedalDown_; }
    // Semitones the wheel moves the pitch by at either end.
    float bendRange() const { return bendSemitones_ + bendCents_ / 100.0f; }

private:
    void noteOn(int note);
    void noteOff(int note);
    void allNotesOff();
    void pedal(bool down);
    void control(int number, int value);
    void bend(int value);
    void play(int midiNote);
    static int remove(int* notes, int& count, int note);
    void report(Event event) {
        if (reporter_ != nullptr) reporter_(event, user_);
    }

    Synth& synth_;
    Vca& vca_;
    Reporter reporter_;
    void* user_;
    Shared<int> channel_{0};
    int held_[128];         // the MIDI notes held, oldest first
    int heldCount_ = 0;
    int sustained_[128];    // note-offs kept by the pedal, in arrival order
    int sustainedCount_ = 0;
    bool pedalDown_ = false;
    int wheel_ = 8192;      // last pitch bend value, 0..16383
    int bendSemitones_ = kDefaultBendSemitones;  // RPN 0, data entry MSB
    int bendCents_ = 0;                          // RPN 0, data entry LSB
    int rpn_ = 0x3FFF;      // selected RPN (MSB << 7 | LSB); 0x3FFF is none
};
