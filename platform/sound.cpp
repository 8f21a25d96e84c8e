// Sound output layer over PortAudio: not written yet.
#include "platform/sound.h"
