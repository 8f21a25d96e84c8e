#pragma once
// The command line: what it chooses, parsed with getopt_long.
#include <string>
#include <vector>

struct ProgramOptions {
    int output = 0;       // answer to the output menu, 1 to 4; 0 asks
    int driver = 0;       // answer to the driver prompt, from 1; 0 asks
    std::string jackName = "synth";
    std::vector<std::string> midiConnections;  // JACK ports wired to midi_in
    int midiChannel = 0;  // 1 to 16; 0 listens to every channel
    int latencyMs = 0;    // device block length; 0 lets the sound layer choose
    std::string patchPath;  // kept patch file; empty for none
};

struct ParsedOptions {
    enum Action { kRun, kHelp, kVersion, kError };
    Action action = kRun;
    ProgramOptions options;
    std::string error;  // kError: what is wrong, one line without the name
};

ParsedOptions parseOptions(int argc, char* const argv[]);

// The --help text, and the hint that ends an error's line
// ("synth: <what is wrong>; try 'synth --help'").
extern const char* const kUsageText;
extern const char* const kUsageHint;
extern const char* const kVersionText;

// Frames per device block for --latency MS: the power of two from 64 to
// kLatencyMaxFrames nearest to MS at 44100 Hz. The sound layer starts at
// 1024 frames through a sound server, 128 straight to a card.
constexpr int kLatencyMinMs = 1;
constexpr int kLatencyMaxMs = 50;
constexpr int kLatencyMaxFrames = 2048;
int latencyBlockFrames(int milliseconds);
