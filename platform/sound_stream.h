#pragma once
// Inside the sound layer: the stream record and what its parts share.
//
// The layer's jobs live one to a file:
//   sound.cpp            the calls and the library's state
//   sound_portaudio.cpp  device listing and the PortAudio stream glue
//   sound_supervisor.cpp the device's delivery-rate verdicts (clock injected)
//   sound_pacer.cpp      the worker: supervision, then paced no-sound output
//   sound_teardown.cpp   closing a device stream without hanging the caller
//   sound_threads.cpp    threads of the layer: signal masks
//
// Who may call the stream's callback is decided by one atomic owner word, so
// the device callback, the pacer and FSOUND_Stream_Close never overlap: the
// device callback only runs the user callback after moving the word from
// Idle to InDevice, the worker takes it over (Pacer) when the device stops
// delivering, and Close parks it at Closed.
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound.h"

typedef void PaStream;

namespace sound {

constexpr int kBytesPerFrame = 4;          // 16-bit stereo
constexpr int kDeviceBlockFrames = 128;    // frames per device callback
constexpr double kSuggestedLatency = 0.005;  // seconds
constexpr int kPacerBlockFrames = 256;     // frames per no-sound block
constexpr int kNoDevice = -1;

enum Owner : int { kIdle, kInDevice, kPacer, kClosed };

int64_t nowNs();
void sleepUntil(int64_t deadlineNs);
void sleepFor(int64_t ns);

}  // namespace sound

struct FSOUND_STREAM {
    FSOUND_STREAMCALLBACK callback = nullptr;
    void* userData = nullptr;
    int maxFrames = 0;   // the stream's buffer length in frames
    int sampleRate = 0;
    int device = sound::kNoDevice;  // PortAudio device index
    int channel = -1;    // -1 until played

    PaStream* pa = nullptr;
    double latency = 0.0;
    std::atomic<int> owner{sound::kIdle};
    std::atomic<uint64_t> deviceFrames{0};  // asked for by the device, owner or not
    std::atomic<bool> deviceFinished{false};
    std::atomic<bool> fellBack{false};
    std::atomic<bool> stop{false};
    std::atomic<int> callbackThread{0};      // the device callback's thread id, once it ran
    std::atomic<uint64_t> underruns{0};      // device callbacks flagged an output underflow
    std::atomic<int> blockFrames{sound::kDeviceBlockFrames};  // frames per device block to open at
    std::thread worker;  // supervises the device, then paces if it stops
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

// ---- sound_portaudio.cpp ----
struct DeviceEntry {
    std::string name;
    int device;  // kNoDevice for NoSound
};
// Starts PortAudio once (false if it cannot start or is wedged).
bool startPortAudio();
// Ends PortAudio and drops ALSA's configuration, unless a stream wedged it.
void endPortAudio();
bool portAudioUp();
// Marks PortAudio as holding a stream that never finished tearing down.
void wedgePortAudio();
// Stereo output devices of the output type, the default first; the type
// in use through *usedType (NoSound when there are none).
std::vector<DeviceEntry> listDevices(int outputType, int* usedType);
// FMOD_ERR_NONE when the device takes 16-bit stereo at the rate, else
// FMOD_ERR_OUTPUT_FORMAT or FMOD_ERR_INIT.
int checkDevice(int device, int rate);
// Opens and starts s->device for s; false leaves s->pa null.
bool openDevice(FSOUND_STREAM* s);

// ---- sound_teardown.cpp ----
// Aborts and closes a PortAudio stream; false when that did not finish in
// time (the stream and its user data must then be left alone).
bool tearDown(PaStream* pa);

// ---- sound_pacer.cpp ----
// The worker thread's body: supervises a device stream, paces the callback
// while the device is silent, until s->stop.
void work(FSOUND_STREAM* s);

// ---- sound_threads.cpp ----
// While alive, the calling thread blocks every asynchronous signal, so that
// threads started meanwhile (ours, PortAudio's, an ALSA plugin's) inherit a
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
