// Stand-in of the sound library calls.
#include <cstdio>
#include <string>

#include "app/program.h"
#include "platform/sound.h"
#include "tests/app/fakes.h"

namespace fake {

Sound sound;
Console console;
std::vector<std::string> calls;
bool echoCalls = false;

namespace {
int outputSet = -1;
int streamToken;
}  // namespace

void reset() {
    sound = Sound();
    console = Console();
    calls.clear();
    echoCalls = false;
    outputSet = -1;
}

void log(const std::string& call) {
    calls.push_back(call);
    if (echoCalls) std::printf("@%s\n", call.c_str());
}

void type(const std::string& keys) {
    for (unsigned char key : keys) console.keys.push_back(key);
}

}  // namespace fake

using fake::log;
using fake::sound;

float FSOUND_GetVersion() { return sound.version; }

int FSOUND_SetOutput(int outputType) {
    log("SetOutput(" + std::to_string(outputType) + ")");
    fake::outputSet = outputType;
    return 1;
}

int FSOUND_GetOutput() { return sound.reportedOutput.value_or(fake::outputSet); }

int FSOUND_GetNumDrivers() { return static_cast<int>(sound.drivers.size()); }

const char* FSOUND_GetDriverName(int driver) {
    if (driver < 0 || driver >= FSOUND_GetNumDrivers()) return nullptr;
    return sound.drivers[driver].c_str();
}

int FSOUND_SetDriver(int driver) {
    log("SetDriver(" + std::to_string(driver) + ")");
    return 1;
}

int FSOUND_Init(int mixRate, int maxSoftwareChannels, unsigned int flags) {
    log("Init(" + std::to_string(mixRate) + "," + std::to_string(maxSoftwareChannels) + "," +
        std::to_string(flags) + ")");
    return sound.initResult;
}

int FSOUND_GetError() { return sound.error; }

FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int lengthInBytes, unsigned int mode,
                                    int sampleRate, void* userData) {
    char mode_hex[16];
    std::snprintf(mode_hex, sizeof mode_hex, "%#x", mode);
    log(std::string("Stream_Create(") + (callback == renderStream ? "renderStream" : "?") + "," +
        std::to_string(lengthInBytes) + "," + mode_hex + "," + std::to_string(sampleRate) + "," +
        (userData != nullptr && userData == osc1 ? "osc1" : "?") + ")");
    if (sound.createFails) return nullptr;
    return reinterpret_cast<FSOUND_STREAM*>(&fake::streamToken);
}

int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream) {
    log("Stream_Play(" + std::to_string(channel) + ")");
    return stream != nullptr ? sound.playResult : -1;
}

int FSOUND_Stream_Close(FSOUND_STREAM* stream) {
    log(stream == reinterpret_cast<FSOUND_STREAM*>(&fake::streamToken) ? "Stream_Close" : "Stream_Close(?)");
    return 1;
}

void FSOUND_Close() { log("Close"); }

namespace fake {
SoundMidiHandler midiHandler = nullptr;
void* midiUser = nullptr;
}  // namespace fake

void soundSetMidiHandler(SoundMidiHandler handler, void* user) {
    fake::midiHandler = handler;
    fake::midiUser = user;
}
