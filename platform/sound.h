#pragma once
// The program's sound-library calls: output types, drivers, initialisation
// and one user stream fed by a callback on an audio thread of the layer.
//
// Linux implementation over alsa-lib and JACK (platform/sound.cpp); tests
// may link a stand-in of their own instead.
//
// Output types on Linux: NoSound (a paced thread that discards the audio)
// and ALSA (also chosen for the Windows types WINMM, DSOUND, A3D and ASIO);
// ASIO goes to a JACK server when one answers (platform/sound_jack.cpp).
// ALSA's drivers are "default", then those of the sound servers and each
// card's default that open. A type without a usable stereo output device
// (OSS and ESD among them) falls back to NoSound,
// and FSOUND_GetOutput reports the type in use. The calls are made from one
// thread; only the stream callback runs elsewhere.
//
// A sound server that hangs never hangs a call: listing the devices and
// checking one give up after 1.5 s (the server's devices count as missing),
// and the layer leaves ALSA's devices alone from then on. A playing stream
// whose device ends (its server died), or delivers nothing for 3 s, goes on
// paced and silent while the device is opened again about once a second; a
// server back on the same socket gets the stream within about two seconds.
// Through a sound server the device starts at 1024-frame blocks (about
// 23 ms each), straight to a card at 128; soundOptions() may choose
// another. The libraries under the layer print nothing on the console.

struct FSOUND_STREAM;

// Called on the audio thread with whole 4-byte frames, never more than the
// stream's buffer length. The return value is ignored.
typedef int (*FSOUND_STREAMCALLBACK)(FSOUND_STREAM* stream, void* buffer, int lengthInBytes,
                                     void* userData);

// Output types.
enum {
    FSOUND_OUTPUT_NOSOUND = 0,
    FSOUND_OUTPUT_WINMM = 1,
    FSOUND_OUTPUT_DSOUND = 2,
    FSOUND_OUTPUT_A3D = 3,
    FSOUND_OUTPUT_OSS = 4,
    FSOUND_OUTPUT_ESD = 5,
    FSOUND_OUTPUT_ALSA = 6,
    FSOUND_OUTPUT_ASIO = 7,
};

// Stream mode bits. The program asks for FSOUND_2D | FSOUND_SIGNED |
// FSOUND_STEREO | FSOUND_16BITS (0x1000150).
enum : unsigned int {
    FSOUND_8BITS = 0x00000008,
    FSOUND_16BITS = 0x00000010,
    FSOUND_MONO = 0x00000020,
    FSOUND_STEREO = 0x00000040,
    FSOUND_UNSIGNED = 0x00000080,
    FSOUND_SIGNED = 0x00000100,
    FSOUND_2D = 0x01000000,
};

// Error codes, as FSOUND_GetError reports them.
enum {
    FMOD_ERR_NONE = 0,
    FMOD_ERR_BUSY = 1,             // called after FSOUND_Init
    FMOD_ERR_UNINITIALIZED = 2,    // FSOUND_Init was not called
    FMOD_ERR_INIT = 3,             // the output device failed to initialise
    FMOD_ERR_ALLOCATED = 4,
    FMOD_ERR_PLAY = 5,
    FMOD_ERR_OUTPUT_FORMAT = 6,    // no 16-bit stereo
    FMOD_ERR_COOPERATIVELEVEL = 7,
    FMOD_ERR_CREATEBUFFER = 8,
    FMOD_ERR_FILE_NOTFOUND = 9,
    FMOD_ERR_FILE_FORMAT = 10,
    FMOD_ERR_FILE_BAD = 11,
    FMOD_ERR_MEMORY = 12,
    FMOD_ERR_VERSION = 13,
    FMOD_ERR_INVALID_PARAM = 14,
    FMOD_ERR_NO_EAX = 15,
    FMOD_ERR_CHANNEL_ALLOC = 16,
    FMOD_ERR_RECORD = 17,
    FMOD_ERR_MEDIAPLAYER = 18,
};

// 3.74.
float FSOUND_GetVersion();
// Chooses the output type and lists its drivers afresh (the default device
// first). Before FSOUND_Init only (else error 1); an unknown type, error 14.
int FSOUND_SetOutput(int outputType);
int FSOUND_GetOutput();
int FSOUND_GetNumDrivers();
// A driver index out of range gives "" and error 14.
const char* FSOUND_GetDriverName(int driver);
int FSOUND_SetDriver(int driver);
// Checks that the chosen driver takes 16-bit stereo at mixRate: 0 with
// error 3 (device) or 6 (format) when not, error 1 when already initialised.
int FSOUND_Init(int mixRate, int maxSoftwareChannels, unsigned int flags);
// The code of the last failed call.
int FSOUND_GetError();
// One stream at a time, 16-bit signed stereo only (else error 14); null with
// error 2 before FSOUND_Init. lengthInBytes bounds each callback's buffer.
FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int lengthInBytes,
                                    unsigned int mode, int sampleRate, void* userData);
// Starts the callback; returns the channel playing the stream, or -1 with
// error 5 when the device cannot be opened.
int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream);
// Once it returns, the callback is never called again. An unknown, null or
// already closed stream gives 0 and error 14.
int FSOUND_Stream_Close(FSOUND_STREAM* stream);
// Closes the open stream, if any, and ends the output.
void FSOUND_Close();

// Layer extensions for tests and measurements; the program does not use them.
// Output latency of a playing stream as the device reports it, in seconds;
// 0 for NoSound or an unknown stream.
double soundStreamLatency(const FSOUND_STREAM* stream);
// True once a playing stream's device stopped and the paced no-sound thread
// took over feeding the callback (the device gets it back if it recovers).
bool soundStreamFellBack(const FSOUND_STREAM* stream);
// Output underruns the device reported while playing the stream.
unsigned long soundStreamUnderruns(const FSOUND_STREAM* stream);
// Frames per callback of the stream's latest device stream; 0 without one.
int soundStreamBlockFrames(const FSOUND_STREAM* stream);

// Layer extension the program uses: MIDI input. Called on the audio thread
// with each MIDI message (1 to 3 bytes) that reaches a JACK stream's midi_in
// port, between the callback's pieces, at the message's own frame; the
// handler must not block, allocate or print. Null stops the calls.
typedef void (*SoundMidiHandler)(const unsigned char* message, int size, void* user);
void soundSetMidiHandler(SoundMidiHandler handler, void* user);
