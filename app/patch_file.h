#pragma once
// The kept patch: every parameter the console keys change, as plain text,
// one "name = value" per line. Blank lines and lines starting with "#" are
// ignored; a name not given keeps its built value.
//
//   attack, decay, sustain                  the envelope
//   osc1.amplitude, osc1.waveform           the first carrier
//   phase_lfo.frequency, .amplitude, .waveform
//   frequency_lfo.frequency, .amplitude, .waveform
//   amplitude_lfo.frequency, .amplitude, .waveform
//
// Values are decimal numbers; waveforms whole numbers from 1 to 5.
#include <array>
#include <optional>
#include <string>

constexpr int kPatchParameters = 14;

struct PatchValues {
    std::array<std::optional<float>, kPatchParameters> values;  // by name, in the order above
};

// The parameter names, in file order.
const char* patchParameterName(int index);

// Parses a patch's text. False with *error set to "FILE:LINE: what is wrong".
bool parsePatch(const std::string& text, const std::string& file, PatchValues* patch, std::string* error);
// Reads FILE; one that does not exist gives no values. False with *error set
// ("FILE: why" or "FILE:LINE: what is wrong") when it cannot be read or parsed.
bool readPatch(const std::string& file, PatchValues* patch, std::string* error);

// To and from the program's oscillators, envelope and waveform counters
// (app/program.h): applying sets a waveform's counter and its oscillator.
void applyPatch(const PatchValues& patch);
PatchValues currentPatch();

// The text of a patch, every value given.
std::string formatPatch(const PatchValues& patch);
// Writes the current parameters to FILE through a temporary file in the
// same folder renamed over it: FILE is either as it was or whole. False with
// *error set ("FILE: why") when it could not be written.
bool writePatch(const std::string& file, std::string* error);
