// Device listing and the PortAudio stream glue.
#include <alsa/asoundlib.h>
#include <pa_linux_alsa.h>
#include <portaudio.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/sound_rtkit.h"
#include "platform/sound_stream.h"

namespace sound {

namespace {

// How long listing the devices or checking one may take. It takes a tenth
// of a second with a sound server; a hung server holds an ALSA plugin's
// connect for minutes.
constexpr int64_t kProbeWaitNs = 1'500'000'000;

bool paUp = false;  // the calling thread's
std::atomic<bool> paWedged{false};

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

PaStreamParameters outputParameters(int device) {
    PaStreamParameters out{};
    out.device = device;
    out.channelCount = 2;
    out.sampleFormat = paInt16;
    out.suggestedLatency = kSuggestedLatency;
    return out;
}

// Longest wait for the first device callback before asking rtkit, and for
// rtkit's answers.
constexpr int64_t kFirstCallbackWaitNs = 100'000'000;
constexpr int64_t kRealtimeRequestWaitNs = 1'000'000'000;

int deviceCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags flags, void* userData) {
    auto* s = static_cast<FSOUND_STREAM*>(userData);
    if (s->callbackThread.load(std::memory_order_relaxed) == 0)
        s->callbackThread.store(int(syscall(SYS_gettid)), std::memory_order_relaxed);
    if (flags & paOutputUnderflow) s->underruns.fetch_add(1, std::memory_order_relaxed);
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

// Real-time scheduling for the calling thread while it lives, where the
// system allows it. ALSA plugins start helper threads of their own on the
// audio path when a device is opened (PulseAudio's plugin runs its client's
// socket I/O on one); opened under this, they inherit the policy. Where it
// is refused, openDevice asks rtkit for those threads afterwards.
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

// The host API's stereo output devices, the default first.
std::vector<DeviceEntry> devicesOf(PaHostApiTypeId api) {
    std::vector<DeviceEntry> devices;
    const PaHostApiIndex host = Pa_HostApiTypeIdToHostApiIndex(api);
    const PaHostApiInfo* info = host >= 0 ? Pa_GetHostApiInfo(host) : nullptr;
    if (!info) return devices;
    for (int i = 0; i < info->deviceCount; ++i) {
        const PaDeviceIndex device = Pa_HostApiDeviceIndexToDeviceIndex(host, i);
        const PaDeviceInfo* d = device >= 0 ? Pa_GetDeviceInfo(device) : nullptr;
        if (!d || d->maxOutputChannels < 2) continue;
        const DeviceEntry entry{d->name ? d->name : "", device};
        if (device == info->defaultOutputDevice)
            devices.insert(devices.begin(), entry);
        else
            devices.push_back(entry);
    }
    return devices;
}

}  // namespace

void endPortAudio() {
    if (!paUp || portAudioWedged()) return;
    paUp = false;
    if (!runWithin(kProbeWaitNs, [] { Pa_Terminate(); })) {
        wedgePortAudio();  // a host API's server hung
        return;
    }
    // Drop ALSA's parsed configuration with the last user of it.
    snd_config_update_free_global();
}

bool portAudioUp() { return paUp; }

void wedgePortAudio() { paWedged.store(true, std::memory_order_relaxed); }

bool portAudioWedged() { return paWedged.load(std::memory_order_relaxed); }

std::vector<DeviceEntry> listDevices(int outputType, int* usedType) {
    *usedType = FSOUND_OUTPUT_NOSOUND;
    const PaHostApiTypeId api = hostApiOf(outputType);
    if (api == paInDevelopment || portAudioWedged()) return {};
    quietLibraries();
    struct Probe {
        bool up = false;
        std::vector<DeviceEntry> devices;
    };
    auto probe = std::make_shared<Probe>();
    const bool wasUp = paUp;
    const bool done = runWithin(kProbeWaitNs, [probe, api, wasUp] {
        probe->up = wasUp || Pa_Initialize() == paNoError;
        if (probe->up) probe->devices = devicesOf(api);
    });
    if (!done) {
        wedgePortAudio();
        return {};
    }
    paUp = probe->up;
    if (!probe->devices.empty()) *usedType = typeOf(api);
    return std::move(probe->devices);
}

int checkDevice(int device, int rate) {
    if (portAudioWedged()) return FMOD_ERR_INIT;
    auto result = std::make_shared<PaError>(paNoError);
    const bool done = runWithin(kProbeWaitNs, [result, device, rate] {
        const PaStreamParameters out = outputParameters(device);
        *result = Pa_IsFormatSupported(nullptr, &out, rate);
    });
    if (!done) {
        wedgePortAudio();
        return FMOD_ERR_INIT;
    }
    const PaError e = *result;
    if (e == paInvalidSampleRate || e == paInvalidChannelCount || e == paSampleFormatNotSupported)
        return FMOD_ERR_OUTPUT_FORMAT;
    return e == paFormatIsSupported ? FMOD_ERR_NONE : FMOD_ERR_INIT;
}

PaStream* openDevice(FSOUND_STREAM* s) {
    const PaStreamParameters out = outputParameters(s->device);
    const unsigned long block = unsigned(s->maxFrames < s->deviceBlock ? s->maxFrames : s->deviceBlock);
    SignalsBlocked blocked;
    const std::vector<pid_t> before = processThreads();
    s->callbackThread.store(0, std::memory_order_relaxed);
    PaStream* pa = nullptr;
    PaError opened;
    {
        RealtimeScope realtime;
        opened = Pa_OpenStream(&pa, nullptr, &out, s->sampleRate, block, paClipOff | paDitherOff,
                               deviceCallback, s);
    }
    if (opened != paNoError) return nullptr;
    const PaDeviceInfo* d = Pa_GetDeviceInfo(s->device);
    const PaHostApiInfo* h = d ? Pa_GetHostApiInfo(d->hostApi) : nullptr;
    if (h && h->type == paALSA) PaAlsa_EnableRealtimeScheduling(pa, 1);
    Pa_SetStreamFinishedCallback(pa, deviceFinished);
    if (Pa_StartStream(pa) != paNoError) {
        Pa_CloseStream(pa);
        return nullptr;
    }
    if (const PaStreamInfo* info = Pa_GetStreamInfo(pa))
        s->latency.store(info->outputLatency, std::memory_order_relaxed);
    s->blockFrames.store(int(block), std::memory_order_relaxed);
    const std::vector<pid_t> added = newThreads(before, processThreads());
    s->deviceThreads.assign(added.begin(), added.end());
    return pa;
}

void promoteDeviceThreads(FSOUND_STREAM* s) {
    const int64_t deadline = nowNs() + kFirstCallbackWaitNs;
    while (s->callbackThread.load(std::memory_order_relaxed) == 0 && nowNs() < deadline &&
           !s->stop.load(std::memory_order_relaxed))
        sleepFor(1'000'000);
    std::vector<pid_t> threads;  // the callback's first
    const pid_t callback = s->callbackThread.load(std::memory_order_relaxed);
    if (callback > 0) threads.push_back(callback);
    for (int tid : s->deviceThreads)
        if (tid != callback) threads.push_back(tid);
    if (threads.empty()) return;
    // The bus may hang: the request goes on alone past the wait, on its own copies.
    runWithin(kRealtimeRequestWaitNs, [threads] { requestRealtime(threads, sched_get_priority_min(SCHED_FIFO)); });
    bindRealtimeThreads(threads);
}

}  // namespace sound
