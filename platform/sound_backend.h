#pragma once
// Inside the sound layer: the ways to the sound, one per file, behind one
// interface, and the table of them that the calls consult.
//
//   sound_alsa.cpp  ALSA's devices, through alsa-lib (a writer thread each)
//   sound_jack.cpp  a JACK server (jackd, or PipeWire's JACK), with MIDI in
//
// Without a device the pacer (sound_pacer.cpp) feeds the callback; it also
// stands in for a device that stopped. One supervisor (sound_supervisor.cpp)
// drives whichever backend plays a stream.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct FSOUND_STREAM;

namespace sound {

// A device stream of one stream. Each call returns within about a second
// (kCallWaitNs), whatever the sound server does; one that could not finish
// finishes on its own (see close). Calls come from one thread at a
// time: FSOUND_Stream_Play's, then the supervisor's, then Close's.
class Backend {
public:
    virtual ~Backend() = default;

    // Opens the device at blockFrames frames per block (0: its own size;
    // a backend whose server sets the period keeps it). False leaves it
    // closed.
    virtual bool open(int blockFrames) = 0;
    // Starts feeding the stream's callback, which it takes through the
    // stream's owner at every block. False leaves it open, stopped.
    virtual bool start() = 0;
    // Stops feeding; false when that did not finish in time.
    virtual bool stop() = 0;
    // Stops (if started) and closes. False when that did not finish in
    // time: the old device stream ends on its own and may still touch the
    // stream, which must then never be freed; the backend may be opened
    // again (it fails while its server still hangs).
    virtual bool close() = 0;

    // The frames the device asked for are counted in the stream's
    // deviceFrames, at this rate.
    virtual int rate() const = 0;
    // The device stream ended by itself (its server went away).
    virtual bool finished() const = 0;
    // The device runs unpaced by design (JACK's freewheeling): its rate
    // says nothing then.
    virtual bool unpaced() const { return false; }
    // A device that stops delivering without ending picks up again by
    // itself when its server does (a JACK client): it is reopened only once
    // it ended. Others are reopened after a few silent seconds too.
    virtual bool resumes() const { return false; }
    // Seconds from the callback to the speaker, once started.
    virtual double latency() const = 0;
    // Frames per block, once open.
    virtual int blockFrames() const = 0;
    // Whether a larger block helps when it underruns (not where the server
    // sets the period).
    virtual bool resizable() const = 0;
    // Once started, off the audio path: asks for real-time priority for
    // the device's threads where the backend does not get it by itself.
    virtual void promoteThreads() {}
};

// One kind of backend: its drivers and how to make a stream's backend.
struct BackendKind;

struct DeviceEntry {
    std::string name;                     // as listed
    const BackendKind* kind = nullptr;    // null for NoSound
};

struct BackendKind {
    // Drivers for the output type, the default first; none when this kind
    // does not serve the type, or finds no device. The type the drivers
    // play through (as FSOUND_GetOutput reports it) through *usedType.
    std::vector<DeviceEntry> (*list)(int outputType, int* usedType);
    // FMOD_ERR_NONE when the driver plays 16-bit stereo at the rate, else
    // FMOD_ERR_OUTPUT_FORMAT or FMOD_ERR_INIT.
    int (*check)(const DeviceEntry& driver, int rate);
    // A closed backend for the stream on the driver.
    std::unique_ptr<Backend> (*create)(FSOUND_STREAM* s, const DeviceEntry& driver);
    // Called by FSOUND_Close: drops what listing kept.
    void (*end)();
};

// The kinds, in the order they are asked for drivers: the first to list
// any wins.
const std::vector<const BackendKind*>& backendKinds();

extern const BackendKind kJackKind;
extern const BackendKind kAlsaKind;

}  // namespace sound
