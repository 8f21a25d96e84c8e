// Output and MIDI input through a JACK server.
#include "platform/sound_jack.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <samplerate.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/sound_options.h"
#include "platform/sound_supervisor.h"

namespace sound {

namespace {

// A server that does not answer within this is taken as absent.
constexpr int64_t kOpenWaitNs = 1'000'000'000;
constexpr int kEngineChunkFrames = 64;   // engine frames rendered per piece
constexpr int kOutChunkFrames = 1024;    // resampled frames produced per pass
constexpr unsigned kMaxEvents = 256;     // pending MIDI events (power of two)
constexpr int kEventBytes = 3;           // longer messages are not kept
constexpr int kConverter = SRC_SINC_FASTEST;
constexpr int64_t kCloseWaitNs = 1'000'000'000;
constexpr int64_t kRetryNs = 1'000'000'000;

std::atomic<SoundMidiHandler> midiHandler{nullptr};
std::atomic<void*> midiUser{nullptr};

// jack_client_open with the chosen name and a deadline; libjack itself would
// wait for ever on a stopped server. A call that misses it finishes on its
// own thread, which then closes what it opened.
jack_client_t* openClient() {
    enum : int { kOpening, kTaken, kAbandoned };
    struct Opening {
        std::atomic<int> state{kOpening};
        jack_client_t* client = nullptr;  // written before state leaves kOpening
    };
    quietLibraries();
    auto opening = std::make_shared<Opening>();
    const std::string name = soundOptions().jackClientName;
    runWithin(kOpenWaitNs, [opening, name] {
        jack_status_t status;
        opening->client = jack_client_open(name.c_str(), JackNoStartServer, &status);
        int expected = kOpening;
        if (!opening->state.compare_exchange_strong(expected, kTaken) && opening->client)
            jack_client_close(opening->client);
    });
    int expected = kOpening;
    if (opening->state.compare_exchange_strong(expected, kAbandoned)) return nullptr;
    return opening->client;
}

std::string serverName() {
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    return name && *name ? name : "default";
}

}  // namespace

// A JACK stream's state. Fields below "process thread" are touched only by
// the process callback while the client is active, and by the supervisor only
// while no client is active.
struct JackLink {
    FSOUND_STREAM* stream = nullptr;
    jack_client_t* client = nullptr;
    jack_port_t* out[2] = {nullptr, nullptr};
    jack_port_t* midiIn = nullptr;
    unsigned rate = 0;          // the server's
    double ratio = 1.0;         // server frames per engine frame
    int64_t lead = 0;           // engine frames an event is put off by (resampling)
    int resampleDelay = 0;      // server frames the converter delays the sound by
    std::atomic<bool> gone{false};  // the server shut the client down

    // process thread
    SRC_STATE* src = nullptr;   // null at the engine's rate
    std::vector<int16_t> pcm;   // one engine piece, interleaved
    std::vector<float> fifo;    // the piece as the converter's input
    long fifoFrames = 0;
    long fifoUsed = 0;
    std::vector<float> resampled;  // one pass of the converter's output
    uint64_t engineFrames = 0;  // rendered since the client started
    uint64_t serverFrames = 0;  // delivered since the client started
    struct Event {
        uint64_t at;  // engine frame
        int size;
        unsigned char data[kEventBytes];
    };
    Event events[kMaxEvents];
    unsigned eventHead = 0;  // next to apply
    unsigned eventTail = 0;  // next free
};

namespace {

// ---- process thread ----

void queueEvents(JackLink* k, void* midi) {
    const uint32_t count = jack_midi_get_event_count(midi);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, midi, i) != 0) continue;
        if (e.size == 0 || e.size > size_t(kEventBytes)) continue;
        if (k->eventTail - k->eventHead >= kMaxEvents) break;
        JackLink::Event& slot = k->events[k->eventTail % kMaxEvents];
        if (k->src) {
            slot.at = uint64_t(double(k->serverFrames + e.time) / k->ratio) + uint64_t(k->lead);
        } else {
            slot.at = k->engineFrames + e.time;
        }
        slot.size = int(e.size);
        std::memcpy(slot.data, e.buffer, e.size);
        ++k->eventTail;
    }
}

// Hands the events due by the next engine frame to the handler.
void applyDueEvents(JackLink* k) {
    const SoundMidiHandler handler = midiHandler.load(std::memory_order_acquire);
    void* user = midiUser.load(std::memory_order_acquire);
    while (k->eventHead != k->eventTail) {
        const JackLink::Event& e = k->events[k->eventHead % kMaxEvents];
        if (e.at > k->engineFrames) break;
        if (handler) handler(e.data, e.size, user);
        ++k->eventHead;
    }
}

// Renders up to max engine frames into k->pcm, stopping at the next event.
int renderPiece(JackLink* k, int max) {
    applyDueEvents(k);
    int n = max;
    if (k->eventHead != k->eventTail) {
        const uint64_t until = k->events[k->eventHead % kMaxEvents].at - k->engineFrames;
        if (until < uint64_t(n)) n = int(until);
    }
    FSOUND_STREAM* s = k->stream;
    s->callback(s, k->pcm.data(), n * kBytesPerFrame, s->userData);
    k->engineFrames += uint64_t(n);
    return n;
}

void renderDirect(JackLink* k, float* left, float* right, jack_nframes_t frames) {
    jack_nframes_t done = 0;
    while (done < frames) {
        const int n = renderPiece(k, int(std::min<jack_nframes_t>(frames - done, kEngineChunkFrames)));
        const int16_t* p = k->pcm.data();
        for (int i = 0; i < n; ++i) {
            left[done + i] = float(p[2 * i]) * (1.0f / 32768.0f);
            right[done + i] = float(p[2 * i + 1]) * (1.0f / 32768.0f);
        }
        done += jack_nframes_t(n);
    }
}

// Produces frames server frames through the converter, rendering engine
// pieces as it asks for input. False when the converter fails.
bool renderResampled(JackLink* k, float* left, float* right, jack_nframes_t frames) {
    jack_nframes_t done = 0;
    while (done < frames) {
        const long want = long(std::min<jack_nframes_t>(frames - done, kOutChunkFrames));
        long got = 0;
        while (got < want) {
            if (k->fifoUsed == k->fifoFrames) {
                const int n = renderPiece(k, kEngineChunkFrames);
                const int16_t* p = k->pcm.data();
                for (int i = 0; i < 2 * n; ++i) k->fifo[i] = float(p[i]) * (1.0f / 32768.0f);
                k->fifoFrames = n;
                k->fifoUsed = 0;
            }
            SRC_DATA d{};
            d.data_in = k->fifo.data() + 2 * k->fifoUsed;
            d.input_frames = k->fifoFrames - k->fifoUsed;
            d.data_out = k->resampled.data() + 2 * got;
            d.output_frames = want - got;
            d.src_ratio = k->ratio;
            if (src_process(k->src, &d) != 0) return false;
            if (d.input_frames_used == 0 && d.output_frames_gen == 0 && d.input_frames > 0) return false;
            k->fifoUsed += d.input_frames_used;
            got += d.output_frames_gen;
        }
        const float* r = k->resampled.data();
        for (long i = 0; i < want; ++i) {
            left[done + i] = r[2 * i];
            right[done + i] = r[2 * i + 1];
        }
        done += jack_nframes_t(want);
    }
    return true;
}

int process(jack_nframes_t frames, void* arg) {
    auto* k = static_cast<JackLink*>(arg);
    FSOUND_STREAM* s = k->stream;
    auto* left = static_cast<float*>(jack_port_get_buffer(k->out[0], frames));
    auto* right = static_cast<float*>(jack_port_get_buffer(k->out[1], frames));
    void* midi = jack_port_get_buffer(k->midiIn, frames);
    s->deviceFrames.fetch_add(frames, std::memory_order_relaxed);
    int expected = kIdle;
    if (!s->owner.compare_exchange_strong(expected, kInDevice, std::memory_order_acquire)) {
        std::memset(left, 0, frames * sizeof(float));
        std::memset(right, 0, frames * sizeof(float));
        return 0;
    }
    queueEvents(k, midi);
    bool ok = true;
    if (k->src) {
        ok = renderResampled(k, left, right, frames);
    } else {
        renderDirect(k, left, right, frames);
    }
    if (!ok) {
        std::memset(left, 0, frames * sizeof(float));
        std::memset(right, 0, frames * sizeof(float));
    }
    k->serverFrames += frames;
    s->owner.store(kIdle, std::memory_order_release);
    return 0;
}

void shutDown(void* arg) { static_cast<JackLink*>(arg)->gone.store(true, std::memory_order_release); }

// ---- set-up, on the calling or the supervisor thread, no client active ----

// Runs a fresh converter on constant input in periods of the server's size:
// how far its reading runs ahead of its output (engine frames), and where a
// step in the input comes out (server frames).
void measureConverter(JackLink* k, jack_nframes_t period) {
    int64_t engine = 0, server = 0, ahead = 0;
    int delay = -1;
    std::vector<float> in(2 * kEngineChunkFrames, 1.0f);
    long inFrames = 0, inUsed = 0;
    for (int round = 0; round < 64; ++round) {
        ahead = std::max<int64_t>(ahead, engine - int64_t(double(server) / k->ratio));
        long got = 0;
        while (got < long(period)) {
            if (inUsed == inFrames) {
                inFrames = kEngineChunkFrames;
                inUsed = 0;
                engine += kEngineChunkFrames;
            }
            const long want = std::min<long>(long(period) - got, kOutChunkFrames);
            SRC_DATA d{};
            d.data_in = in.data() + 2 * inUsed;
            d.input_frames = inFrames - inUsed;
            d.data_out = k->resampled.data();
            d.output_frames = want;
            d.src_ratio = k->ratio;
            if (src_process(k->src, &d) != 0) break;
            for (long i = 0; i < d.output_frames_gen && delay < 0; ++i) {
                if (k->resampled[2 * i] >= 0.5f) delay = int(server + got + i);
            }
            inUsed += d.input_frames_used;
            got += d.output_frames_gen;
        }
        server += period;
    }
    k->lead = ahead + 1;
    k->resampleDelay = delay < 0 ? 0 : delay;
    src_reset(k->src);
}

// Sets up the converter for the client's rate, before the client starts.
bool prepareResampler(JackLink* k, unsigned engineRate) {
    if (k->src) k->src = src_delete(k->src);
    k->lead = 0;
    k->resampleDelay = 0;
    k->ratio = double(k->rate) / engineRate;
    k->pcm.assign(size_t(2 * kEngineChunkFrames), 0);
    k->fifo.assign(size_t(2 * kEngineChunkFrames), 0.0f);
    k->resampled.assign(size_t(2 * kOutChunkFrames), 0.0f);
    k->fifoFrames = k->fifoUsed = 0;
    if (k->rate == engineRate) return true;
    int error = 0;
    k->src = src_new(kConverter, 2, &error);
    if (!k->src) return false;
    measureConverter(k, jack_get_buffer_size(k->client));
    return true;
}

void connectOutputs(JackLink* k) {
    const char** ports =
        jack_get_ports(k->client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
    if (!ports) return;
    for (int i = 0; i < 2 && ports[i]; ++i) jack_connect(k->client, jack_port_name(k->out[i]), ports[i]);
    jack_free(ports);
}

// Wires the chosen MIDI ports to midi_in; a missing one is a warning.
void connectMidi(JackLink* k) {
    const char* ours = jack_port_name(k->midiIn);
    for (const std::string& port : soundOptions().midiConnections) {
        if (jack_port_by_name(k->client, port.c_str()) == nullptr) {
            std::fprintf(stderr, "synth: no JACK port '%s' to connect to %s\n", port.c_str(), ours);
            continue;
        }
        const int result = jack_connect(k->client, port.c_str(), ours);
        if (result != 0 && result != EEXIST)
            std::fprintf(stderr, "synth: cannot connect JACK port '%s' to %s\n", port.c_str(), ours);
    }
}

bool dropClient(JackLink* k);

// Opens a client for k and starts it; false leaves no client.
bool connectClient(JackLink* k) {
    k->client = openClient();
    if (!k->client) return false;
    k->rate = jack_get_sample_rate(k->client);
    k->out[0] = jack_port_register(k->client, "out_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    k->out[1] = jack_port_register(k->client, "out_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    k->midiIn = jack_port_register(k->client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    k->engineFrames = k->serverFrames = 0;
    k->eventHead = k->eventTail = 0;
    k->gone.store(false, std::memory_order_relaxed);
    bool ok = k->out[0] && k->out[1] && k->midiIn && k->rate > 0 &&
              prepareResampler(k, unsigned(k->stream->sampleRate)) &&
              jack_set_process_callback(k->client, process, k) == 0;
    if (ok) {
        jack_on_shutdown(k->client, shutDown, k);
        SignalsBlocked blocked;
        ok = jack_activate(k->client) == 0;
    }
    if (!ok) {
        dropClient(k);
        return false;
    }
    connectOutputs(k);
    connectMidi(k);
    jack_recompute_total_latencies(k->client);
    jack_latency_range_t range{0, 0};
    jack_port_get_latency_range(k->out[0], JackPlaybackLatency, &range);
    // The converter delays what it hears by its read-ahead and its filter.
    k->stream->latency = (range.max + double(k->lead) * k->ratio + k->resampleDelay) / k->rate;
    return true;
}

// Closes a client; false when that did not finish in time (a stopped
// server), the client then being left to its closing thread.
bool closeClient(jack_client_t* client) {
    return runWithin(kCloseWaitNs, [client] { jack_client_close(client); });
}

bool dropClient(JackLink* k) {
    jack_client_t* client = k->client;
    k->client = nullptr;
    return !client || closeClient(client);
}

uint64_t framesOf(const FSOUND_STREAM* s) { return s->deviceFrames.load(std::memory_order_relaxed); }
bool goneOf(const JackLink* k) { return k->gone.load(std::memory_order_acquire); }

}  // namespace

bool jackServer(std::string* driverName) {
    jack_client_t* client = openClient();
    if (!client || !closeClient(client)) return false;
    *driverName = "JACK (" + serverName() + ")";
    return true;
}

bool jackOpen(FSOUND_STREAM* s) {
    auto* k = new JackLink;
    k->stream = s;
    s->jack = k;
    if (!connectClient(k)) {
        s->jack = nullptr;
        delete k;
        return false;
    }
    return true;
}

void jackSupervise(FSOUND_STREAM* s) {
    JackLink* k = s->jack;
    for (;;) {
        StallDetector detector(nowNs(), framesOf(s), int(k->rate));
        while (!detector.stalled(nowNs(), framesOf(s), goneOf(k))) {
            if (s->stop.load(std::memory_order_acquire)) return;
            sleepFor(kSuperviseTickNs);
        }
        if (!fallBack(s)) return;
        // The pacer feeds the callback; a stalled server gets it back when it
        // delivers again, one that shut the client down is connected to anew.
        int64_t retryAt = nowNs() + kRetryNs;
        while (s->owner.load(std::memory_order_acquire) == kPacer) {
            sleepFor(kSuperviseTickNs);
            if (s->stop.load(std::memory_order_acquire)) return;
            if (!goneOf(k) || nowNs() < retryAt) continue;
            if (dropClient(k) && connectClient(k)) s->handBack.store(true, std::memory_order_relaxed);
            retryAt = nowNs() + kRetryNs;
        }
    }
}

bool jackClose(FSOUND_STREAM* s) {
    JackLink* k = s->jack;
    if (!k) return true;
    if (!dropClient(k)) return false;
    if (k->src) src_delete(k->src);
    s->jack = nullptr;
    delete k;
    return true;
}

}  // namespace sound

void soundSetMidiHandler(SoundMidiHandler handler, void* user) {
    sound::midiUser.store(user, std::memory_order_release);
    sound::midiHandler.store(handler, std::memory_order_release);
}
