#include "synth/random.h"

namespace noise {

namespace {
thread_local uint32_t state = 1;
}

int rand() {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7fff);
}

void seed(uint32_t s) { state = s; }

}  // namespace noise
