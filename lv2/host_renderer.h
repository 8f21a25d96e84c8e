#pragma once
// HostRenderer: an Engine played at a host's sample rate, one mono channel
// of float samples (the engine's 16-bit sample / 32768).
//
// At the engine's own rate (44100 Hz) every host frame is one engine frame,
// sample for sample. At any other rate a libsamplerate converter turns the
// engine's frames into the host's; pitch and timing stay the engine's, and
// the sound comes latency() host frames late.
//
// MIDI messages are queued with the host frame they belong to and handed to
// NoteKeys between the engine frames where they fall. render() and queue()
// never block, allocate or print.
#include <cstdint>

#include "synth/engine.h"
#include "synth/note_keys.h"

struct SRC_STATE_tag;

class HostRenderer {
public:
    static constexpr double kEngineRate = 44100.0;

    // Allocates everything render() needs. ready() is false when no
    // converter could be made for the rate.
    HostRenderer(Engine& engine, NoteKeys& keys, double hostRate);
    ~HostRenderer();
    HostRenderer(const HostRenderer&) = delete;
    HostRenderer& operator=(const HostRenderer&) = delete;

    bool ready() const { return ready_; }
    // Host frames from a message's frame to where its effect is heard.
    uint32_t latency() const { return latency_; }

    // A MIDI message of 1 to 3 bytes (longer ones are dropped) due at host
    // frame offset of the next render(); offsets in increasing order. Beyond
    // kMaxEvents pending messages the rest are dropped.
    void queue(uint32_t offset, const uint8_t* message, uint32_t size);
    // The next frames host frames.
    void render(float* out, uint32_t frames);
    // Drops pending messages and restarts the converter; the engine plays on.
    void restart();

private:
    static constexpr int kPieceFrames = 64;      // engine frames rendered at once
    // Engine frames handed to the converter at once: it takes all it is
    // given, so this bounds how far the engine runs ahead of the output.
    static constexpr int kConverterPieceFrames = 16;
    static constexpr int kOutChunkFrames = 256;  // host frames converted per call
    static constexpr unsigned kMaxEvents = 256;  // power of two
    struct Event {
        uint64_t at;  // engine frame
        int size;
        uint8_t data[3];
    };

    int renderPiece(int max);
    void renderResampled(float* out, uint32_t frames);
    void measureConverter();

    Engine& engine_;
    NoteKeys& keys_;
    double ratio_;                 // host frames per engine frame
    SRC_STATE_tag* converter_ = nullptr;  // none at the engine's rate
    bool ready_ = false;
    int64_t lead_ = 0;             // engine frames a message is put off by
    uint32_t latency_ = 0;

    uint64_t engineFrames_ = 0;    // rendered
    uint64_t hostFrames_ = 0;      // delivered
    int16_t piece_[kPieceFrames];
    float fifo_[kConverterPieceFrames];     // the last piece as the converter's input
    long fifoFrames_ = 0;
    long fifoUsed_ = 0;
    Event events_[kMaxEvents];
    unsigned eventHead_ = 0;       // next to apply
    unsigned eventTail_ = 0;       // next free
};
