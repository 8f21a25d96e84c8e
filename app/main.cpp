// The synthesizer: a drone edited from the console, played from the window.
#include <SDL.h>

#include <cstdio>

#include "app/program.h"
#include "platform/console.h"

int main(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    consoleStart();
    // One event per line, on the console as it happens, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return runProgram(pumpWindowEvents);
}
