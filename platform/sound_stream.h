#pragma once
// Inside the sound layer: the stream record and what its parts share.
//
// The layer's jobs live one to a file:
//   sound.cpp            the calls and the library's state
//   sound_alsa.cpp       the ALSA devices: listing, checking, and the device
//                        stream a writer thread feeds
//   sound_supervisor.cpp the supervisor thread: the device's delivery-rate
//                        verdicts (clock injected), and reopening the device
//   sound_pacer.cpp      the pacer thread: paced no-sound output
//   sound_deadline.cpp   calls that may hang, run with a deadline
//   sound_quiet.cpp      keeping the libraries below off the console
//   sound_threads.cpp    threads of the layer: signal masks
//   sound_jack.cpp       output and MIDI input through a JACK server
//   sound_rtkit.cpp      real-time priority through rtkit; the device's
//                        real-time threads kept on one CPU
//   sound_latency.cpp    the block size of a device that keeps underrunning
//
// Who may call the stream's callback is the stream's CallbackOwner
// (sound_owner.h), so the device, the pacer and FSOUND_Stream_Close never
// overlap: the supervisor hands the callback to the pacer when the device
// stops delivering, the pacer gives it back when the device delivers again
// or a new device stream was opened, and Close ends it.
//
// A playing stream has two threads of the layer: the pacer, an audio thread
// that never blocks while it owns the callback, and the supervisor, which
// watches the device and is the only one to open and close device streams
// once the stream plays. ALSA calls that can hang on a hung sound server
// run with a deadline; one that misses it leaves the devices wedged, and
// the layer never calls into ALSA's devices again in this process.
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound.h"
#include "platform/sound_latency.h"
#include "platform/sound_owner.h"

namespace sound {
struct JackLink;
struct DeviceStream;
}

namespace sound {

constexpr int kBytesPerFrame = 4;          // 16-bit stereo
constexpr int kPacerBlockFrames = 256;     // frames per no-sound block
constexpr int kNoDevice = -1;
// How long a call into a sound server (open, close, a D-Bus request) may
// take before the server counts as hung.
constexpr int64_t kCallWaitNs = 1'000'000'000;
// How often a device or server that went away is tried again.
constexpr int64_t kRetryEveryNs = 1'000'000'000;
constexpr int kJackDevice = -2;  // the JACK server (sound_jack.h)

int64_t nowNs();
void sleepUntil(int64_t deadlineNs);
void sleepFor(int64_t ns);

// A counting wake-up for a thread that waits off the audio path.
class Wakeup {
public:
    Wakeup() { sem_init(&sem_, 0, 0); }
    ~Wakeup() { sem_destroy(&sem_); }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    void post() { sem_post(&sem_); }
    void wait();

private:
    sem_t sem_;
};

}  // namespace sound

struct FSOUND_STREAM {
    FSOUND_STREAMCALLBACK callback = nullptr;
    void* userData = nullptr;
    int maxFrames = 0;   // the stream's buffer length in frames
    int sampleRate = 0;
    int device = sound::kNoDevice;  // index in the driver list, or kNoDevice, kJackDevice
    std::string deviceName;  // ALSA's name of the device
    int channel = -1;    // -1 until played

    // The device stream and its frames per callback: set by Play, then the
    // supervisor's alone until Close has joined it.
    sound::DeviceStream* out = nullptr;
    int deviceBlock = 0;  // frames per block asked of the device stream
    // A device stream may still call into this stream (a teardown or an open
    // never returned): the record is never freed. The supervisor's, as out.
    bool abandoned = false;

    std::atomic<double> latency{0.0};  // of the current device stream
    sound::CallbackOwner owner;  // who may call the callback
    std::atomic<uint64_t> deviceFrames{0};  // asked for by the device, owner or not
    std::atomic<int> deviceRate{0};  // frames per second the device counts in
    std::atomic<bool> deviceFinished{false};  // the current device stream ended
    std::atomic<bool> fellBack{false};
    std::atomic<bool> stop{false};
    std::atomic<int> callbackThread{0};  // the device callback's thread id, once it ran
    std::atomic<uint64_t> underruns{0};  // device callbacks flagged an output underflow
    std::atomic<int> blockFrames{0};     // frames per callback of the current device stream
    // Threads that the current device stream started (the plugin's and the
    // callback's, if it ran by then): openDevice's, then the supervisor's.
    std::vector<int> deviceThreads;
    sound::Wakeup pacerWakeup;  // posted when the pacer is handed the callback, or stop
    std::thread pacer;       // paces the callback while no device stream does
    std::thread supervisor;  // watches the device; reopens it when it ends
    std::vector<unsigned char> block;  // the pacer's buffer
    sound::JackLink* jack = nullptr;   // a JACK stream's client and resampler
};

namespace sound {

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

// ---- sound_alsa.cpp ----
struct DeviceEntry {
    std::string name;
    int device;  // kNoDevice for NoSound
};
// Drops ALSA's parsed configuration, unless the devices are wedged.
void endDevices();
// From now on ALSA's devices are never called again in this process: a call
// into them never returned. Any thread.
void wedgeDevices();
bool devicesWedged();
// Stereo output devices of the output type, the default first; the type
// in use through *usedType (NoSound when there are none). Opens each of
// them once, and no device that it does not list. A listing that does not finish in time wedges the devices and
// lists nothing, as when there is no device.
std::vector<DeviceEntry> listDevices(int outputType, int* usedType);
// FMOD_ERR_NONE when the device takes 16-bit stereo at the rate, else
// FMOD_ERR_OUTPUT_FORMAT or FMOD_ERR_INIT (also when the check does not
// finish in time, which wedges the devices).
int checkDevice(const std::string& name, int rate);
// Frames per block a stream on the device starts at: the sound options'
// choice, else larger through a sound server than straight to a card.
int startBlockFrames(const std::string& name);
// Where the system refused them SCHED_FIFO, asks rtkit to make the current
// device stream's threads real-time: the plugin's, and the writer's once it
// ran (waited for up to 0.1 s); then binds those that are real-time to one
// CPU (see bindRealtimeThreads). Blocks up to about a second, whatever the
// bus does. Supervisor thread only.
void promoteDeviceThreads(FSOUND_STREAM* s);
// Stops and closes a device stream. False when that did not finish in
// time, which wedges the devices, or they were wedged already: the device
// stream and the stream it feeds must then be left alone.
bool tearDown(DeviceStream* out);
// Opens and starts a device stream on s->deviceName at s->deviceBlock frames
// per block, feeding s; sets s->latency and s->blockFrames. Null when that
// fails; when it does not finish in time the devices are wedged and s is
// marked abandoned.
DeviceStream* openDeviceWithin(FSOUND_STREAM* s);

// ---- sound_deadline.cpp ----
// Runs job on a thread of its own, asynchronous signals blocked, and waits
// up to waitNs for it. False when it did not finish in time: it goes on
// alone, so what it touches must outlive it. False at once, the job not run,
// when no thread can be started.
bool runWithin(int64_t waitNs, std::function<void()> job);

// ---- sound_supervisor.cpp ----
// Replaces s's device stream by a new one on the same device: closes the
// current one (if any), then opens afresh, at blockFrames frames per block
// (0 keeps the current size). Once opened, the pacer gives the callback to
// the new stream after its current block, and the supervisor judges it from
// then on, as it does a stream just played; else s is left without a device
// stream (tried again later), or abandoned when the devices hung. Only on
// the supervisor thread, while the pacer owns the callback (see
// takeCallback), which covers the gap.
void reopenDevice(FSOUND_STREAM* s, int blockFrames = 0);
// Moves the callback from the device to the pacer; false when the stream is
// being closed first. Supervisor thread only.
bool takeCallback(FSOUND_STREAM* s);
// takeCallback because the device stopped delivering: the stream is marked
// as having fallen back (soundStreamFellBack).
bool fallBack(FSOUND_STREAM* s);
// The supervisor thread's body, until s->stop.
void supervise(FSOUND_STREAM* s);

// ---- sound_pacer.cpp ----
// The pacer thread's body: calls the callback at the stream's rate while it
// owns it, until s->stop.
void pace(FSOUND_STREAM* s);

// ---- sound_quiet.cpp ----
// Keeps what the libraries under the layer print for their developers off
// the program's console. Sets environment variables: call before any thread
// exists (the layer's first call). Idempotent.
void quietLibraries();

// ---- sound_threads.cpp ----
// While alive, the calling thread blocks every asynchronous signal, so that
// threads started meanwhile (ours, an ALSA plugin's) inherit a
// mask that leaves signals to the program's own threads.
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace sound
