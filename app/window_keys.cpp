// Window note keys: the window is the synthesizer's keyboard.
#include <SDL.h>
#include <SDL_syswm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <dlfcn.h>

#include "app/program.h"
#include "platform/console.h"

#if defined(SDL_VIDEO_DRIVER_X11)
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
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

// Set on the main thread; read also by the thread that quits SDL.
std::atomic<bool> connectionLost{false};
void (*onConnectionLost)() = nullptr;

#if defined(SDL_VIDEO_DRIVER_X11)
// The X display of SDL's x11 driver, null under any other driver.
Display* x11Display() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11) return nullptr;
    return info.info.x11.display;
}

// An Xlib function, looked up in the libX11 that SDL loaded.
template <typename Function>
Function x11Function(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

// Another client may destroy the window: requests on it then fail, harmlessly.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

// Called by Xlib on the main thread, inside the call that found the
// connection gone.
int xConnectionLost(Display*) {
    if (!connectionLost.exchange(true)) {
        if (onConnectionLost != nullptr) onConnectionLost();
    }
    return 0;
}

// Instead of Xlib's exit(1) once xConnectionLost has returned: the program
// goes on without the window.
void keepRunning(Display*, void*) {}
#endif

}  // namespace

void guardWindow(void (*onLost)()) {
    onConnectionLost = onLost;
#if defined(SDL_VIDEO_DRIVER_X11)
    Display* display = x11Display();
    if (display == nullptr) return;
    const auto setErrorHandler = x11Function<decltype(&XSetErrorHandler)>("XSetErrorHandler");
    const auto setIOErrorHandler = x11Function<decltype(&XSetIOErrorHandler)>("XSetIOErrorHandler");
    // libX11 1.7 on; without it Xlib ends the process after xConnectionLost.
    const auto setExitHandler =
        x11Function<void (*)(Display*, void (*)(Display*, void*), void*)>("XSetIOErrorExitHandler");
    if (setErrorHandler != nullptr) setErrorHandler(ignoreXError);
    if (setIOErrorHandler != nullptr) setIOErrorHandler(xConnectionLost);
    if (setExitHandler != nullptr) setExitHandler(display, keepRunning, nullptr);
#endif
}

bool windowLost() { return connectionLost; }

// SDL_Quit waits on the X server (it syncs while freeing the cursor). It
// runs on a thread of its own, and a server that has not let it finish
// within kQuitDeadline is left to drop the window when the process ends;
// where no thread can be started the window is left to it at once.
void quitWindow() {
    constexpr auto kQuitDeadline = std::chrono::milliseconds(1000);
    if (connectionLost) return;
    connectionLost = true;  // nothing of the window is touched from here on
    struct Quit {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };
    const auto quit = std::make_shared<Quit>();
    try {
        ConsoleSignalsHeld held;  // signals stay the main thread's
        std::thread([quit] {
            SDL_Quit();
            std::lock_guard<std::mutex> lock(quit->mutex);
            quit->done = true;
            quit->finished.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return;
    }
    std::unique_lock<std::mutex> lock(quit->mutex);
    quit->finished.wait_for(lock, kQuitDeadline, [&] { return quit->done; });
}

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
    const auto setDetectable = x11Function<decltype(&XkbSetDetectableAutoRepeat)>("XkbSetDetectableAutoRepeat");
    if (setDetectable != nullptr) {
        Bool supported = False;
        info.info.x11.lock_func();
        setDetectable(info.info.x11.display, True, &supported);
        info.info.x11.unlock_func();
    }
    if (connectionLost) return -1;
    return ConnectionNumber(info.info.x11.display);
#else
    return -1;
#endif
}

void pumpWindowEvents() {
    while (!connectionLost && SDL_PollEvent(&windowEvent)) {
        if (connectionLost) return;  // the event came from a dead connection
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
