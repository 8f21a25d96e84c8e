#pragma once
// The patch: carriers with their modulators, evaluated once per sample, and
// the stream callback that turns it into 16-bit stereo PCM.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "synth/module_base.h"
#include "synth/shared.h"
#include "synth/vca.h"
#include "synth/vco.h"

struct SDL_Surface;
struct FSOUND_STREAM;

// Modulation targets, matched by substring.
extern const char* const kTargetAmplitude;  // "AMPLITUDE"
extern const char* const kTargetFrequency;  // "FREQUENCE"
extern const char* const kTargetPhase;      // "PHASE"

// One carrier, its note, and the modulators acting on it. Copying a slot
// copies the pointers, never the oscillators.
//
// The lists are fixed before the stream starts: they are built or changed
// only while no stream plays, and then refreshTargets() computes their target
// tests once (the Synth constructor and addModulatorFront call it). The
// stream thread only reads them. A target other than the one that was tested
// at its place (a slot built or edited without refreshTargets()) is tested
// afresh on every sample, so the sound never depends on the cached tests.
struct VcoSlot {
    std::vector<Vco*> modulators;        // in evaluation order
    std::vector<const char*> targets;    // parallel to modulators
    Vco* carrier = nullptr;
    Shared<int32_t> note{0};             // written by the window keys

    // Inserts a modulator and its target at the front of both lists.
    void addModulatorFront(Vco* modulator, const char* target);
    // Computes the target tests of the target list.
    void refreshTargets();

    // The target tests, by position: which target was tested, and its result.
    struct TargetTest {
        const char* target;
        unsigned acts;
    };
    std::vector<TargetTest> targetTests;
    // Stream-thread cache of the carrier frequency of the last note seen (the
    // lowest note sounds 0 Hz, so it starts out right).
    int32_t tunedNote = INT32_MIN;
    float tunedFreq = 0.0f;
};

class Synth : public ModuleBase {
public:
    // Builds the fixed patch and prints it.
    Synth();
    // Builds the fixed patch without printing it.
    struct Quiet {};
    explicit Synth(Quiet);

    // Evaluates one sample into output.
    void tick();
    float getOutput() const { return output; }
    // "VCO [%p]" per carrier, then " |---%14s <-- VCO [%p]" per modulator.
    void print() const;

    Shared<float> output{0.0f};
    std::vector<VcoSlot> slots;
    // The envelope whose level bends the pitch; none means the program-wide
    // vca. Set before the stream starts, never during.
    Vca* envelope = nullptr;

    // Pitch bend: the ratio both carriers' frequency is multiplied by (1 at
    // centre), written by the MIDI keys. tick() glides to it within a few
    // milliseconds so that a moving wheel does not click; at exactly 1 the
    // carriers are left untouched.
    Shared<float> bend{1.0f};
    float bendNow = 1.0f;  // the ratio sounding; the render thread's
};

// Frequency of a note: 8.1757989 * 2^((note + 11) / 12); note 58 is 440 Hz.
float noteFrequency(int32_t note);

// Stream sample of a Synth output: truncated toward zero, wrapped modulo
// 65536; not-a-number or beyond the 64-bit range gives 0.
int16_t toSample(float value);

// The program-wide engine objects, set once by main before the stream starts.
extern Synth* synth;
extern Vca* vca;          // bends the pitch of a Synth without an envelope; none: level 0
extern SDL_Surface* screen;

// Fills the surface with black; no surface, nothing to do. Returns the
// lock's result, 0 when there was nothing to clear.
int clearScreen(SDL_Surface* surface);

// Stream callback: clears the screen, then for each whole 4-byte frame ticks
// vca and synth and writes the sample to both channels. Returns 1.
int renderStream(FSOUND_STREAM* stream, void* buffer, int lengthInBytes, void* userData);
