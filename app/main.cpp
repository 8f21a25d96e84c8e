// The synthesizer: a drone edited from the console, played from the window.
#include <SDL.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/options.h"
#include "app/program.h"
#include "platform/console.h"
#include "platform/sound_options.h"

namespace {

std::string patchPath;  // the kept patch, written back at exit; empty for none

// Runs after every other exit handler, the terminal's restoration included.
// The parameters exist once the envelope does, and a patch read at start
// has been applied by then: only from then on is the file written back.
void keepPatch() {
    if (patchPath.empty() || vca == nullptr || osc1 == nullptr) return;
    std::string error;
    if (writePatch(patchPath, &error)) return;
    std::fflush(stdout);
    std::fprintf(stderr, "synth: cannot write the patch: %s\n", error.c_str());
    std::fflush(nullptr);
    _exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
    const ParsedOptions parsed = parseOptions(argc, argv);
    switch (parsed.action) {
        case ParsedOptions::kHelp: std::fputs(kUsageText, stdout); return 0;
        case ParsedOptions::kVersion: std::fputs(kVersionText, stdout); return 0;
        case ParsedOptions::kError: std::fprintf(stderr, "synth: %s; %s\n", parsed.error.c_str(), kUsageHint); return 2;
        case ParsedOptions::kRun: break;
    }
    const ProgramOptions& options = parsed.options;

    consoleStart();
    // One event per line, on the console as it happens, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

    SoundOptions& sound = soundOptions();
    sound.jackClientName = options.jackName;
    sound.midiConnections = options.midiConnections;
    if (options.latencyMs > 0) sound.deviceBlockFrames = latencyBlockFrames(options.latencyMs);

    PatchValues patch;
    if (!options.patchPath.empty()) {
        std::string error;
        if (!readPatch(options.patchPath, &patch, &error)) {
            std::fprintf(stderr, "synth: %s\n", error.c_str());
            return 1;
        }
        patchPath = options.patchPath;
        std::atexit(keepPatch);
    }
    return runProgram(pumpWindowEvents, options, options.patchPath.empty() ? nullptr : &patch);
}
