#include "app/options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#ifndef SYNTH_VERSION
#define SYNTH_VERSION "unknown"
#endif

const char* const kVersionText = "synth " SYNTH_VERSION "\n";

const char* const kUsageHint = "try 'synth --help'";

const char* const kUsageText =
    "Usage: synth [OPTION]...\n"
    "A small software synthesizer: a drone edited from the console, played\n"
    "from the window's keys or from MIDI (JACK).\n"
    "\n"
    "  -o, --output N        answer the output menu with N (1-4) without asking\n"
    "  -d, --driver N        answer the driver prompt with N (from 1) without asking\n"
    "      --jack-name NAME  the JACK client's name (default: synth)\n"
    "      --midi-connect PORT\n"
    "                        connect the JACK port PORT to midi_in once playing and\n"
    "                        after the server comes back; may be repeated\n"
    "      --midi-channel N  listen to MIDI channel N (1-16) only (default: all)\n"
    "      --latency MS      device block length in milliseconds (1-50), for the\n"
    "                        outputs other than JACK and NoSound\n"
    "      --patch FILE      read the parameters from FILE at start (when it\n"
    "                        exists) and write them back at exit\n"
    "  -h, --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "Outputs: 1 - Direct Sound, 2 - Windows Multimedia Waveout (both: this\n"
    "machine's sound system), 3 - ASIO (JACK when a server answers), 4 - NoSound.\n"
    "Console keys: z/s e/d r/f t/g y/h u/j i/k , ; : = ) - + 7 8 9; '.' quits.\n";

namespace {

enum LongOnly : int {
    kJackName = 256,
    kMidiConnect,
    kMidiChannel,
    kLatency,
    kPatch,
    kVersion,
};

const option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"driver", required_argument, nullptr, 'd'},
    {"jack-name", required_argument, nullptr, kJackName},
    {"midi-connect", required_argument, nullptr, kMidiConnect},
    {"midi-channel", required_argument, nullptr, kMidiChannel},
    {"latency", required_argument, nullptr, kLatency},
    {"patch", required_argument, nullptr, kPatch},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number within [low, high].
bool parseNumber(const char* text, int low, int high, int* value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || number < low || number > high) return false;
    *value = static_cast<int>(number);
    return true;
}

// How an option was written, for messages: "--output" or "-o".
std::string optionName(int code, int longIndex) {
    if (longIndex >= 0) return std::string("--") + kLongOptions[longIndex].name;
    for (const option& o : kLongOptions) {
        if (o.name != nullptr && o.val == code) return std::string("--") + o.name;
    }
    return std::string("-") + static_cast<char>(code);
}

ParsedOptions failure(const std::string& error) {
    ParsedOptions parsed;
    parsed.action = ParsedOptions::kError;
    parsed.error = error;
    return parsed;
}

}  // namespace

int latencyBlockFrames(int milliseconds) {
    const double frames = milliseconds * 44.1;
    int block = 64;
    while (block < kLatencyMaxFrames && std::fabs(std::log2(frames / (2 * block))) < std::fabs(std::log2(frames / block)))
        block *= 2;
    return block;
}

ParsedOptions parseOptions(int argc, char* const argv[]) {
    ParsedOptions parsed;
    ProgramOptions& o = parsed.options;
    optind = 0;  // a fresh scan, also when called again
    opterr = 0;  // the messages are ours
    for (;;) {
        int longIndex = -1;
        const int code = getopt_long(argc, argv, ":o:d:h", kLongOptions, &longIndex);
        if (code == -1) break;
        const std::string name = optionName(code == '?' || code == ':' ? optopt : code, longIndex);
        const char* value = optarg;
        const auto bad = [&](const char* wanted) {
            return failure("invalid value '" + std::string(value) + "' for " + name + ": " + wanted);
        };
        switch (code) {
            case 'o':
                if (!parseNumber(value, 1, 4, &o.output)) return bad("an output from 1 to 4");
                break;
            case 'd':
                if (!parseNumber(value, 1, INT_MAX, &o.driver)) return bad("a driver number from 1");
                break;
            case kJackName:
                if (*value == '\0') return bad("a name");
                o.jackName = value;
                break;
            case kMidiConnect:
                if (*value == '\0') return bad("a JACK port");
                o.midiConnections.push_back(value);
                break;
            case kMidiChannel:
                if (!parseNumber(value, 1, 16, &o.midiChannel)) return bad("a channel from 1 to 16");
                break;
            case kLatency:
                if (!parseNumber(value, kLatencyMinMs, kLatencyMaxMs, &o.latencyMs))
                    return bad("milliseconds from 1 to 50");
                break;
            case kPatch:
                if (*value == '\0') return bad("a file");
                o.patchPath = value;
                break;
            case 'h': parsed.action = ParsedOptions::kHelp; break;
            case kVersion: parsed.action = ParsedOptions::kVersion; break;
            case ':': return failure("option '" + std::string(argv[optind - 1]) + "' needs a value");
            default: {
                // getopt_long leaves the unknown word at optind - 1.
                const char* word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
                if (optopt != 0 && word[0] == '-' && word[1] != '-')
                    return failure(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
                if (longIndex >= 0 || (word[0] == '-' && word[1] == '-' && optopt != 0))
                    return failure("option '" + name + "' takes no value");
                return failure("unknown option '" + std::string(word) + "'");
            }
        }
    }
    if (parsed.action == ParsedOptions::kRun && optind < argc)
        return failure("unexpected argument '" + std::string(argv[optind]) + "'");
    return parsed;
}
