#include "synth/note_keys.h"

#include <cmath>

namespace {
constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;
constexpr int kControlChange = 0xB0;
constexpr int kPitchBend = 0xE0;

constexpr int kDataEntry = 6;
constexpr int kDataEntryFine = 38;
constexpr int kSustain = 64;
constexpr int kRpnFine = 100;
constexpr int kRpnCoarse = 101;
constexpr int kAllSoundOff = 120;
constexpr int kResetControllers = 121;
constexpr int kAllNotesOff = 123;

constexpr int kWheelCentre = 8192;
constexpr int kRpnBendRange = 0;
constexpr int kRpnNone = 0x3FFF;
}  // namespace

void NoteKeys::play(int midiNote) {
    synth_.slots[0].note = midiNote - kNoteOffset;
    synth_.slots[1].note = midiNote - kNoteOffset;
}

int NoteKeys::remove(int* notes, int& count, int note) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (notes[i] != note) notes[kept++] = notes[i];
    }
    const int removed = count - kept;
    count = kept;
    return removed;
}

void NoteKeys::noteOn(int note) {
    remove(sustained_, sustainedCount_, note);
    remove(held_, heldCount_, note);
    const bool legato = heldCount_ > 0;
    held_[heldCount_++] = note;
    play(note);
    if (!legato) {
        vca_.postTrigger();
        report(kTrig);
    }
}

void NoteKeys::noteOff(int note) {
    if (heldCount_ == 0) return;
    if (pedalDown_) {
        // Kept for the pedal's release, once, if the note is held.
        for (int i = 0; i < heldCount_; ++i) {
            if (held_[i] != note) continue;
            remove(sustained_, sustainedCount_, note);
            sustained_[sustainedCount_++] = note;
            break;
        }
        return;
    }
    const bool sounding = held_[heldCount_ - 1] == note;
    remove(held_, heldCount_, note);
    if (!sounding) return;
    if (heldCount_ > 0) {
        play(held_[heldCount_ - 1]);
    } else {
        vca_.postRelease();
        report(kUntrig);
    }
}

void NoteKeys::allNotesOff() {
    const bool sounding = heldCount_ > 0;
    heldCount_ = 0;
    sustainedCount_ = 0;
    if (sounding) {
        vca_.postRelease();
        report(kUntrig);
    }
}

void NoteKeys::pedal(bool down) {
    if (down == pedalDown_) return;
    pedalDown_ = down;
    if (down) return;
    const int count = sustainedCount_;
    sustainedCount_ = 0;
    for (int i = 0; i < count; ++i) noteOff(sustained_[i]);
}

void NoteKeys::bend(int value) {
    wheel_ = value;
    if (value == kWheelCentre) {
        synth_.bend = 1.0f;
        return;
    }
    // Full down is -range, full up (16383) exactly +range.
    const float span = value > kWheelCentre ? kWheelCentre - 1.0f : kWheelCentre;
    const float semitones = static_cast<float>(value - kWheelCentre) / span * bendRange();
    synth_.bend = std::exp2(semitones / 12.0f);
}

void NoteKeys::control(int number, int value) {
    switch (number) {
        case kSustain: pedal(value >= 64); break;
        case kAllSoundOff:
        case kAllNotesOff: allNotesOff(); break;
        case kResetControllers:
            bend(kWheelCentre);
            pedal(false);
            rpn_ = kRpnNone;
            break;
        case kRpnCoarse: rpn_ = (value << 7) | (rpn_ & 0x7F); break;
        case kRpnFine: rpn_ = (rpn_ & (0x7F << 7)) | value; break;
        case kDataEntry:
        case kDataEntryFine:
            if (rpn_ != kRpnBendRange) break;
            if (number == kDataEntry) {
                bendSemitones_ = value;
            } else {
                bendCents_ = value < 100 ? value : 99;
            }
            bend(wheel_);
            break;
        default: break;
    }
}

void NoteKeys::handle(const unsigned char* message, int size) {
    if (message == nullptr || size != 3) return;
    const int status = message[0];
    const int kind = status & 0xF0;
    if (kind < kNoteOff || kind > kPitchBend) return;  // not a channel message
    const int listened = channel_;
    if (listened != 0 && (status & 0x0F) + 1 != listened) return;
    const int data1 = message[1] & 0x7F;
    const int data2 = message[2] & 0x7F;
    if (kind == kNoteOn && data2 > 0) {
        noteOn(data1);
    } else if (kind == kNoteOff || kind == kNoteOn) {
        noteOff(data1);
    } else if (kind == kControlChange) {
        control(data1, data2);
    } else if (kind == kPitchBend) {
        bend(data2 << 7 | data1);
    }
}
