// The table of backend kinds.
#include "platform/sound_backend.h"

namespace sound {

const std::vector<const BackendKind*>& backendKinds() {
    // JACK serves ASIO alone, when a server answers; ALSA every other type,
    // and ASIO without a server.
    static const std::vector<const BackendKind*> kinds{&kJackKind, &kAlsaKind};
    return kinds;
}

}  // namespace sound
