// The ALSA device backend: the device list, and a device stream that a
// writer thread of its own feeds through alsa-lib.
#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <system_error>

#include "platform/sound_backend.h"
#include "platform/sound_options.h"
#include "platform/sound_rtkit.h"
#include "platform/sound_stream.h"

namespace sound {

namespace {

// A device stream: the PCM and the thread that writes it.
struct DeviceStream {
    FSOUND_STREAM* stream = nullptr;
    snd_pcm_t* pcm = nullptr;
    snd_config_t* config = nullptr;  // the configuration it was opened from, when ours
    snd_pcm_uframes_t block = 0;     // frames per write
    double latency = 0;              // seconds buffered
    std::vector<unsigned char> buffer;
    std::atomic<bool> quit{false};
    std::atomic<bool> finished{false};  // the device ended: the writer stopped by itself
    std::atomic<int> writerThread{0};   // its thread id, once it runs
    std::vector<pid_t> pluginThreads;   // threads the plugin started at open
    std::thread writer;
};

// How long listing the devices or checking one may take. It takes a tenth
// of a second with a sound server; a hung server holds an ALSA plugin's
// connect for minutes.
constexpr int64_t kProbeWaitNs = 1'500'000'000;
constexpr int kRoomWaitMs = 100;  // the writer's longest wait for room
constexpr int kBlocksBuffered = 2;
// Longest wait for the writer's first block before asking rtkit.
constexpr int64_t kFirstWriteWaitNs = 100'000'000;

// Calls into ALSA's devices that missed their deadline and have not
// returned yet (a hung sound server holds them). While one is out, no other
// is made: the next would hang behind it. They come back when the server
// answers again.
std::atomic<int> stuckCalls{0};

bool devicesHung() { return stuckCalls.load(std::memory_order_acquire) > 0; }

// Runs job with a deadline, unless a call is stuck already. False when it
// did not run, or did not finish in time: it then finishes on its own.
bool callWithin(int64_t waitNs, std::function<void()> job) {
    if (devicesHung()) return false;
    enum : int { kRunning, kDone, kMissed };
    auto state = std::make_shared<std::atomic<int>>(kRunning);
    const bool done = runWithin(waitNs, [job, state] {
        job();
        if (state->exchange(kDone) == kMissed) stuckCalls.fetch_sub(1, std::memory_order_acq_rel);
    });
    if (done) return true;
    stuckCalls.fetch_add(1, std::memory_order_acq_rel);
    if (state->exchange(kMissed) == kDone) stuckCalls.fetch_sub(1, std::memory_order_acq_rel);
    return false;
}

// Frames per block a stream on the device starts at: the sound options'
// choice, else larger through a sound server than straight to a card.
int startBlockFrames(const std::string& name);

// Devices listed besides "default", when they open: the sound servers' own
// and each card's default. Never the JACK plugin (JACK has its own output
// type), nor the converters and the null device.
bool listable(const std::string& name) {
    return name == "pulse" || name == "pipewire" || name.rfind("sysdefault:", 0) == 0;
}

// ALSA's PCM definition of a plain name (no arguments) in config: its node.
snd_config_t* definitionOf(snd_config_t* config, const std::string& name) {
    snd_config_t* node = nullptr;
    if (name.find(':') != std::string::npos) return nullptr;
    if (snd_config_search(config, ("pcm." + name).c_str(), &node) < 0) return nullptr;
    return snd_config_get_type(node) == SND_CONFIG_TYPE_COMPOUND ? node : nullptr;
}

std::string typeOf(snd_config_t* definition) {
    snd_config_t* type = nullptr;
    const char* value = nullptr;
    if (!definition || snd_config_search(definition, "type", &type) < 0 || snd_config_get_string(type, &value) < 0)
        return "";
    return value;
}

// Whether the device plays through a sound server: blocks are larger there.
bool serverRoute(const std::string& name) {
    snd_config_t* top = nullptr;
    if (snd_config_update_ref(&top) < 0) return false;
    const std::string type = typeOf(definitionOf(top, name));
    snd_config_unref(top);
    return type == "pulse" || type == "pipewire" || name == "pulse" || name == "pipewire";
}

int startBlockFrames(const std::string& name) {
    if (soundOptions().deviceBlockFrames > 0) return soundOptions().deviceBlockFrames;
    return serverRoute(name) ? kServerStartFrames : kStartBlockFrames;
}

// Opens a device for non-blocking playback. PulseAudio's plugin is opened
// from a copy of ALSA's configuration that has it report the server's
// underruns as ALSA underruns, which it does not by default; *config then
// holds that copy, to be deleted after the PCM.
int openPcm(snd_pcm_t** pcm, const std::string& name, snd_config_t** config) {
    *config = nullptr;
    snd_config_t* top = nullptr;
    if (snd_config_update_ref(&top) >= 0) {
        if (typeOf(definitionOf(top, name)) == "pulse" && snd_config_copy(config, top) >= 0) {
            snd_config_t* flag = nullptr;
            snd_config_t* definition = definitionOf(*config, name);
            if (snd_config_imake_integer(&flag, "handle_underrun", 1) < 0 || snd_config_add(definition, flag) < 0) {
                if (flag) snd_config_delete(flag);
                snd_config_delete(*config);
                *config = nullptr;
            }
        }
        snd_config_unref(top);
    }
    const int e = *config ? snd_pcm_open_lconf(pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK, *config)
                          : snd_pcm_open(pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (e < 0 && *config) {
        snd_config_delete(*config);
        *config = nullptr;
    }
    return e;
}

// 16-bit stereo, interleaved, at exactly rate.
int setFormat(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, unsigned rate) {
    if (snd_pcm_hw_params_any(pcm, hw) < 0) return FMOD_ERR_INIT;
    if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, 2) < 0 || snd_pcm_hw_params_set_rate(pcm, hw, rate, 0) < 0)
        return FMOD_ERR_OUTPUT_FORMAT;
    return FMOD_ERR_NONE;
}

// Sets the stream's block and buffer sizes and starts nothing yet. False
// when the device refuses.
bool configure(DeviceStream* d, unsigned rate, snd_pcm_uframes_t block) {
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    if (setFormat(d->pcm, hw, rate) != FMOD_ERR_NONE) return false;
    snd_pcm_uframes_t period = block, buffer = block * kBlocksBuffered;
    snd_pcm_hw_params_set_period_size_near(d->pcm, hw, &period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(d->pcm, hw, &buffer);
    if (snd_pcm_hw_params(d->pcm, hw) < 0) return false;
    snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(d->pcm, sw) < 0 || snd_pcm_sw_params_set_start_threshold(d->pcm, sw, buffer) < 0 ||
        snd_pcm_sw_params_set_avail_min(d->pcm, sw, period) < 0 || snd_pcm_sw_params(d->pcm, sw) < 0)
        return false;
    d->block = period;
    d->buffer.assign(period * kBytesPerFrame, 0);
    d->latency = double(buffer) / rate;
    return true;
}

// After a failed write or wait: an underrun is counted and the stream
// prepared again; false when the device is gone.
bool recover(DeviceStream* d, long error) {
    if (error == -EAGAIN) return true;
    if (error == -EPIPE) {
        d->stream->underruns.fetch_add(1, std::memory_order_relaxed);
        return snd_pcm_prepare(d->pcm) == 0;
    }
    if (error == -ESTRPIPE) return snd_pcm_resume(d->pcm) == 0 || snd_pcm_prepare(d->pcm) == 0;
    return false;
}

// The writer thread: renders a block whenever the device has room for one
// (silence while another thread owns the callback), until quit or the
// device ends.
void writeBlocks(DeviceStream* d) {
    FSOUND_STREAM* s = d->stream;
    d->writerThread.store(int(syscall(SYS_gettid)), std::memory_order_relaxed);
    while (!d->quit.load(std::memory_order_acquire)) {
        const snd_pcm_sframes_t room = snd_pcm_avail_update(d->pcm);
        if (room < 0) {
            if (!recover(d, room)) break;
            continue;
        }
        if (snd_pcm_uframes_t(room) < d->block) {
            const int e = snd_pcm_wait(d->pcm, kRoomWaitMs);
            if (e < 0 && !recover(d, e)) break;
            continue;
        }
        // Asked to quit while ALSA held it (a hung server): it renders no more.
        if (d->quit.load(std::memory_order_acquire)) break;
        if (s->owner.enterDevice()) {
            feed(s, d->buffer.data(), d->block);
            s->owner.leaveDevice();
        } else {
            std::memset(d->buffer.data(), 0, d->buffer.size());
        }
        const snd_pcm_sframes_t written = snd_pcm_writei(d->pcm, d->buffer.data(), d->block);
        if (written < 0) {
            if (!recover(d, written)) break;
            continue;
        }
        s->deviceFrames.fetch_add(uint64_t(written), std::memory_order_relaxed);
    }
    if (!d->quit.load(std::memory_order_acquire)) d->finished.store(true, std::memory_order_release);
}

// Real-time scheduling for the calling thread while it lives, where the
// system allows it. The writer and the plugins' helper threads (PulseAudio's
// plugin runs its client's socket I/O on one) started meanwhile inherit it.
// Where it is refused, the supervisor asks rtkit for those threads.
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

void closeDevice(DeviceStream* d) {
    if (d->writer.joinable()) d->writer.join();
    if (d->pcm) snd_pcm_close(d->pcm);
    if (d->config) snd_config_delete(d->config);
    delete d;
}

// Ends the writer (asked to quit), then closes and frees the device stream.
void finish(DeviceStream* d) { closeDevice(d); }

// Opens the device at block frames per write, from a thread the plugins'
// helper threads inherit real-time scheduling from where allowed. Null
// when that fails.
DeviceStream* openDevice(const std::string& name, unsigned rate, snd_pcm_uframes_t block) {
    auto* d = new DeviceStream;
    const std::vector<pid_t> before = processThreads();
    RealtimeScope realtime;
    if (openPcm(&d->pcm, name, &d->config) < 0 || !configure(d, rate, block)) {
        closeDevice(d);
        return nullptr;
    }
    d->pluginThreads = newThreads(before, processThreads());
    return d;
}

class AlsaBackend : public Backend {
public:
    AlsaBackend(FSOUND_STREAM* s, std::string name)
        : s_(s), name_(std::move(name)), startBlock_(startBlockFrames(name_)) {}

    bool open(int blockFrames) override {
        if (d_) return false;
        int block = blockFrames > 0 ? blockFrames : startBlock_;
        if (block > s_->maxFrames) block = s_->maxFrames;
        // An open that misses the deadline closes what it opened itself.
        enum : int { kOpening, kTaken, kAbandoned };
        struct Opening {
            std::atomic<int> state{kOpening};
            DeviceStream* device = nullptr;  // written before state leaves kOpening
        };
        auto opening = std::make_shared<Opening>();
        const std::string name = name_;
        const unsigned rate = unsigned(s_->sampleRate);
        callWithin(kCallWaitNs, [opening, name, rate, block] {
            opening->device = openDevice(name, rate, snd_pcm_uframes_t(block));
            int expected = kOpening;
            if (!opening->state.compare_exchange_strong(expected, kTaken) && opening->device)
                closeDevice(opening->device);
        });
        int expected = kOpening;
        if (opening->state.compare_exchange_strong(expected, kAbandoned)) return false;
        d_ = opening->device;
        if (d_) d_->stream = s_;
        return d_ != nullptr;
    }

    bool start() override {
        if (!d_) return false;
        SignalsBlocked blocked;
        RealtimeScope realtime;
        try {
            d_->writer = std::thread(writeBlocks, d_);
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    bool stop() override {
        if (!d_ || !d_->writer.joinable()) return true;
        DeviceStream* d = d_;
        d->quit.store(true, std::memory_order_release);
        return callWithin(kCallWaitNs, [d] { d->writer.join(); });
    }

    // A device stream that does not end in time is left to end on its own
    // (its writer then closes nothing more into the stream) and freed then;
    // a fresh one may be opened meanwhile.
    bool close() override {
        if (!d_) return true;
        DeviceStream* d = d_;
        d_ = nullptr;
        d->quit.store(true, std::memory_order_release);
        if (devicesHung()) {
            try {
                std::thread([d] { finish(d); }).detach();  // once the stuck call returns
            } catch (const std::system_error&) {
                // No thread: the device stream stays as it is.
            }
            return false;
        }
        return callWithin(kCallWaitNs, [d] { finish(d); });
    }

    int rate() const override { return s_->sampleRate; }
    bool finished() const override { return !d_ || d_->finished.load(std::memory_order_acquire); }
    double latency() const override { return d_ ? d_->latency : 0.0; }
    int blockFrames() const override { return d_ ? int(d_->block) : 0; }
    bool resizable() const override { return true; }

    // Where the system refused them SCHED_FIFO, asks rtkit to make the
    // writer (waited for up to 0.1 s) and the plugin's threads real-time;
    // then binds those that are to one CPU (see bindRealtimeThreads). The
    // request goes on alone past kCallWaitNs, on its own copies.
    void promoteThreads() override {
        if (!d_) return;
        const int64_t deadline = nowNs() + kFirstWriteWaitNs;
        while (d_->writerThread.load(std::memory_order_relaxed) == 0 && nowNs() < deadline &&
               !s_->stop.load(std::memory_order_relaxed))
            sleepFor(1'000'000);
        std::vector<pid_t> threads;  // the writer's first
        const pid_t writer = d_->writerThread.load(std::memory_order_relaxed);
        if (writer > 0) threads.push_back(writer);
        for (pid_t tid : d_->pluginThreads)
            if (tid != writer) threads.push_back(tid);
        if (threads.empty()) return;
        runWithin(kCallWaitNs, [threads] { requestRealtime(threads, sched_get_priority_min(SCHED_FIFO)); });
        bindRealtimeThreads(threads);
    }

private:
    FSOUND_STREAM* s_;
    const std::string name_;
    const int startBlock_;
    DeviceStream* d_ = nullptr;  // the open device stream
};

void endDevices() {
    if (!devicesHung()) snd_config_update_free_global();  // drop ALSA's parsed configuration
}

std::vector<DeviceEntry> listDevices(int outputType, int* usedType) {
    *usedType = FSOUND_OUTPUT_NOSOUND;
    const bool alsa = outputType == FSOUND_OUTPUT_WINMM || outputType == FSOUND_OUTPUT_DSOUND ||
                      outputType == FSOUND_OUTPUT_A3D || outputType == FSOUND_OUTPUT_ALSA ||
                      outputType == FSOUND_OUTPUT_ASIO;
    if (!alsa) return {};
    quietLibraries();
    // Candidates by name, then each opened once: only those that open are listed.
    auto names = std::make_shared<std::vector<std::string>>();
    const bool done = callWithin(kProbeWaitNs, [names] {
        void** hints = nullptr;
        std::vector<std::string> candidates{"default"};
        if (snd_device_name_hint(-1, "pcm", &hints) >= 0) {
            for (void** h = hints; *h; ++h) {
                char* name = snd_device_name_get_hint(*h, "NAME");
                char* direction = snd_device_name_get_hint(*h, "IOID");
                if (name && (!direction || std::strcmp(direction, "Output") == 0) && listable(name))
                    candidates.push_back(name);
                std::free(name);
                std::free(direction);
            }
            snd_device_name_free_hint(hints);
        }
        for (const std::string& name : candidates) {
            snd_pcm_t* pcm = nullptr;
            snd_config_t* config = nullptr;
            if (openPcm(&pcm, name, &config) < 0) continue;
            snd_pcm_close(pcm);
            if (config) snd_config_delete(config);
            names->push_back(name);
        }
    });
    if (!done) return {};
    std::vector<DeviceEntry> devices;
    for (const std::string& name : *names) devices.push_back(DeviceEntry{name, &kAlsaKind});
    if (!devices.empty()) *usedType = FSOUND_OUTPUT_ALSA;
    return devices;
}

int checkDevice(const DeviceEntry& driver, int rate) {
    const std::string name = driver.name;
    auto result = std::make_shared<int>(FMOD_ERR_INIT);
    const bool done = callWithin(kProbeWaitNs, [result, name, rate] {
        snd_pcm_t* pcm = nullptr;
        snd_config_t* config = nullptr;
        if (openPcm(&pcm, name, &config) < 0) return;
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        *result = setFormat(pcm, hw, unsigned(rate));
        snd_pcm_close(pcm);
        if (config) snd_config_delete(config);
    });
    if (!done) return FMOD_ERR_INIT;
    return *result;
}

std::unique_ptr<Backend> createBackend(FSOUND_STREAM* s, const DeviceEntry& driver) {
    return std::make_unique<AlsaBackend>(s, driver.name);
}

}  // namespace

const BackendKind kAlsaKind{listDevices, checkDevice, createBackend, endDevices};

}  // namespace sound
