#pragma once
// Scriptable stand-ins of the sound library calls and of the console
// keyboard, linked into the program's unit tests instead of platform/.
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace fake {

struct Sound {
    float version = 3.74f;
    std::vector<std::string> drivers{"Driver A"};
    std::optional<int> reportedOutput;  // FSOUND_GetOutput; else the type set
    int initResult = 1;
    int error = 0;                      // FSOUND_GetError
    bool createFails = false;
    int playResult = 0;
};

struct Console {
    std::deque<int> keys;      // then the end of input, for ever...
    bool inputEnds = true;     // ...or, when false, no key for ever
    int signalAtPass = 0;      // _kbhit call from which a signal is pending; 0 never
    int signalNumber = 0;
    int kbhitCalls = 0;
    int getchCalls = 0;
    bool deferred = false;
};

extern Sound sound;
extern Console console;
// Every call made, in order, e.g. "SetOutput(2)", "Stream_Close".
extern std::vector<std::string> calls;
// Also print each call as "@call" on stdout, for tests that see only the
// output of a child process.
extern bool echoCalls;

// What the program handed to soundSetMidiHandler.
extern void (*midiHandler)(const unsigned char* message, int size, void* user);
extern void* midiUser;

void reset();
void log(const std::string& call);
// Keys from a string, one byte each.
void type(const std::string& keys);

}  // namespace fake
