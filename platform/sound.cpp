// The sound-library calls over the layer's parts (see sound_stream.h).
#include "platform/sound.h"

#include <system_error>

#include "platform/sound_jack.h"
#include "platform/sound_options.h"
#include "platform/sound_stream.h"

using sound::DeviceEntry;
using sound::kNoDevice;

namespace {

constexpr float kVersion = 3.74f;

// Library state; touched only by the calling thread.
struct Library {
    int error = FMOD_ERR_NONE;
    int requestedType = FSOUND_OUTPUT_ALSA;
    int type = FSOUND_OUTPUT_NOSOUND;  // in use, valid once listed
    bool listed = false;
    std::vector<DeviceEntry> drivers;
    int driver = 0;
    bool initialized = false;
    int mixRate = 0;
    int maxChannels = 0;
    FSOUND_STREAM* stream = nullptr;
};

Library lib;

int fail(int code) {
    lib.error = code;
    return 0;
}

// Lists the drivers of the requested type afresh; none gives NoSound's one.
void listDrivers() {
    lib.listed = true;
    lib.driver = 0;
    // ASIO: a JACK server when one answers, else the ALSA devices.
    std::string jackName;
    if (lib.requestedType == FSOUND_OUTPUT_ASIO && sound::jackServer(&jackName)) {
        lib.type = FSOUND_OUTPUT_ASIO;
        lib.drivers.assign(1, DeviceEntry{jackName, sound::kJackDevice});
        return;
    }
    lib.drivers = sound::listDevices(lib.requestedType, &lib.type);
    if (lib.drivers.empty()) {
        lib.type = FSOUND_OUTPUT_NOSOUND;
        lib.drivers.assign(1, DeviceEntry{"No sound", kNoDevice});
    }
}

// Stops the stream's threads, once started.
void stopThreads(FSOUND_STREAM* s) {
    s->stop.store(true, std::memory_order_release);
    s->pacerWakeup.post();
    if (s->supervisor.joinable()) s->supervisor.join();
    if (s->pacer.joinable()) s->pacer.join();
}

// The pacer, and the supervisor when there is a device; false when a thread
// cannot be started (none is left running).
bool startThreads(FSOUND_STREAM* s) {
    try {
        sound::SignalsBlocked blocked;
        s->pacer = std::thread(sound::pace, s);
        if (s->device != kNoDevice) s->supervisor = std::thread(s->jack ? sound::jackSupervise : sound::supervise, s);
        return true;
    } catch (const std::system_error&) {
        stopThreads(s);
        s->stop.store(false, std::memory_order_relaxed);
        return false;
    }
}

void ensureListed() {
    if (!lib.listed) listDrivers();
}

}  // namespace

float FSOUND_GetVersion() {
    sound::quietLibraries();  // the program's first call
    return kVersion;
}

int FSOUND_SetOutput(int outputType) {
    if (lib.initialized) return fail(FMOD_ERR_BUSY);
    if (outputType < FSOUND_OUTPUT_NOSOUND || outputType > FSOUND_OUTPUT_ASIO)
        return fail(FMOD_ERR_INVALID_PARAM);
    lib.requestedType = outputType;
    sound::endPortAudio();  // a fresh device list
    listDrivers();
    return 1;
}

int FSOUND_GetOutput() {
    ensureListed();
    return lib.type;
}

int FSOUND_GetNumDrivers() {
    ensureListed();
    return int(lib.drivers.size());
}

const char* FSOUND_GetDriverName(int driver) {
    ensureListed();
    if (driver < 0 || driver >= int(lib.drivers.size())) {
        fail(FMOD_ERR_INVALID_PARAM);
        return "";
    }
    return lib.drivers[driver].name.c_str();
}

int FSOUND_SetDriver(int driver) {
    if (lib.initialized) return fail(FMOD_ERR_BUSY);
    ensureListed();
    if (driver < 0 || driver >= int(lib.drivers.size())) return fail(FMOD_ERR_INVALID_PARAM);
    lib.driver = driver;
    return 1;
}

int FSOUND_Init(int mixRate, int maxSoftwareChannels, unsigned int) {
    if (lib.initialized) return fail(FMOD_ERR_BUSY);
    if (mixRate <= 0 || maxSoftwareChannels < 0) return fail(FMOD_ERR_INVALID_PARAM);
    const bool jack = lib.listed && lib.drivers[lib.driver].device == sound::kJackDevice;
    if (!lib.listed || (lib.type != FSOUND_OUTPUT_NOSOUND && !jack && !sound::portAudioUp())) {
        // First use, or PortAudio was ended by FSOUND_Close: list afresh,
        // keeping the chosen driver where it still exists.
        const int keep = lib.driver;
        listDrivers();
        if (keep < int(lib.drivers.size())) lib.driver = keep;
    }
    const DeviceEntry& d = lib.drivers[lib.driver];
    std::string jackName;
    if (d.device == sound::kJackDevice) {
        if (!sound::jackServer(&jackName)) return fail(FMOD_ERR_INIT);
    } else if (d.device != kNoDevice) {
        if (const int e = sound::checkDevice(d.device, mixRate)) return fail(e);
    }
    lib.mixRate = mixRate;
    lib.maxChannels = maxSoftwareChannels;
    lib.initialized = true;
    return 1;
}

int FSOUND_GetError() { return lib.error; }

FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int lengthInBytes,
                                    unsigned int mode, int sampleRate, void* userData) {
    if (!lib.initialized) {
        fail(FMOD_ERR_UNINITIALIZED);
        return nullptr;
    }
    const unsigned int wanted = FSOUND_16BITS | FSOUND_SIGNED | FSOUND_STEREO;
    const unsigned int conflicting = FSOUND_8BITS | FSOUND_MONO | FSOUND_UNSIGNED;
    if (!callback || lengthInBytes < sound::kBytesPerFrame || sampleRate <= 0 ||
        (mode & wanted) != wanted || (mode & conflicting) != 0) {
        fail(FMOD_ERR_INVALID_PARAM);
        return nullptr;
    }
    if (lib.stream) {
        fail(FMOD_ERR_CHANNEL_ALLOC);
        return nullptr;
    }
    auto* s = new FSOUND_STREAM;
    s->callback = callback;
    s->userData = userData;
    s->maxFrames = lengthInBytes / sound::kBytesPerFrame;
    s->sampleRate = sampleRate;
    s->device = lib.drivers[lib.driver].device;
    if (soundOptions().deviceBlockFrames > 0) s->deviceBlock = soundOptions().deviceBlockFrames;
    s->block.assign(size_t(sound::kPacerBlockFrames) * sound::kBytesPerFrame, 0);
    lib.stream = s;
    return s;
}

int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream) {
    if (!stream || stream != lib.stream) {
        fail(FMOD_ERR_INVALID_PARAM);
        return -1;
    }
    FSOUND_STREAM* s = stream;
    if (s->channel >= 0) return s->channel;
    if (channel >= lib.maxChannels && lib.maxChannels > 0) {
        fail(FMOD_ERR_INVALID_PARAM);
        return -1;
    }
    if (s->device == kNoDevice) {
        s->owner.store(sound::kPacer, std::memory_order_relaxed);
    } else if (s->device == sound::kJackDevice) {
        if (!sound::jackOpen(s)) {
            fail(FMOD_ERR_PLAY);
            return -1;
        }
    } else if (!(s->pa = sound::openDeviceWithin(s))) {
        fail(FMOD_ERR_PLAY);
        return -1;
    }
    if (!startThreads(s)) {
        // No thread for the pacer or the supervisor: the stream does not play.
        if (s->pa && !sound::tearDown(s->pa)) s->abandoned = true;
        s->pa = nullptr;
        sound::jackClose(s);
        s->owner.store(sound::kIdle, std::memory_order_relaxed);
        fail(FMOD_ERR_PLAY);
        return -1;
    }
    s->channel = channel < 0 ? 0 : channel;
    return s->channel;
}

int FSOUND_Stream_Close(FSOUND_STREAM* stream) {
    if (!stream || stream != lib.stream) return fail(FMOD_ERR_INVALID_PARAM);
    FSOUND_STREAM* s = stream;
    lib.stream = nullptr;
    stopThreads(s);
    // Only the device callback may still be in the user callback: wait it out.
    for (;;) {
        int expected = sound::kIdle;
        if (s->owner.compare_exchange_weak(expected, sound::kClosed, std::memory_order_acquire)) break;
        if (expected == sound::kPacer || expected == sound::kClosed) {
            s->owner.store(sound::kClosed, std::memory_order_relaxed);
            break;
        }
        sound::sleepFor(100'000);
    }
    if (!sound::jackClose(s)) return 1;  // a stopped server holds the client
    if (s->abandoned || (s->pa && !sound::tearDown(s->pa)))
        return 1;  // PortAudio may still call into the stream: leave it allocated
    delete s;
    return 1;
}

void FSOUND_Close() {
    if (!lib.initialized) {
        fail(FMOD_ERR_UNINITIALIZED);
        return;
    }
    if (lib.stream) FSOUND_Stream_Close(lib.stream);
    lib.initialized = false;
    sound::endPortAudio();
}

double soundStreamLatency(const FSOUND_STREAM* stream) {
    return stream ? stream->latency.load(std::memory_order_relaxed) : 0.0;
}

bool soundStreamFellBack(const FSOUND_STREAM* stream) {
    return stream && stream->fellBack.load(std::memory_order_relaxed);
}

unsigned long soundStreamUnderruns(const FSOUND_STREAM* stream) {
    return stream ? stream->underruns.load(std::memory_order_relaxed) : 0;
}

int soundStreamBlockFrames(const FSOUND_STREAM* stream) {
    return stream ? stream->blockFrames.load(std::memory_order_relaxed) : 0;
}
