#pragma once
// Program control: start-up dialogue, console keys, window keys.
#include "app/options.h"
#include "app/patch_file.h"
#include "synth/patch.h"

// Program-wide references, set once by main (synth, vca and screen live in
// synth/patch.h).
extern Vco* osc1;           // slot 0's carrier
extern Vco* phaseLfo;       // slot 0's modulators[0], target "PHASE"
extern Vco* frequencyLfo;   // slot 0's modulators[1], target "FREQUENCE"
extern Vco* amplitudeLfo;   // slot 0's modulators[2], target "AMPLITUDE"
extern int displayedNote;   // 58, printed in every status block

// Points osc1 and the three LFOs at slot 0's carrier and modulators.
void findEditedOscillators();

// Waveform counters of the console keys "+", "7", "8" and "9"; 0 leaves the
// oscillator's waveform as built.
extern int osc1WaveformCounter;
extern int phaseLfoWaveformCounter;
extern int frequencyLfoWaveformCounter;
extern int amplitudeLfoWaveformCounter;

// Output type and driver dialogue; 1 when the sound library was initialised.
// Escape, an unlisted output key or the end of input ends the process with
// status 0.
int selectOutput();
// The same, answered by the command line: an output from 1 to 4 or a driver
// from 1 is taken without asking (0 asks). A driver that is not in the list
// is reported on stderr and ends the process with status 2.
int selectOutput(int output, int driver);
// Text of a sound-library error code.
const char* errorText(int code);
// Prints "Error!" and the text of the sound library's last error.
void reportError();
// The rate the library is opened at and the stream plays at.
constexpr int kMixRate = 44100;
// Applies one console key, clamps the edited values, prints the status block.
void applyKey(int key);
// Prints the six-line status block.
void printStatus();
// Takes every pending window event: note keys, their release, Escape.
void pumpWindowEvents();
// Once the window is open: makes a held key give one key-down, and returns
// the descriptor its events arrive on (-1 when they cannot be waited for).
int prepareWindowKeys();
// Once the window is open: X errors are ignored (another client may destroy
// the window), and when the connection to the X server is lost onLost runs
// on the main thread, inside the window call that found it, before anything
// of the window is freed. From then on the window is gone: windowLost() is
// true, pumpWindowEvents() returns at once and quitWindow() leaves SDL as it
// is; the program goes on without it (with a libX11 older than 1.7, Xlib
// ends the process with status 1 once onLost returns).
void guardWindow(void (*onLost)());
bool windowLost();
// SDL_Quit, unless the window was lost; never waits more than a second on
// the X server. The window is gone afterwards.
void quitWindow();

// MIDI note keys on the sound layer's MIDI input: startMidiKeys() registers
// them before the stream plays; the main loop calls drainMidiKeys() on every
// pass to print their "\nTRIG\n" and "UNTRIG\n" messages. channel: the MIDI
// channel listened to, 1 to 16, or 0 for all.
void startMidiKeys(int channel = 0);
void drainMidiKeys();

// The whole program after stdout is set up: builds the patch, runs the output
// dialogue, opens the window and the stream, then loops calling drainWindow
// and applying console keys until "." or the end of input (taken as ".").
// Returns 0 after closing the stream and the sound library. Every other end
// goes through exit() (stream failure: 1) or, for SIGINT, SIGTERM and SIGHUP,
// closes the stream and ends by the signal. From the stream's creation on, an
// exit handler closes the stream first on any exit() path. When the X
// connection is lost the stream is closed, then started again without the
// window. Signals are held around every call that may start a thread.
// options answers the dialogue and sets the MIDI channel; patch, when given,
// is applied once the envelope exists and the status block printed.
int runProgram(void (*drainWindow)(), const ProgramOptions& options = ProgramOptions(),
               const PatchValues* patch = nullptr);
