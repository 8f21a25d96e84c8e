// Device listing and the PortAudio stream glue.
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <pa_linux_alsa.h>
#include <portaudio.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/sound_rtkit.h"
#include "platform/sound_stream.h"

namespace sound {

namespace {

bool paUp = false;
bool paWedged = false;  // a stream never finished tearing down

extern "C" void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quietJack(const char*) {}

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

// Longest wait in openDevice for the first device callback.
constexpr int64_t kFirstCallbackWaitNs = 100'000'000;

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

}  // namespace

bool startPortAudio() {
    if (paUp) return true;
    if (paWedged) return false;
    snd_lib_error_set_handler(quietAlsa);
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    SignalsBlocked blocked;
    if (Pa_Initialize() != paNoError) return false;
    paUp = true;
    return true;
}

void endPortAudio() {
    if (!paUp || paWedged) return;
    Pa_Terminate();
    paUp = false;
    // Drop ALSA's parsed configuration with the last user of it.
    snd_config_update_free_global();
}

bool portAudioUp() { return paUp; }

void wedgePortAudio() { paWedged = true; }

std::vector<DeviceEntry> listDevices(int outputType, int* usedType) {
    std::vector<DeviceEntry> devices;
    *usedType = FSOUND_OUTPUT_NOSOUND;
    const PaHostApiTypeId api = hostApiOf(outputType);
    if (api == paInDevelopment || !startPortAudio()) return devices;
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
    if (!devices.empty()) *usedType = typeOf(api);
    return devices;
}

int checkDevice(int device, int rate) {
    const PaStreamParameters out = outputParameters(device);
    const PaError e = Pa_IsFormatSupported(nullptr, &out, rate);
    if (e == paInvalidSampleRate || e == paInvalidChannelCount || e == paSampleFormatNotSupported)
        return FMOD_ERR_OUTPUT_FORMAT;
    return e == paFormatIsSupported ? FMOD_ERR_NONE : FMOD_ERR_INIT;
}

bool openDevice(FSOUND_STREAM* s) {
    const PaStreamParameters out = outputParameters(s->device);
    const int wanted = s->blockFrames.load(std::memory_order_relaxed);
    const unsigned long block = unsigned(s->maxFrames < wanted ? s->maxFrames : wanted);
    SignalsBlocked blocked;
    const std::vector<pid_t> before = processThreads();
    s->callbackThread.store(0, std::memory_order_relaxed);
    PaError opened;
    {
        RealtimeScope realtime;
        opened = Pa_OpenStream(&s->pa, nullptr, &out, s->sampleRate, block, paClipOff | paDitherOff,
                               deviceCallback, s);
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
    // The threads the device brought along: the plugin's and the callback's.
    const int64_t deadline = nowNs() + kFirstCallbackWaitNs;
    while (s->callbackThread.load(std::memory_order_relaxed) == 0 && nowNs() < deadline) sleepFor(1'000'000);
    std::vector<pid_t> audio = newThreads(before, processThreads());
    const pid_t callback = s->callbackThread.load(std::memory_order_relaxed);
    if (callback > 0 && std::find(audio.begin(), audio.end(), callback) == audio.end()) audio.push_back(callback);
    requestRealtime(audio, sched_get_priority_min(SCHED_FIFO));
    return true;
}

}  // namespace sound
