#include "platform/sound_options.h"

SoundOptions& soundOptions() {
    static SoundOptions options;
    return options;
}
