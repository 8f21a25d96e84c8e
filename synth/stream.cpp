// The program's stream callback and the window clearing it does first.
#include <SDL.h>

#include <cstring>

#include "synth/patch.h"

SDL_Surface* screen = nullptr;

namespace {

// The surface memory the last clear filled, and with what. Nothing else in
// the program draws, so a later clear of the same memory would rewrite the
// same bytes; one byte per row, spread over the columns, is checked first
// so that a surface drawn on (or a new one at the same address) is filled.
struct ClearedSurface {
    const SDL_Surface* surface = nullptr;
    const void* pixels = nullptr;
    int w = 0;
    int h = 0;
    int pitch = 0;
    int bytesPerPixel = 0;
    Uint8 value = 0;
};
ClearedSurface cleared;  // touched only by the thread that renders

bool stillCleared(const SDL_Surface* surface, size_t rowBytes, Uint8 value) {
    if (surface != cleared.surface || surface->pixels != cleared.pixels || surface->w != cleared.w ||
        surface->h != cleared.h || surface->pitch != cleared.pitch ||
        surface->format->BytesPerPixel != cleared.bytesPerPixel || value != cleared.value)
        return false;
    const Uint8* row = static_cast<const Uint8*>(surface->pixels);
    for (int y = 0; y < surface->h; ++y, row += surface->pitch) {
        if (row[(size_t(y) * 977) % rowBytes] != value) return false;
    }
    return true;
}

}  // namespace

int clearScreen(SDL_Surface* surface) {
    if (surface == nullptr) return 0;
    const int locked = SDL_LockSurface(surface);
    if (locked < 0) return locked;
    const Uint32 black = SDL_MapRGB(surface->format, 0, 0, 0);
    const Uint8 value = static_cast<Uint8>(black & 0xff);
    const size_t rowBytes = static_cast<size_t>(surface->format->BytesPerPixel) * surface->w;
    if (rowBytes > 0 && surface->h > 0 && surface->pixels && !stillCleared(surface, rowBytes, value)) {
        Uint8* row = static_cast<Uint8*>(surface->pixels);
        for (int y = 0; y < surface->h; ++y, row += surface->pitch) std::memset(row, value, rowBytes);
        cleared = {surface, surface->pixels, surface->w, surface->h, surface->pitch,
                   surface->format->BytesPerPixel, value};
    }
    SDL_UnlockSurface(surface);
    return locked;
}

int renderStream(FSOUND_STREAM* /*stream*/, void* buffer, int lengthInBytes, void* /*userData*/) {
    clearScreen(screen);
    if (buffer == nullptr || synth == nullptr) return 1;
    int16_t* out = static_cast<int16_t*>(buffer);
    const int frames = lengthInBytes >> 2;
    for (int i = 0; i < frames; ++i) {
        if (vca != nullptr) vca->tick();
        synth->tick();
        const int16_t sample = toSample(synth->getOutput());
        out[2 * i] = sample;
        out[2 * i + 1] = sample;
    }
    return 1;
}
