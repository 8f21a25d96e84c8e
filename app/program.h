#pragma once
// Program control: start-up dialogue, console keys, window keys.
#include "synth/patch.h"

// Program-wide references, set once by main (synth, vca and screen live in
// synth/patch.h).
extern Vco* osc1;           // slot 0's carrier
extern Vco* phaseLfo;       // slot 0's modulators[0], target "PHASE"
extern Vco* frequencyLfo;   // slot 0's modulators[1], target "FREQUENCE"
extern Vco* amplitudeLfo;   // slot 0's modulators[2], target "AMPLITUDE"
extern int displayedNote;   // 58, printed in every status block

// Waveform counters of the console keys "+", "7", "8" and "9"; 0 leaves the
// oscillator's waveform as built.
extern int osc1WaveformCounter;
extern int phaseLfoWaveformCounter;
extern int frequencyLfoWaveformCounter;
extern int amplitudeLfoWaveformCounter;

// Output type and driver dialogue; 1 when the sound library was initialised.
int selectOutput();
// Text of a sound-library error code.
const char* errorText(int code);
// Applies one console key, clamps the edited values, prints the status block.
void applyKey(int key);
// Takes every pending window event: note keys, their release, Escape.
void pumpWindowEvents();
