#pragma once
// Inside the sound layer: the stream record and what its parts share.
//
// The layer's jobs live one to a file:
//   sound.cpp            the calls and the library's state; no backend by name
//   sound_backend.*      the backend interface and the table of backend kinds
//   sound_alsa.cpp       backend: ALSA's devices, a writer thread each
//   sound_jack.cpp       backend: a JACK server's client, with MIDI input
//   sound_owner.h        who may call the stream's callback
//   sound_supervisor.cpp the supervisor thread driving the playing backend:
//                        delivery-rate verdicts (clock injected), reopening
//   sound_pacer.cpp      the pacer thread: paced no-sound output
//   sound_deadline.cpp   calls that may hang, run with a deadline
//   sound_quiet.cpp      keeping the libraries below off the console
//   sound_threads.cpp    threads of the layer: signal masks
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
// watches the backend and is the only one to open and close it once the
// stream plays. Backend calls that can hang on a hung sound server run with
// a deadline; while an ALSA call that missed it has not returned (its
// server hangs), no other call into ALSA's devices is made.
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound.h"
#include "platform/sound_backend.h"
#include "platform/sound_latency.h"
#include "platform/sound_owner.h"

namespace sound {

constexpr int kBytesPerFrame = 4;          // 16-bit stereo
constexpr int kPacerBlockFrames = 256;     // frames per no-sound block
// How long a call into a sound server (open, close, a D-Bus request) may
// take before the server counts as hung.
constexpr int64_t kCallWaitNs = 1'000'000'000;
// How often a device or server that went away is tried again.
constexpr int64_t kRetryEveryNs = 1'000'000'000;

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
    int channel = -1;    // -1 until played

    // The device stream, null for NoSound: made by Play, then the
    // supervisor's alone until Close has joined it.
    std::unique_ptr<sound::Backend> backend;
    // A device stream that did not end in time may still touch this stream
    // (a close missed its deadline): it is never freed. The supervisor's,
    // as backend.
    bool abandoned = false;

    // What the current device stream reports, for the layer's extensions.
    std::atomic<double> latency{0.0};
    std::atomic<int> blockFrames{0};
    sound::CallbackOwner owner;  // who may call the callback
    std::atomic<uint64_t> deviceFrames{0};  // asked for by the device, owner or not
    std::atomic<int> deviceRate{0};  // frames per second the device counts in
    std::atomic<bool> fellBack{false};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> underruns{0};  // the device reported, all streams together
    sound::Wakeup pacerWakeup;  // posted when the pacer is handed the callback, or stop
    std::thread pacer;       // paces the callback while no device stream does
    std::thread supervisor;  // watches the device; reopens it when it ends
    std::vector<unsigned char> block;  // the pacer's buffer
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

// ---- sound_deadline.cpp ----
// Runs job on a thread of its own, asynchronous signals blocked, and waits
// up to waitNs for it. False when it did not finish in time: it goes on
// alone, so what it touches must outlive it. False at once, the job not run,
// when no thread can be started.
bool runWithin(int64_t waitNs, std::function<void()> job);

// ---- sound_supervisor.cpp ----
// Opens and starts s's backend at blockFrames (0: its own size), and
// publishes what it reports (latency, block, rate); false leaves it closed.
bool startBackend(FSOUND_STREAM* s, int blockFrames);
// The supervisor thread's body, until s->stop: watches s's backend, hands
// the callback to the pacer when it stops delivering, and opens it afresh
// when it ended (or, unless it resumes by itself, fell silent), or at a
// larger block when it keeps underrunning.
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
