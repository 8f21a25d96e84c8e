#pragma once
// Settings of the sound layer that the program's command line chooses. Set
// on the main thread before FSOUND_SetOutput; the layer reads them when it
// lists, opens and reconnects, never on the audio thread.
#include <string>
#include <vector>

struct SoundOptions {
    // The JACK client's name.
    std::string jackClientName = "synth";
    // JACK ports wired to midi_in once the stream plays, and again whenever
    // the stream reconnects to a server. A port that is missing is a warning
    // on stderr.
    std::vector<std::string> midiConnections;
    // Frames per device block on the ALSA routes; 0 lets the layer choose.
    int deviceBlockFrames = 0;
};

SoundOptions& soundOptions();
