// Window note keys: the window is the synthesizer's keyboard.
#include <SDL.h>

#include <cstdlib>

#include "app/program.h"

namespace {

// Slot 0 and slot 1 notes of each note key.
struct NotePair {
    SDLKey key;
    int slot0;
    int slot1;
};

constexpr NotePair kNoteKeys[] = {
    {SDLK_z, 58, 58}, {SDLK_x, 63, 59}, {SDLK_c, 65, 60},
    {SDLK_v, 66, 61}, {SDLK_b, 68, 62}, {SDLK_n, 70, 63},
};

const NotePair* notePairOf(SDLKey key) {
    for (const NotePair& pair : kNoteKeys) {
        if (pair.key == key) return &pair;
    }
    return nullptr;
}

// The one record every window event is received into.
SDL_Event windowEvent;

}  // namespace

void pumpWindowEvents() {
    while (SDL_PollEvent(&windowEvent)) {
        if (windowEvent.type != SDL_KEYDOWN && windowEvent.type != SDL_KEYUP) continue;
        const SDLKey key = windowEvent.key.keysym.sym;
        // exit() runs the shutdown handlers: the stream is closed before SDL
        // and the engine go away.
        if (key == SDLK_ESCAPE) std::exit(0);
        const NotePair* pair = notePairOf(key);
        if (pair == nullptr) continue;
        if (windowEvent.type == SDL_KEYDOWN) {
            synth->slots[0].note = pair->slot0;
            synth->slots[1].note = pair->slot1;
            vca->trigger();
        } else {
            vca->release();
        }
    }
}
