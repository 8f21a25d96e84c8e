#pragma once
// The program's own rand(): a linear congruential generator,
// s := s * 214013 + 2531011 (mod 2^32), returning bits 16..30 of s (0..32767).
// Each thread has its own state, starting at 1 and never reseeded; an Engine
// carries a Generator of its own instead.
#include <cstdint>

namespace noise {

// One generator state; starts at 1.
class Generator {
public:
    int next() {
        state = state * 214013u + 2531011u;
        return static_cast<int>((state >> 16) & 0x7fff);
    }
    uint32_t state = 1;
};

// The calling thread's generator.
int rand();

// Sets the calling thread's state; for tests that need a known sequence.
void seed(uint32_t state);

}  // namespace noise
