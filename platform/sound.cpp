// Sound output layer over PortAudio, with a paced no-sound output.
//
// One stream at a time. Who may call the stream's callback is decided by one
// atomic owner word, so the PortAudio callback, the no-sound pacer and
// FSOUND_Stream_Close never overlap: the PortAudio callback only runs the
// user callback after moving the word from Idle to InDevice, the layer's
// worker thread takes it over (Pacer) when the device stops delivering, and
// Close parks it at Closed.
#include "platform/sound.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <pa_linux_alsa.h>
#include <portaudio.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr float kVersion = 3.74f;
constexpr int kDeviceBlockFrames = 128;          // frames per PortAudio callback
constexpr double kSuggestedLatency = 0.005;      // seconds
constexpr int kPacerBlockFrames = 256;           // frames per no-sound block
constexpr int kBytesPerFrame = 4;                // 16-bit stereo

// Device supervision: after a start-up grace, each window must have seen
// between a quarter and four times the frames of its wall time. While the
// pacer stands in, a window within 3/4 and 3/2 of it hands the device back.
constexpr int64_t kSuperviseTickNs = 20'000'000;
constexpr int64_t kSuperviseGraceNs = 1'000'000'000;
constexpr int64_t kSuperviseWindowNs = 500'000'000;
// The pacer starts afresh rather than catch up after falling this far behind.
constexpr int64_t kPacerMaxLagNs = 200'000'000;
// How long Close waits for PortAudio to tear a stream down.
constexpr int64_t kTeardownWaitNs = 1'000'000'000;

enum Owner : int { kIdle, kInDevice, kPacer, kClosed };

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

timespec toTimespec(int64_t ns) {
    timespec t;
    t.tv_sec = ns / 1'000'000'000;
    t.tv_nsec = ns % 1'000'000'000;
    return t;
}

void sleepUntil(int64_t deadlineNs) {
    const timespec t = toTimespec(deadlineNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

void sleepFor(int64_t ns) { sleepUntil(nowNs() + ns); }

struct Driver {
    std::string name;
    PaDeviceIndex device;  // paNoDevice for NoSound
};

// Library state; touched only by the calling thread.
struct Library {
    int error = FMOD_ERR_NONE;
    int requestedType = FSOUND_OUTPUT_ALSA;
    int type = FSOUND_OUTPUT_NOSOUND;  // in use, valid once listed
    bool listed = false;
    std::vector<Driver> drivers;
    int driver = 0;
    bool portAudioUp = false;
    bool portAudioWedged = false;  // a stream never finished tearing down
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

}  // namespace

struct FSOUND_STREAM {
    FSOUND_STREAMCALLBACK callback = nullptr;
    void* userData = nullptr;
    int maxFrames = 0;   // the stream's buffer length in frames
    int sampleRate = 0;
    PaDeviceIndex device = paNoDevice;
    int channel = -1;    // -1 until played

    PaStream* pa = nullptr;
    double latency = 0.0;
    std::atomic<int> owner{kIdle};
    std::atomic<uint64_t> deviceFrames{0};  // asked for by the device, owner or not
    std::atomic<bool> deviceFinished{false};
    std::atomic<bool> fellBack{false};
    std::atomic<bool> stop{false};
    std::thread worker;  // supervises the device, then paces if it stops
    std::vector<unsigned char> block;  // the pacer's buffer
};

namespace {

// ---- silence of the probes ----------------------------------------------

extern "C" void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quietJack(const char*) {}

bool startPortAudio() {
    if (lib.portAudioUp) return true;
    if (lib.portAudioWedged) return false;
    snd_lib_error_set_handler(quietAlsa);
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    if (Pa_Initialize() != paNoError) return false;
    lib.portAudioUp = true;
    return true;
}

void endPortAudio() {
    if (!lib.portAudioUp || lib.portAudioWedged) return;
    Pa_Terminate();
    lib.portAudioUp = false;
    // Drop ALSA's parsed configuration with the last user of it.
    snd_config_update_free_global();
}

// ---- output types and drivers -------------------------------------------

PaHostApiTypeId hostApiOf(int type) {
    switch (type) {
        case FSOUND_OUTPUT_WINMM:
        case FSOUND_OUTPUT_DSOUND:
        case FSOUND_OUTPUT_A3D:
        case FSOUND_OUTPUT_ALSA:
        case FSOUND_OUTPUT_ASIO:
            return paALSA;
        case FSOUND_OUTPUT_OSS:
            return paOSS;
        default:
            return paInDevelopment;  // none
    }
}

int typeOf(PaHostApiTypeId api) { return api == paOSS ? FSOUND_OUTPUT_OSS : FSOUND_OUTPUT_ALSA; }

void listNoSound() {
    lib.type = FSOUND_OUTPUT_NOSOUND;
    lib.drivers.assign(1, Driver{"No sound", paNoDevice});
}

// Lists the stereo output devices of the requested type, the host API's
// default first; none gives NoSound.
void listDrivers() {
    lib.listed = true;
    lib.driver = 0;
    lib.drivers.clear();
    const PaHostApiTypeId api = hostApiOf(lib.requestedType);
    if (api == paInDevelopment || !startPortAudio()) return listNoSound();
    const PaHostApiIndex host = Pa_HostApiTypeIdToHostApiIndex(api);
    const PaHostApiInfo* info = host >= 0 ? Pa_GetHostApiInfo(host) : nullptr;
    if (!info) return listNoSound();
    for (int i = 0; i < info->deviceCount; ++i) {
        const PaDeviceIndex device = Pa_HostApiDeviceIndexToDeviceIndex(host, i);
        const PaDeviceInfo* d = device >= 0 ? Pa_GetDeviceInfo(device) : nullptr;
        if (!d || d->maxOutputChannels < 2) continue;
        Driver driver{d->name ? d->name : "", device};
        if (device == info->defaultOutputDevice)
            lib.drivers.insert(lib.drivers.begin(), driver);
        else
            lib.drivers.push_back(driver);
    }
    if (lib.drivers.empty()) return listNoSound();
    lib.type = typeOf(api);
}

void ensureListed() {
    if (!lib.listed) listDrivers();
}

// ---- the callback's two sources -----------------------------------------

// Hands the user callback whole frames, at most the stream's buffer length
// at a time.
inline void feed(FSOUND_STREAM* s, unsigned char* out, unsigned long frames) {
    while (frames > 0) {
        const unsigned long n = frames < unsigned(s->maxFrames) ? frames : unsigned(s->maxFrames);
        s->callback(s, out, int(n) * kBytesPerFrame, s->userData);
        out += n * kBytesPerFrame;
        frames -= n;
    }
}

int deviceCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void* userData) {
    auto* s = static_cast<FSOUND_STREAM*>(userData);
    int expected = kIdle;
    if (s->owner.compare_exchange_strong(expected, kInDevice, std::memory_order_acquire)) {
        feed(s, static_cast<unsigned char*>(output), frames);
        s->owner.store(kIdle, std::memory_order_release);
    } else {
        std::memset(output, 0, frames * kBytesPerFrame);
    }
    s->deviceFrames.fetch_add(frames, std::memory_order_relaxed);
    return paContinue;
}

void deviceFinished(void* userData) {
    static_cast<FSOUND_STREAM*>(userData)->deviceFinished.store(true, std::memory_order_relaxed);
}

// The device's delivery rate over successive windows of wall time.
class RateWindow {
public:
    explicit RateWindow(const FSOUND_STREAM* s)
        : s_(s), start_(nowNs()), frames_(s->deviceFrames.load(std::memory_order_relaxed)) {}

    // Once a window has passed: sets ratio to the frames the device asked for
    // over the frames of its wall time, starts the next window, returns true.
    bool elapsed(int64_t now, double* ratio) {
        if (now - start_ < kSuperviseWindowNs) return false;
        const uint64_t frames = s_->deviceFrames.load(std::memory_order_relaxed);
        const double expected = double(now - start_) * s_->sampleRate / 1e9;
        *ratio = double(frames - frames_) / expected;
        start_ = now;
        frames_ = frames;
        return true;
    }

private:
    const FSOUND_STREAM* s_;
    int64_t start_;
    uint64_t frames_;
};

// Watches the device's rate. Returns true when the device stopped and the
// pacer owns the callback, false when the stream is being closed.
bool supervise(FSOUND_STREAM* s) {
    const int64_t start = nowNs();
    RateWindow window(s);
    for (;;) {
        sleepFor(kSuperviseTickNs);
        if (s->stop.load(std::memory_order_acquire)) return false;
        bool dead = s->deviceFinished.load(std::memory_order_relaxed);
        const int64_t now = nowNs();
        double ratio;
        if (window.elapsed(now, &ratio) && now - start >= kSuperviseGraceNs && (ratio < 0.25 || ratio > 4))
            dead = true;
        if (!dead) continue;
        for (;;) {
            int expected = kIdle;
            if (s->owner.compare_exchange_weak(expected, kPacer, std::memory_order_acquire)) break;
            if (s->stop.load(std::memory_order_acquire)) return false;
            sleepFor(100'000);
        }
        s->fellBack.store(true, std::memory_order_relaxed);
        return true;
    }
}

// Calls the callback at the stream's rate, on an absolute clock. Returns
// true when a device stream that delivers again got the callback back,
// false when the stream is being closed.
bool pace(FSOUND_STREAM* s) {
    const int blockFrames = s->maxFrames < kPacerBlockFrames ? s->maxFrames : kPacerBlockFrames;
    unsigned char* buffer = s->block.data();
    int64_t start = nowNs();
    uint64_t frames = 0;
    RateWindow window(s);
    while (!s->stop.load(std::memory_order_acquire)) {
        s->callback(s, buffer, blockFrames * kBytesPerFrame, s->userData);
        frames += blockFrames;
        const int64_t deadline =
            start + int64_t((unsigned __int128)frames * 1'000'000'000u / unsigned(s->sampleRate));
        const int64_t now = nowNs();
        double ratio;
        if (s->pa && window.elapsed(now, &ratio) && !s->deviceFinished.load(std::memory_order_relaxed) &&
            ratio > 0.75 && ratio < 1.5) {
            s->owner.store(kIdle, std::memory_order_release);
            return true;
        }
        if (now - deadline > kPacerMaxLagNs) {
            start = now;
            frames = 0;
            continue;
        }
        sleepUntil(deadline);
    }
    return false;
}

void work(FSOUND_STREAM* s) {
    for (;;) {
        if (s->pa && !supervise(s)) return;
        if (!pace(s)) return;
    }
}

// Aborts and closes a PortAudio stream on a helper thread; false when that
// did not finish in time (the stream and its user data are then left alone).
bool tearDown(PaStream* pa) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([pa, done] {
        Pa_AbortStream(pa);
        Pa_CloseStream(pa);
        done->store(true, std::memory_order_release);
    });
    const int64_t until = nowNs() + kTeardownWaitNs;
    while (!done->load(std::memory_order_acquire) && nowNs() < until) sleepFor(1'000'000);
    if (done->load(std::memory_order_acquire)) {
        t.join();
        return true;
    }
    t.detach();
    return false;
}

// Real-time scheduling for the calling thread while it lives, where the
// system allows it. ALSA plugins start helper threads of their own on the
// audio path when a device is opened (PulseAudio's plugin runs its client's
// socket I/O on one); opened under this, they inherit the policy.
class RealtimeScope {
public:
    RealtimeScope() {
        pthread_getschedparam(pthread_self(), &policy_, &saved_);
        sched_param p{};
        p.sched_priority = sched_get_priority_min(SCHED_FIFO);
        changed_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
    }
    ~RealtimeScope() {
        if (changed_) pthread_setschedparam(pthread_self(), policy_, &saved_);
    }
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;

private:
    int policy_ = SCHED_OTHER;
    sched_param saved_{};
    bool changed_ = false;
};

bool openDevice(FSOUND_STREAM* s) {
    PaStreamParameters out{};
    out.device = s->device;
    out.channelCount = 2;
    out.sampleFormat = paInt16;
    out.suggestedLatency = kSuggestedLatency;
    const unsigned long block =
        s->maxFrames < kDeviceBlockFrames ? unsigned(s->maxFrames) : kDeviceBlockFrames;
    PaError opened;
    {
        RealtimeScope realtime;
        opened = Pa_OpenStream(&s->pa, nullptr, &out, s->sampleRate, block,
                               paClipOff | paDitherOff, deviceCallback, s);
    }
    if (opened != paNoError) {
        s->pa = nullptr;
        return false;
    }
    const PaDeviceInfo* d = Pa_GetDeviceInfo(s->device);
    const PaHostApiInfo* h = d ? Pa_GetHostApiInfo(d->hostApi) : nullptr;
    if (h && h->type == paALSA) PaAlsa_EnableRealtimeScheduling(s->pa, 1);
    Pa_SetStreamFinishedCallback(s->pa, deviceFinished);
    if (Pa_StartStream(s->pa) != paNoError) {
        Pa_CloseStream(s->pa);
        s->pa = nullptr;
        return false;
    }
    if (const PaStreamInfo* info = Pa_GetStreamInfo(s->pa)) s->latency = info->outputLatency;
    return true;
}

}  // namespace

// ---- the calls ------------------------------------------------------------

float FSOUND_GetVersion() { return kVersion; }

int FSOUND_SetOutput(int outputType) {
    if (lib.initialized) return fail(FMOD_ERR_BUSY);
    if (outputType < FSOUND_OUTPUT_NOSOUND || outputType > FSOUND_OUTPUT_ASIO)
        return fail(FMOD_ERR_INVALID_PARAM);
    lib.requestedType = outputType;
    endPortAudio();  // a fresh device list
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
    if (!lib.listed || (lib.type != FSOUND_OUTPUT_NOSOUND && !lib.portAudioUp)) {
        // First use, or PortAudio was ended by FSOUND_Close: list afresh,
        // keeping the chosen driver where it still exists.
        const int keep = lib.driver;
        listDrivers();
        if (keep < int(lib.drivers.size())) lib.driver = keep;
    }
    const Driver& d = lib.drivers[lib.driver];
    if (d.device != paNoDevice) {
        PaStreamParameters out{};
        out.device = d.device;
        out.channelCount = 2;
        out.sampleFormat = paInt16;
        out.suggestedLatency = kSuggestedLatency;
        const PaError e = Pa_IsFormatSupported(nullptr, &out, mixRate);
        if (e == paInvalidSampleRate || e == paInvalidChannelCount || e == paSampleFormatNotSupported)
            return fail(FMOD_ERR_OUTPUT_FORMAT);
        if (e != paFormatIsSupported) return fail(FMOD_ERR_INIT);
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
    if (!callback || lengthInBytes < kBytesPerFrame || sampleRate <= 0 ||
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
    s->maxFrames = lengthInBytes / kBytesPerFrame;
    s->sampleRate = sampleRate;
    s->device = lib.drivers[lib.driver].device;
    s->block.assign(size_t(kPacerBlockFrames) * kBytesPerFrame, 0);
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
    if (s->device == paNoDevice) {
        s->owner.store(kPacer, std::memory_order_relaxed);
    } else if (!openDevice(s)) {
        fail(FMOD_ERR_PLAY);
        return -1;
    }
    s->worker = std::thread(work, s);
    s->channel = channel < 0 ? 0 : channel;
    return s->channel;
}

int FSOUND_Stream_Close(FSOUND_STREAM* stream) {
    if (!stream || stream != lib.stream) return fail(FMOD_ERR_INVALID_PARAM);
    FSOUND_STREAM* s = stream;
    lib.stream = nullptr;
    s->stop.store(true, std::memory_order_release);
    if (s->worker.joinable()) s->worker.join();
    // Only the device callback may still be in the user callback: wait it out.
    for (;;) {
        int expected = kIdle;
        if (s->owner.compare_exchange_weak(expected, kClosed, std::memory_order_acquire)) break;
        if (expected == kPacer || expected == kClosed) {
            s->owner.store(kClosed, std::memory_order_relaxed);
            break;
        }
        sleepFor(100'000);
    }
    if (s->pa && !tearDown(s->pa)) {
        lib.portAudioWedged = true;
        return 1;  // PortAudio still holds the stream: leave it allocated
    }
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
    endPortAudio();
}

double soundStreamLatency(const FSOUND_STREAM* stream) { return stream ? stream->latency : 0.0; }

bool soundStreamFellBack(const FSOUND_STREAM* stream) {
    return stream && stream->fellBack.load(std::memory_order_relaxed);
}
