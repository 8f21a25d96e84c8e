#include "synth/random.h"

namespace noise {

namespace {
thread_local Generator threadGenerator;
}

int rand() { return threadGenerator.next(); }

void seed(uint32_t s) { threadGenerator.state = s; }

}  // namespace noise
