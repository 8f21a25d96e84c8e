// The output type and driver dialogue, and the sound library's error texts.
#include <cstdio>
#include <cstdlib>

#include "app/program.h"
#include "platform/console.h"
#include "platform/sound.h"

namespace {

constexpr float kRequiredVersion = 3.74f;
constexpr int kSoftwareChannels = 32;
constexpr signed char kEscape = 27;

const char* const kRule = "---------------------------------------------------------";
const char* const kPrompt = "Press a corresponding number or ESC to quit";

void printLine(const char* text) { std::printf("%s\n", text); }

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

void reportError() {
    std::printf("Error!\n");
    std::printf("%s\n", errorText(FSOUND_GetError()));
    std::fflush(stdout);
}

int selectOutput() { return selectOutput(0, 0); }

int selectOutput(int output, int driver) {
    if (FSOUND_GetVersion() < kRequiredVersion) {
        std::printf("Error : You are using the wrong DLL version!  You should be using FMOD %.02f\n",
                    static_cast<double>(kRequiredVersion));
        std::fflush(stdout);
        return 0;
    }

    int outputKey = '0' + output;
    if (output == 0) {
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
        outputKey = _getch();
    }
    int outputType = FSOUND_OUTPUT_NOSOUND;
    switch (outputKey == kConsoleEnd ? 0 : static_cast<signed char>(outputKey)) {
        case '1': outputType = FSOUND_OUTPUT_DSOUND; break;
        case '2': outputType = FSOUND_OUTPUT_WINMM; break;
        case '3': outputType = FSOUND_OUTPUT_ASIO; break;
        case '4': outputType = FSOUND_OUTPUT_NOSOUND; break;
        default: endDialogue();
    }
    {
        ConsoleSignalsHeld held;  // the device probe may start threads
        FSOUND_SetOutput(outputType);
    }

    if (driver == 0) {
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
    } else if (driver > FSOUND_GetNumDrivers()) {
        std::fflush(stdout);
        const int count = FSOUND_GetNumDrivers();
        std::fprintf(stderr, "synth: driver %d is not in the list (%s has %d driver%s); %s\n", driver,
                     outputName(FSOUND_GetOutput()), count, count == 1 ? "" : "s", kUsageHint);
        std::exit(2);
    }

    for (;;) {
        int chosen = driver - 1;
        if (driver == 0) {
            const int key = _getch();
            if (key == kConsoleEnd) endDialogue();
            const signed char typed = static_cast<signed char>(key);
            if (typed == kEscape) endDialogue();
            if (typed < '1') continue;
            chosen = typed - '1';
            if (chosen >= FSOUND_GetNumDrivers()) continue;
        }
        FSOUND_SetDriver(chosen);
        int initialised;
        {
            ConsoleSignalsHeld held;
            initialised = FSOUND_Init(kMixRate, kSoftwareChannels, 0);
        }
        if (initialised) return 1;
        reportError();
        return 0;
    }
}
