// Window note keys: the window is the synthesizer's keyboard.
#include <SDL.h>
#include <SDL_syswm.h>

#include <cstdlib>

#include <dlfcn.h>

#include "app/program.h"

#if defined(SDL_VIDEO_DRIVER_X11)
#include <X11/XKBlib.h>
#endif

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

// A held key must give one key-down. The X server repeats held keys as
// release/press pairs, which SDL drops only when the press has already
// arrived with the release: under load some pairs get through and would
// release and re-trigger the envelope. Asking the server for detectable
// auto-repeat turns repeats into presses alone, which SDL drops as no change
// of the key's state. libX11 is loaded with SDL's x11 driver; other drivers
// are left as they are.
int prepareWindowKeys() {
#if defined(SDL_VIDEO_DRIVER_X11)
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11 || info.info.x11.display == nullptr) {
        return -1;
    }
    using SetDetectable = decltype(&XkbSetDetectableAutoRepeat);
    auto setDetectable =
        reinterpret_cast<SetDetectable>(dlsym(RTLD_DEFAULT, "XkbSetDetectableAutoRepeat"));
    if (setDetectable != nullptr) {
        Bool supported = False;
        info.info.x11.lock_func();
        setDetectable(info.info.x11.display, True, &supported);
        info.info.x11.unlock_func();
    }
    return ConnectionNumber(info.info.x11.display);
#else
    return -1;
#endif
}

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
