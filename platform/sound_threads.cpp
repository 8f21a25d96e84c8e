// Signal masks of the threads the layer starts.
#include <pthread.h>

#include "platform/sound_stream.h"

namespace sound {

SignalsBlocked::SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    // Faults are raised on the thread that made them; leave them deliverable.
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

}  // namespace sound
