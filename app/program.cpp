// Start-up, the main loop and shutdown.
#include <SDL.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "platform/console.h"
#include "platform/sound.h"

namespace {

constexpr int kStreamBytes = 32768;
constexpr unsigned kStreamMode = FSOUND_2D | FSOUND_SIGNED | FSOUND_STEREO | FSOUND_16BITS;
// Longest wait of a pass of the main loop for a key, when the window's events
// (if any) wake it as they come.
constexpr int kIdleWaitMs = 100;

// The playing stream, closed by whichever way out comes first.
FSOUND_STREAM* playingStream = nullptr;

void closePlayingStream() {
    FSOUND_STREAM* stream = playingStream;
    playingStream = nullptr;
    if (stream != nullptr) FSOUND_Stream_Close(stream);
}

// Creates and plays the stream; a failure ends the process with status 1.
void startStream() {
    FSOUND_STREAM* stream;
    {
        ConsoleSignalsHeld held;
        stream = FSOUND_Stream_Create(renderStream, kStreamBytes, kStreamMode, kMixRate, osc1);
    }
    if (stream == nullptr) {
        reportError();
        std::exit(1);
    }
    playingStream = stream;
    int channel;
    {
        ConsoleSignalsHeld held;
        channel = FSOUND_Stream_Play(0, stream);
    }
    if (channel == -1) {
        reportError();
        std::exit(1);
    }
}

// The X connection is gone: nothing may use the window surface any more.
void windowGone() {
    const bool playing = playingStream != nullptr;
    closePlayingStream();
    screen = nullptr;
    consoleSetWait(kIdleWaitMs, -1);
    if (playing) startStream();
}

// The shell's "clear". Where it cannot clear (no TERM, no clear on PATH) a
// terminal other than a dumb one gets the ANSI home and erase sequence; the
// shell's complaints are not shown.
void clearConsole() {
    std::fflush(stdout);
    if (std::system("{ clear; } 2>/dev/null") == 0) return;
    const char* term = std::getenv("TERM");
    if (isatty(STDOUT_FILENO) && (term == nullptr || std::strcmp(term, "dumb") != 0)) {
        std::printf("\x1b[H\x1b[2J");
        std::fflush(stdout);
    }
}

void runMainLoop(void (*drainWindow)()) {
    for (;;) {
        drainWindow();
        drainMidiKeys();
        if (const int signalNumber = consolePendingSignal()) {
            closePlayingStream();
            std::fflush(stdout);
            consoleEndBySignal(signalNumber);
        }
        if (!_kbhit()) continue;
        int key = _getch();
        if (key == kConsoleEnd) key = '.';
        applyKey(key);
        if (static_cast<signed char>(key) == '.') return;
    }
}

}  // namespace

int runProgram(void (*drainWindow)(), const ProgramOptions& options, const PatchValues* patch) {
    // Without a display SDL 1.2 would fall back to drawing into the terminal;
    // without X11 the program runs windowless instead. Set while the process
    // has a single thread.
    setenv("SDL_VIDEODRIVER", "x11", 0);

    synth = new Synth();
    osc1WaveformCounter = 0;
    displayedNote = 58;

    const bool initialised = selectOutput(options.output, options.driver) == 1;

    {
        ConsoleSignalsHeld held;
        SDL_Init(SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE);
        screen = SDL_SetVideoMode(640, 800, 0, SDL_ANYFORMAT);
        if (screen != nullptr) SDL_WM_SetCaption("synth", "synth");
    }
    std::atexit(quitWindow);
    if (screen != nullptr) guardWindow(windowGone);

    // The main loop waits for console keys and window events together; a
    // window whose events cannot be waited for keeps the short default wait.
    if (screen == nullptr) {
        consoleSetWait(kIdleWaitMs, -1);
    } else if (const int fd = prepareWindowKeys(); fd >= 0) {
        consoleSetWait(kIdleWaitMs, fd);
    }

    // A failed initialisation's error stays on the screen.
    if (initialised) clearConsole();

    std::printf("[aqzs edrftg yhujik olpm our] modifier les trucs \n");
    std::printf("[+-] change type OSC1 [7894] le type des LFO1234\n");
    std::printf("[wxcvbn,;] pour les notes (foireuxmaismarche)\n");
    std::fflush(stdout);

    findEditedOscillators();

    vca = new Vca();
    if (patch != nullptr) {
        applyPatch(*patch);
        printStatus();
    }
    startMidiKeys(options.midiChannel);

    // From here on a signal is handled by the main loop, which can close the
    // stream first.
    consoleDeferSignals();

    std::atexit(closePlayingStream);
    startStream();

    runMainLoop(drainWindow);

    closePlayingStream();
    FSOUND_Close();
    std::fflush(stdout);
    return 0;
}
