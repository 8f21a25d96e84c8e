#pragma once
// The program's own rand(): a linear congruential generator,
// s := s * 214013 + 2531011 (mod 2^32), returning bits 16..30 of s (0..32767).
// Each thread has its own state, starting at 1 and never reseeded.
#include <cstdint>

namespace noise {

int rand();

// Sets the calling thread's state; for tests that need a known sequence.
void seed(uint32_t state);

}  // namespace noise
