// Stand-in of the console keyboard.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "tests/app/fakes.h"

using fake::console;

void consoleStart() { fake::log("Start"); }

int _kbhit() {
    ++console.kbhitCalls;
    return !console.keys.empty() || console.inputEnds;
}

int _getch() {
    ++console.getchCalls;
    if (console.keys.empty()) return kConsoleEnd;
    const int key = console.keys.front();
    console.keys.pop_front();
    return key;
}

void consoleSetWait(int milliseconds, int wakeDescriptor) {
    fake::log("SetWait(" + std::to_string(milliseconds) + "," + std::to_string(wakeDescriptor) + ")");
}

void consoleDeferSignals() {
    fake::log("DeferSignals");
    console.deferred = true;
}

int consolePendingSignal() {
    const bool due = console.signalAtPass > 0 && console.kbhitCalls >= console.signalAtPass;
    return due && console.deferred ? console.signalNumber : 0;
}

void consoleEndBySignal(int signalNumber) {
    fake::log("EndBySignal(" + std::to_string(signalNumber) + ")");
    std::fflush(stdout);
    std::_Exit(128 + signalNumber);
}
