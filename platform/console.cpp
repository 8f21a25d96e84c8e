// Console keyboard layer over termios: not written yet.
#include "platform/console.h"
