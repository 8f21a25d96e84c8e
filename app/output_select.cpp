// Start-up, output and driver dialogue, main loop and shutdown.
#include <SDL.h>

#include <cstdio>
#include <cstdlib>

#include "app/program.h"
#include "platform/console.h"
#include "platform/sound.h"

namespace {

constexpr float kRequiredVersion = 3.74f;
constexpr int kMixRate = 44100;
constexpr int kSoftwareChannels = 32;
constexpr int kStreamBytes = 32768;
constexpr unsigned kStreamMode = FSOUND_2D | FSOUND_SIGNED | FSOUND_STEREO | FSOUND_16BITS;
constexpr signed char kEscape = 27;
// Longest wait of a pass of the main loop for a key, when the window's events
// (if any) wake it as they come.
constexpr int kIdleWaitMs = 100;

const char* const kRule = "---------------------------------------------------------";
const char* const kPrompt = "Press a corresponding number or ESC to quit";

void printLine(const char* text) { std::printf("%s\n", text); }

void reportError() {
    std::printf("Error!\n");
    std::printf("%s\n", errorText(FSOUND_GetError()));
    std::fflush(stdout);
}

void endDialogue() {
    std::fflush(stdout);
    std::exit(0);
}

const char* outputName(int type) {
    switch (type) {
        case FSOUND_OUTPUT_NOSOUND: return "NoSound";
        case FSOUND_OUTPUT_WINMM: return "Windows Multimedia Waveout";
        case FSOUND_OUTPUT_DSOUND: return "Direct Sound";
        case FSOUND_OUTPUT_OSS: return "Open Sound System";
        case FSOUND_OUTPUT_ESD: return "Enlightment Sound Daemon";
        case FSOUND_OUTPUT_ALSA: return "Alsa";
        case FSOUND_OUTPUT_ASIO: return "ASIO";
        default: return "";
    }
}

// The playing stream, closed by whichever way out comes first.
FSOUND_STREAM* playingStream = nullptr;

void closePlayingStream() {
    FSOUND_STREAM* stream = playingStream;
    playingStream = nullptr;
    if (stream != nullptr) FSOUND_Stream_Close(stream);
}

void runMainLoop(void (*drainWindow)()) {
    for (;;) {
        drainWindow();
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

const char* errorText(int code) {
    switch (code) {
        case FMOD_ERR_NONE: return "No errors";
        case FMOD_ERR_BUSY: return "Cannot call this command after FSOUND_Init.  Call FSOUND_Close first.";
        case FMOD_ERR_UNINITIALIZED: return "This command failed because FSOUND_Init was not called";
        case FMOD_ERR_INIT: return "Error initializing output device.";
        case FMOD_ERR_ALLOCATED: return "The output device is already in use and cannot be reused.";
        case FMOD_ERR_PLAY: return "Playing the sound failed.";
        case FMOD_ERR_OUTPUT_FORMAT:
            return "Soundcard does not support the features needed for this soundsystem (16bit stereo output)";
        case FMOD_ERR_COOPERATIVELEVEL: return "Error setting cooperative level for hardware.";
        case FMOD_ERR_CREATEBUFFER: return "Error creating hardware sound buffer.";
        case FMOD_ERR_FILE_NOTFOUND: return "File not found";
        case FMOD_ERR_FILE_FORMAT: return "Unknown file format";
        case FMOD_ERR_FILE_BAD: return "Error loading file";
        case FMOD_ERR_MEMORY: return "Not enough memory ";
        case FMOD_ERR_VERSION: return "The version number of this file format is not supported";
        case FMOD_ERR_INVALID_PARAM: return "An invalid parameter was passed to this function";
        case FMOD_ERR_NO_EAX: return "Tried to use an EAX command on a non EAX enabled channel or output.";
        case FMOD_ERR_CHANNEL_ALLOC: return "Failed to allocate a new channel";
        case FMOD_ERR_RECORD: return "Recording not supported on this device";
        case FMOD_ERR_MEDIAPLAYER: return "Required Mediaplayer codec is not installed";
        default: return "Unknown error";
    }
}

int selectOutput() {
    if (FSOUND_GetVersion() < kRequiredVersion) {
        std::printf("Error : You are using the wrong DLL version!  You should be using FMOD %.02f\n",
                    static_cast<double>(kRequiredVersion));
        std::fflush(stdout);
        return 0;
    }

    printLine(kRule);
    printLine("Output Type");
    printLine(kRule);
    printLine("1 - Direct Sound");
    printLine("2 - Windows Multimedia Waveout");
    printLine("3 - ASIO");
    printLine("4 - NoSound");
    printLine(kRule);
    printLine(kPrompt);
    std::fflush(stdout);

    const int outputKey = _getch();
    switch (outputKey == kConsoleEnd ? 0 : static_cast<signed char>(outputKey)) {
        case '1': FSOUND_SetOutput(FSOUND_OUTPUT_DSOUND); break;
        case '2': FSOUND_SetOutput(FSOUND_OUTPUT_WINMM); break;
        case '3': FSOUND_SetOutput(FSOUND_OUTPUT_ASIO); break;
        case '4': FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND); break;
        default: endDialogue();
    }

    printLine(kRule);
    std::printf("%s", outputName(FSOUND_GetOutput()));
    std::printf(" Driver list\n");
    printLine(kRule);
    for (int i = 0; i < FSOUND_GetNumDrivers(); ++i) {
        const char* name = FSOUND_GetDriverName(i);
        std::printf("%d - %s\n", i + 1, name != nullptr ? name : "");
    }
    printLine(kRule);
    printLine(kPrompt);
    std::fflush(stdout);

    for (;;) {
        const int key = _getch();
        if (key == kConsoleEnd) endDialogue();
        const signed char typed = static_cast<signed char>(key);
        if (typed == kEscape) endDialogue();
        if (typed < '1') continue;
        const int driver = typed - '1';
        if (driver >= FSOUND_GetNumDrivers()) continue;
        FSOUND_SetDriver(driver);
        if (FSOUND_Init(kMixRate, kSoftwareChannels, 0)) return 1;
        reportError();
        return 0;
    }
}

int runProgram(void (*drainWindow)()) {
    synth = new Synth();
    osc1WaveformCounter = 0;
    displayedNote = 58;

    selectOutput();

    // Without a display SDL 1.2 would fall back to drawing into the terminal;
    // without X11 the program runs windowless instead.
    setenv("SDL_VIDEODRIVER", "x11", 0);
    SDL_Init(SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE);
    std::atexit(SDL_Quit);
    screen = SDL_SetVideoMode(640, 800, 0, SDL_ANYFORMAT);

    // The main loop waits for console keys and window events together; a
    // window whose events cannot be waited for keeps the short default wait.
    if (screen == nullptr) {
        consoleSetWait(kIdleWaitMs, -1);
    } else if (const int fd = prepareWindowKeys(); fd >= 0) {
        consoleSetWait(kIdleWaitMs, fd);
    }

    std::fflush(stdout);
    [[maybe_unused]] const int cleared = std::system("clear");

    std::printf("[aqzs edrftg yhujik olpm our] modifier les trucs \n");
    std::printf("[+-] change type OSC1 [7894] le type des LFO1234\n");
    std::printf("[wxcvbn,;] pour les notes (foireuxmaismarche)\n");
    std::fflush(stdout);

    VcoSlot& slot0 = synth->slots[0];
    osc1 = slot0.carrier;
    phaseLfo = slot0.modulators[0];
    frequencyLfo = slot0.modulators[1];
    amplitudeLfo = slot0.modulators[2];

    vca = new Vca();

    // From here on a signal is handled by the main loop, which can close the
    // stream first.
    consoleDeferSignals();

    FSOUND_STREAM* stream = FSOUND_Stream_Create(renderStream, kStreamBytes, kStreamMode, kMixRate, osc1);
    if (stream == nullptr) {
        reportError();
        std::exit(1);
    }
    playingStream = stream;
    std::atexit(closePlayingStream);
    if (FSOUND_Stream_Play(0, stream) == -1) {
        reportError();
        std::exit(1);
    }

    runMainLoop(drainWindow);

    closePlayingStream();
    FSOUND_Close();
    std::fflush(stdout);
    return 0;
}
