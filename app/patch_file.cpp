#include "app/patch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include "app/program.h"

namespace {

// One parameter: a float field of the envelope or an oscillator, or a
// waveform (its oscillator and its console counter).
struct Parameter {
    const char* name;
    Shared<float>& (*field)();
    Vco* const* oscillator;
    int* counter;
};

const Parameter kParameters[kPatchParameters] = {
    {"attack", [] () -> Shared<float>& { return vca->attack; }, nullptr, nullptr},
    {"decay", [] () -> Shared<float>& { return vca->decay; }, nullptr, nullptr},
    {"sustain", [] () -> Shared<float>& { return vca->sustain; }, nullptr, nullptr},
    {"osc1.amplitude", [] () -> Shared<float>& { return osc1->ampl; }, nullptr, nullptr},
    {"osc1.waveform", nullptr, &osc1, &osc1WaveformCounter},
    {"phase_lfo.frequency", [] () -> Shared<float>& { return phaseLfo->freq; }, nullptr, nullptr},
    {"phase_lfo.amplitude", [] () -> Shared<float>& { return phaseLfo->ampl; }, nullptr, nullptr},
    {"phase_lfo.waveform", nullptr, &phaseLfo, &phaseLfoWaveformCounter},
    {"frequency_lfo.frequency", [] () -> Shared<float>& { return frequencyLfo->freq; }, nullptr, nullptr},
    {"frequency_lfo.amplitude", [] () -> Shared<float>& { return frequencyLfo->ampl; }, nullptr, nullptr},
    {"frequency_lfo.waveform", nullptr, &frequencyLfo, &frequencyLfoWaveformCounter},
    {"amplitude_lfo.frequency", [] () -> Shared<float>& { return amplitudeLfo->freq; }, nullptr, nullptr},
    {"amplitude_lfo.amplitude", [] () -> Shared<float>& { return amplitudeLfo->ampl; }, nullptr, nullptr},
    {"amplitude_lfo.waveform", nullptr, &amplitudeLfo, &amplitudeLfoWaveformCounter},
};

std::string trim(const std::string& text) {
    const char* blanks = " \t\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

int parameterIndex(const std::string& name) {
    for (int i = 0; i < kPatchParameters; ++i) {
        if (kParameters[i].name != nullptr && name == kParameters[i].name) return i;
    }
    return -1;
}

// What is wrong with a value for parameter i; empty when value holds it.
std::string parseValue(int i, const std::string& text, float* value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto [stop, failed] = std::from_chars(begin, end, *value);
    if (text.empty() || failed != std::errc() || stop != end || !std::isfinite(*value))
        return "'" + text + "' is not a number";
    if (kParameters[i].field == nullptr && !(*value >= 1 && *value <= 5 && std::floor(*value) == *value))
        return "'" + text + "' is not a waveform from 1 to 5";
    return "";
}

std::string formatValue(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

const char* patchParameterName(int index) {
    return index >= 0 && index < kPatchParameters ? kParameters[index].name : nullptr;
}

bool parsePatch(const std::string& text, const std::string& file, PatchValues* patch, std::string* error) {
    PatchValues parsed;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const auto fail = [&](const std::string& what) {
            *error = file + ":" + std::to_string(number) + ": " + what;
            return false;
        };
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        const size_t equals = content.find('=');
        if (equals == std::string::npos) return fail("expected 'name = value'");
        const std::string name = trim(content.substr(0, equals));
        const int i = parameterIndex(name);
        if (i < 0) return fail("unknown parameter '" + name + "'");
        if (parsed.values[i]) return fail("'" + name + "' given twice");
        float value = 0.0f;
        const std::string wrong = parseValue(i, trim(content.substr(equals + 1)), &value);
        if (!wrong.empty()) return fail(name + ": " + wrong);
        parsed.values[i] = value;
    }
    *patch = parsed;
    return true;
}

bool readPatch(const std::string& file, PatchValues* patch, std::string* error) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        *patch = PatchValues();
        return true;
    }
    std::string text;
    int why = fd < 0 ? errno : 0;
    for (char buffer[4096]; why == 0;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) why = errno;
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    if (fd >= 0) close(fd);
    if (why != 0) {
        *error = file + ": " + std::strerror(why);
        return false;
    }
    return parsePatch(text, file, patch, error);
}

void applyPatch(const PatchValues& patch) {
    for (int i = 0; i < kPatchParameters; ++i) {
        const Parameter& p = kParameters[i];
        if (!patch.values[i]) continue;
        const float value = *patch.values[i];
        if (p.field != nullptr) {
            p.field() = value;
        } else {
            *p.counter = static_cast<int>(value);
            (*p.oscillator)->waveform = *p.counter;
        }
    }
}

PatchValues currentPatch() {
    PatchValues patch;
    for (int i = 0; i < kPatchParameters; ++i) {
        const Parameter& p = kParameters[i];
        patch.values[i] = p.field != nullptr ? static_cast<float>(p.field())
                                             : static_cast<float>((*p.oscillator)->waveform);
    }
    return patch;
}

std::string formatPatch(const PatchValues& patch) {
    std::string text = "# synth patch: name = value\n";
    for (int i = 0; i < kPatchParameters; ++i) {
        if (patch.values[i]) text += std::string(kParameters[i].name) + " = " + formatValue(*patch.values[i]) + "\n";
    }
    return text;
}

bool writePatch(const std::string& file, std::string* error) {
    const std::string text = formatPatch(currentPatch());
    std::vector<char> temporary(file.begin(), file.end());
    for (char c : std::string(".tmpXXXXXX")) temporary.push_back(c);
    temporary.push_back('\0');
    const auto fail = [&](int why) {
        *error = file + ": " + std::strerror(why);
        return false;
    };
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return fail(errno);
    // The file keeps its permissions; a new one gets the usual ones.
    struct stat old;
    mode_t mode;
    if (stat(file.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    int why = fchmod(fd, mode) == 0 ? 0 : errno;
    for (size_t done = 0; why == 0 && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) why = n < 0 ? errno : ENOSPC;
        else done += size_t(n);
    }
    if (why == 0 && fsync(fd) != 0) why = errno;
    if (close(fd) != 0 && why == 0) why = errno;
    if (why == 0 && rename(temporary.data(), file.c_str()) != 0) why = errno;
    if (why != 0) {
        unlink(temporary.data());
        return fail(why);
    }
    return true;
}
