// The JACK backend: output through a JACK server (jackd, or PipeWire's
// JACK), with MIDI input, for the output type ASIO.
//
// The stream's client (soundOptions().jackClientName) has output ports
// out_1 and out_2 wired to the first two physical playback ports, and a
// MIDI input port midi_in wired to soundOptions().midiConnections. The
// engine's frames are resampled to the server's rate when it differs. The
// process callback takes the callback through the stream's owner like a
// device stream does, renders in pieces split at the frames where MIDI
// events fall, and hands each event to the handler of soundSetMidiHandler
// between two pieces; while the pacer holds the callback, the events still
// reach the handler in every period, in order.
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

#include "platform/sound_backend.h"
#include "platform/sound_options.h"
#include "platform/sound_stream.h"

namespace sound {

namespace {

constexpr int kEngineChunkFrames = 64;   // engine frames rendered per piece
constexpr int kOutChunkFrames = 1024;    // resampled frames produced per pass
constexpr unsigned kMaxEvents = 256;     // MIDI events held for later frames (power of two)
constexpr int kEventBytes = 3;           // longer messages are not kept
constexpr int kConverter = SRC_SINC_FASTEST;

// The MIDI handler with its user pointer, swapped as one. Targets are never
// freed (the process callback may hold one); one is kept per distinct pair.
struct MidiTarget {
    SoundMidiHandler handler;
    void* user;
};
std::atomic<const MidiTarget*> midiTarget{nullptr};

// jack_client_open with the chosen name and a deadline; libjack itself would
// wait for ever on a stopped server. A call that misses it finishes on its
// own thread, which then closes what it opened.
jack_client_t* openClient() {
    const std::string name = soundOptions().jackClientName;
    enum : int { kOpening, kTaken, kAbandoned };
    struct Opening {
        std::atomic<int> state{kOpening};
        jack_client_t* client = nullptr;  // written before state leaves kOpening
    };
    quietLibraries();
    auto opening = std::make_shared<Opening>();
    runWithin(kCallWaitNs, [opening, name] {
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
    std::atomic<bool> freewheeling{false};  // the server runs unpaced
    int period = 0;             // the server's frames per process call
    double latency = 0;         // seconds from the engine to the speakers

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

void apply(const MidiTarget* target, const unsigned char* data, int size) {
    if (target && target->handler) target->handler(data, size, target->user);
}

bool keptSize(size_t size) { return size > 0 && size <= size_t(kEventBytes); }

// Applies every event held for later frames at once, in order.
void applyHeld(JackLink* k, const MidiTarget* target) {
    for (; k->eventHead != k->eventTail; ++k->eventHead) {
        const JackLink::Event& e = k->events[k->eventHead % kMaxEvents];
        apply(target, e.data, e.size);
    }
}

// While the pacer renders: the period's events are applied as they are
// read, after any held ones, so none is lost and the order stays.
void applyPortNow(JackLink* k, void* midi, const MidiTarget* target) {
    applyHeld(k, target);
    const uint32_t count = jack_midi_get_event_count(midi);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, midi, i) == 0 && keptSize(e.size)) apply(target, e.buffer, int(e.size));
    }
}

// Holds the period's events for the engine frames they fall on (resampled
// output: the converter reads ahead). When the hold is full its oldest is
// applied early rather than dropped.
void holdEvents(JackLink* k, void* midi, const MidiTarget* target) {
    const uint32_t count = jack_midi_get_event_count(midi);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, midi, i) != 0 || !keptSize(e.size)) continue;
        if (k->eventTail - k->eventHead >= kMaxEvents) {
            const JackLink::Event& oldest = k->events[k->eventHead % kMaxEvents];
            apply(target, oldest.data, oldest.size);
            ++k->eventHead;
        }
        JackLink::Event& slot = k->events[k->eventTail % kMaxEvents];
        slot.at = uint64_t(double(k->serverFrames + e.time) / k->ratio) + uint64_t(k->lead);
        slot.size = int(e.size);
        std::memcpy(slot.data, e.buffer, e.size);
        ++k->eventTail;
    }
}

// Hands the held events due by the next engine frame to the handler.
void applyDueEvents(JackLink* k, const MidiTarget* target) {
    while (k->eventHead != k->eventTail) {
        const JackLink::Event& e = k->events[k->eventHead % kMaxEvents];
        if (e.at > k->engineFrames) break;
        apply(target, e.data, e.size);
        ++k->eventHead;
    }
}

// Renders n engine frames into k->pcm.
void renderEngine(JackLink* k, int n) {
    FSOUND_STREAM* s = k->stream;
    s->callback(s, k->pcm.data(), n * kBytesPerFrame, s->userData);
    k->engineFrames += uint64_t(n);
}

// Renders up to max engine frames into k->pcm, stopping at the next held event.
int renderPiece(JackLink* k, int max, const MidiTarget* target) {
    applyDueEvents(k, target);
    int n = max;
    if (k->eventHead != k->eventTail) {
        const uint64_t until = k->events[k->eventHead % kMaxEvents].at - k->engineFrames;
        if (until < uint64_t(n)) n = int(until);
    }
    renderEngine(k, n);
    return n;
}

// At the engine's rate: renders the period in pieces split at the frames of
// the port's events, each applied as it is read.
void renderDirect(JackLink* k, float* left, float* right, jack_nframes_t frames, void* midi,
                  const MidiTarget* target) {
    const uint32_t count = jack_midi_get_event_count(midi);
    uint32_t next = 0;
    jack_midi_event_t e{};
    bool pending = false;  // e holds the next event, not applied yet
    jack_nframes_t done = 0;
    for (;;) {
        for (;;) {
            if (!pending) {
                if (next >= count) break;
                pending = jack_midi_event_get(&e, midi, next++) == 0 && keptSize(e.size);
                continue;
            }
            if (e.time > done && done < frames) break;
            apply(target, e.buffer, int(e.size));
            pending = false;
        }
        if (done >= frames) break;
        jack_nframes_t until = frames;
        if (pending && e.time < until) until = e.time;
        const int n = int(std::min<jack_nframes_t>(until - done, kEngineChunkFrames));
        renderEngine(k, n);
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
bool renderResampled(JackLink* k, float* left, float* right, jack_nframes_t frames,
                     const MidiTarget* target) {
    jack_nframes_t done = 0;
    while (done < frames) {
        const long want = long(std::min<jack_nframes_t>(frames - done, kOutChunkFrames));
        long got = 0;
        while (got < want) {
            if (k->fifoUsed == k->fifoFrames) {
                const int n = renderPiece(k, kEngineChunkFrames, target);
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

void silence(float* left, float* right, jack_nframes_t frames) {
    std::memset(left, 0, frames * sizeof(float));
    std::memset(right, 0, frames * sizeof(float));
}

// Takes the period's MIDI events whoever renders: the events reach the
// handler in order in every period, on this thread only.
int process(jack_nframes_t frames, void* arg) {
    auto* k = static_cast<JackLink*>(arg);
    FSOUND_STREAM* s = k->stream;
    auto* left = static_cast<float*>(jack_port_get_buffer(k->out[0], frames));
    auto* right = static_cast<float*>(jack_port_get_buffer(k->out[1], frames));
    void* midi = jack_port_get_buffer(k->midiIn, frames);
    const MidiTarget* target = midiTarget.load(std::memory_order_acquire);
    s->deviceFrames.fetch_add(frames, std::memory_order_relaxed);
    if (!s->owner.enterDevice()) {
        silence(left, right, frames);
        applyPortNow(k, midi, target);
        return 0;
    }
    bool ok = true;
    if (k->src) {
        holdEvents(k, midi, target);
        ok = renderResampled(k, left, right, frames, target);
    } else {
        renderDirect(k, left, right, frames, midi, target);
    }
    if (!ok) silence(left, right, frames);
    k->serverFrames += frames;
    s->owner.leaveDevice();
    return 0;
}

void freewheel(int starting, void* arg) {
    static_cast<JackLink*>(arg)->freewheeling.store(starting != 0, std::memory_order_release);
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

// Opens a client for k with its ports and converter; false leaves no client.
bool openLink(JackLink* k) {
    k->client = openClient();
    if (!k->client) return false;
    k->rate = jack_get_sample_rate(k->client);
    k->out[0] = jack_port_register(k->client, "out_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    k->out[1] = jack_port_register(k->client, "out_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    k->midiIn = jack_port_register(k->client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    k->engineFrames = k->serverFrames = 0;
    k->eventHead = k->eventTail = 0;
    k->gone.store(false, std::memory_order_relaxed);
    k->freewheeling.store(false, std::memory_order_relaxed);
    const bool ok = k->out[0] && k->out[1] && k->midiIn && k->rate > 0 &&
                    prepareResampler(k, unsigned(k->stream->sampleRate)) &&
                    jack_set_process_callback(k->client, process, k) == 0;
    if (!ok) {
        dropClient(k);
        return false;
    }
    jack_on_shutdown(k->client, shutDown, k);
    jack_set_freewheel_callback(k->client, freewheel, k);
    k->period = int(jack_get_buffer_size(k->client));
    return true;
}

// Activates k's client and wires its ports; sets the latency.
bool startLink(JackLink* k) {
    {
        SignalsBlocked blocked;
        if (jack_activate(k->client) != 0) return false;
    }
    connectOutputs(k);
    connectMidi(k);
    jack_recompute_total_latencies(k->client);
    jack_latency_range_t range{0, 0};
    jack_port_get_latency_range(k->out[0], JackPlaybackLatency, &range);
    // At least the period the output waits for its turn (PipeWire's JACK
    // reports none); the converter delays what it hears by its read-ahead
    // and its filter.
    const double playback = std::max<double>(range.max, k->period);
    k->latency = (playback + double(k->lead) * k->ratio + k->resampleDelay) / k->rate;
    return true;
}

// Closes a client; false when that did not finish in time (a stopped
// server), the client then being left to its closing thread.
bool closeClient(jack_client_t* client) {
    return runWithin(kCallWaitNs, [client] { jack_client_close(client); });
}

bool dropClient(JackLink* k) {
    jack_client_t* client = k->client;
    k->client = nullptr;
    return !client || closeClient(client);
}

// A stream's client of the JACK server. Its server sets the period; a
// stalled server picks the client up again by itself.
class JackBackend : public Backend {
public:
    explicit JackBackend(FSOUND_STREAM* s) { link_.stream = s; }
    ~JackBackend() override {
        if (link_.src) src_delete(link_.src);
    }

    bool open(int) override { return !link_.client && openLink(&link_); }
    bool start() override { return link_.client && startLink(&link_); }
    bool stop() override {
        jack_client_t* client = link_.client;
        return !client || runWithin(kCallWaitNs, [client] { jack_deactivate(client); });
    }
    bool close() override { return dropClient(&link_); }

    int rate() const override { return int(link_.rate); }
    bool finished() const override { return !link_.client || link_.gone.load(std::memory_order_acquire); }
    bool unpaced() const override { return link_.freewheeling.load(std::memory_order_acquire); }
    bool resumes() const override { return true; }
    double latency() const override { return link_.latency; }
    int blockFrames() const override { return link_.client ? link_.period : 0; }
    bool resizable() const override { return false; }

private:
    JackLink link_;
};

std::vector<DeviceEntry> listServer(int outputType, int* usedType) {
    *usedType = FSOUND_OUTPUT_NOSOUND;
    if (outputType != FSOUND_OUTPUT_ASIO) return {};
    jack_client_t* client = openClient();
    if (!client || !closeClient(client)) return {};
    *usedType = FSOUND_OUTPUT_ASIO;
    return {DeviceEntry{"JACK (" + serverName() + ")", &kJackKind}};
}

int checkServer(const DeviceEntry&, int) {
    jack_client_t* client = openClient();
    return client && closeClient(client) ? FMOD_ERR_NONE : FMOD_ERR_INIT;
}

std::unique_ptr<Backend> createBackend(FSOUND_STREAM* s, const DeviceEntry&) {
    return std::make_unique<JackBackend>(s);
}

void endNothing() {}

}  // namespace

const BackendKind kJackKind{listServer, checkServer, createBackend, endNothing};

}  // namespace sound

void soundSetMidiHandler(SoundMidiHandler handler, void* user) {
    // Main thread only. Few distinct pairs are ever set: each is kept.
    static std::vector<std::unique_ptr<sound::MidiTarget>> targets;
    const sound::MidiTarget* target = nullptr;
    if (handler) {
        for (const auto& t : targets)
            if (t->handler == handler && t->user == user) target = t.get();
        if (!target) {
            targets.push_back(std::make_unique<sound::MidiTarget>(sound::MidiTarget{handler, user}));
            target = targets.back().get();
        }
    }
    sound::midiTarget.store(target, std::memory_order_release);
}
