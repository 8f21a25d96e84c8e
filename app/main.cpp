// The synthesizer: a drone edited from the console, played from the window.
#include <SDL.h>

#include <cstdio>

#include "app/program.h"

int main(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    // One event per line, on the console as it happens, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return runProgram(pumpWindowEvents);
}
