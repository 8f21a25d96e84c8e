#pragma once
// Inside the sound layer: output through a JACK server (jackd, or PipeWire's
// JACK), with MIDI input, for the output type ASIO.
//
// The stream's client is "synth", with output ports out_1 and out_2 wired to
// the first two physical playback ports, and a MIDI input port midi_in. The
// engine's frames are resampled to the server's rate when it differs. The
// process callback takes the callback like a device stream does, renders
// in pieces split at the frames where MIDI events fall, and hands each event
// to the handler of soundSetMidiHandler between two pieces.
//
// When the server stalls or goes away the stream's supervisor hands the
// callback to the pacer (paced no-sound output) until the server delivers
// again, or, after a shutdown, until a new client connects (tried about once
// a second, on the supervisor thread).
#include <string>

#include "platform/sound_stream.h"

namespace sound {

// Whether a JACK server answers within a deadline; its name for the driver
// list, "JACK (name)", through *driverName. Prints nothing.
bool jackServer(std::string* driverName);
// Opens the stream's client, its resampler and ports, and starts it; false
// leaves s->jack null.
bool jackOpen(FSOUND_STREAM* s);
// The supervisor thread's body for a JACK stream, until s->stop.
void jackSupervise(FSOUND_STREAM* s);
// Closes the client and frees what jackOpen made; the layer's threads have ended and
// the callback's owner is closed. False when the client did not close in time (a
// stopped server): s and its link must then be left alone.
bool jackClose(FSOUND_STREAM* s);

}  // namespace sound
