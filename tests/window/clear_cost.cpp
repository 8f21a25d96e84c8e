// Cost of clearScreen per stream callback on the program's 640x800 window
// surface, next to the cost of rendering one callback's buffer.
//
//   window_clear_cost [calls]
//
// Uses whatever video driver SDL picks: x11 when DISPLAY names a server
// (the program's real surface), or SDL_VIDEODRIVER=dummy without one.
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "synth/patch.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
    double median, p99, max, mean;
};

Stats summarize(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    return {us[us.size() / 2], us[us.size() * 99 / 100], us.back(), sum / us.size()};
}

template <typename F>
Stats timeCalls(int calls, F f) {
    std::vector<double> us;
    us.reserve(calls);
    for (int i = 0; i < calls; ++i) {
        const auto t0 = Clock::now();
        f();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return summarize(us);
}

void report(const char* what, const Stats& s) {
    std::printf("%-36s median %9.1f us  p99 %9.1f us  max %9.1f us  mean %9.1f us\n", what,
                s.median, s.p99, s.max, s.mean);
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    SDL_Surface* surface = SDL_SetVideoMode(640, 800, 0, SDL_ANYFORMAT);
    if (surface == nullptr) {
        std::fprintf(stderr, "SDL_SetVideoMode: %s\n", SDL_GetError());
        return 1;
    }
    char driver[32] = "?";
    SDL_VideoDriverName(driver, sizeof driver);
    std::printf("driver %s, surface %dx%d, %d bytes/pixel, pitch %d, %s, %d calls\n", driver,
                surface->w, surface->h, surface->format->BytesPerPixel, surface->pitch,
                SDL_MUSTLOCK(surface) ? "must lock" : "no lock needed", calls);

    // The patch listing is not part of the report.
    std::fflush(stdout);
    const int saved = dup(1);
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    synth = new Synth();
    std::fflush(stdout);
    if (saved >= 0) dup2(saved, 1);
    if (devnull >= 0) close(devnull);
    if (saved >= 0) close(saved);
    vca = new Vca();

    const Stats clear = timeCalls(calls, [&] { clearScreen(surface); });

    // One stream callback of 32768 bytes (8192 frames) and a small one of
    // 512 bytes (the sound layer's 128-frame block), each with and without the window surface.
    std::vector<char> buffer(32768);
    const int small = calls, large = std::max(10, calls / 10);
    screen = nullptr;
    const Stats bareSmall = timeCalls(small, [&] { renderStream(nullptr, buffer.data(), 512, nullptr); });
    const Stats bareLarge = timeCalls(large, [&] { renderStream(nullptr, buffer.data(), 32768, nullptr); });
    screen = surface;
    const Stats fullSmall = timeCalls(small, [&] { renderStream(nullptr, buffer.data(), 512, nullptr); });
    const Stats fullLarge = timeCalls(large, [&] { renderStream(nullptr, buffer.data(), 32768, nullptr); });
    screen = nullptr;

    std::printf("\n");
    report("clearScreen", clear);
    report("renderStream 128 frames, no screen", bareSmall);
    report("renderStream 128 frames, screen", fullSmall);
    report("renderStream 8192 frames, no screen", bareLarge);
    report("renderStream 8192 frames, screen", fullLarge);
    const double period128 = 128 * 1e6 / 44100, period8192 = 8192 * 1e6 / 44100;
    std::printf("\nclearScreen median = %.2f%% of a 128-frame period (%.0f us), %.3f%% of an "
                      "8192-frame period (%.0f us)\n",
                 100 * clear.median / period128, period128, 100 * clear.median / period8192, period8192);
    SDL_Quit();
    return 0;
}
