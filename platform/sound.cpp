// The sound-library calls over the layer's parts (see sound_stream.h).
#include "platform/sound.h"

#include <system_error>

#include "platform/sound_stream.h"

using sound::DeviceEntry;

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
    int maxChannels = 0;
    FSOUND_STREAM* stream = nullptr;
};

Library lib;

int fail(int code) {
    lib.error = code;
    return 0;
}

// Lists the drivers of the requested type afresh, from the first backend
// kind that has any; none gives NoSound's one.
void listDrivers() {
    lib.listed = true;
    lib.driver = 0;
    lib.drivers.clear();
    lib.type = FSOUND_OUTPUT_NOSOUND;
    for (const sound::BackendKind* kind : sound::backendKinds()) {
        lib.drivers = kind->list(lib.requestedType, &lib.type);
        if (!lib.drivers.empty()) return;
    }
    lib.type = FSOUND_OUTPUT_NOSOUND;
    lib.drivers.assign(1, DeviceEntry{"No sound", nullptr});
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
        if (s->backend) s->supervisor = std::thread(sound::supervise, s);
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
    ensureListed();
    const DeviceEntry& d = lib.drivers[lib.driver];
    if (d.kind) {
        if (const int e = d.kind->check(d, mixRate)) return fail(e);
    }
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
    const DeviceEntry& d = lib.drivers[lib.driver];
    if (d.kind) s->backend = d.kind->create(s, d);
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
    if (!s->backend) {
        s->owner.startPaced();
    } else if (!sound::startBackend(s, 0)) {
        fail(FMOD_ERR_PLAY);
        return -1;
    }
    if (!startThreads(s)) {
        // No thread for the pacer or the supervisor: the stream does not play.
        if (s->backend && !s->backend->close()) s->abandoned = true;
        s->owner.reset();
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
    s->owner.close();  // waits out a device block in progress
    if (s->backend && !s->backend->close()) s->abandoned = true;
    if (s->abandoned) return 1;  // an old device stream may still touch the stream: it stays allocated
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
    lib.listed = false;  // a fresh device list next time
    for (const sound::BackendKind* kind : sound::backendKinds()) kind->end();
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
