// Keeping the libraries under the layer off the program's console, which is
// the program's alone.
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sound_stream.h"

namespace sound {

namespace {

// ---- ALSA's and JACK's messages ----

extern "C" void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quietJack(const char*) {}

// ---- libpulse's cookie ----
// libpulse logs an error on stderr for every connection (one per device
// opened) when the user has no cookie and it cannot
// create one: no home, or one that cannot be written. Such a user is given a
// cookie of zeros, which authenticates no better than none: the server
// decides on its other grounds (credentials, anonymous access) as before.

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// Whether a directory exists or could be created by this user.
bool creatable(std::string dir) {
    struct stat st;
    while (!dir.empty() && stat(dir.c_str(), &st) != 0) {
        const size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos) return false;
        dir.resize(slash);
    }
    if (dir.empty()) dir = "/";
    return S_ISDIR(st.st_mode) && access(dir.c_str(), W_OK | X_OK) == 0;
}

void giveCookieIfNone() {
    if (std::getenv("PULSE_COOKIE")) return;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    std::string config;
    if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && *c)
        config = c;
    else if (!home.empty())
        config = home + "/.config";
    if (!config.empty() && (readable(config + "/pulse/cookie") || creatable(config + "/pulse"))) return;
    if (!home.empty() && readable(home + "/.pulse-cookie")) return;
    setenv("PULSE_COOKIE", "/dev/zero", 1);
}

}  // namespace

void quietLibraries() {
    static bool done = false;  // the calling thread's, as every call's
    if (done) return;
    done = true;
    giveCookieIfNone();
    snd_lib_error_set_handler(quietAlsa);
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    // libpulse (under ALSA's PulseAudio plugin) logs to the system log
    // instead of stderr, which needs no descriptor of ours (a log file may
    // not open when descriptors run out, and libpulse then prints on
    // stderr), unless the user chose a log file.
    if (!std::getenv("PULSE_LOG_FILE")) setenv("PULSE_LOG_SYSLOG", "1", 0);
}

}  // namespace sound
