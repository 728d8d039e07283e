// The reference programme: 24 s of synthesised, programme-like stereo audio on
// which the factory presets' loudness and peak are measured. It is built from
// a fixed seed, so every build makes the same samples (up to the last bit of the
// C library's sine):
//   0 to 8 s    band music: kick, snare, hi-hat, bass line and a chord pad, stereo
//   8 to 15 s   speech: a voiced source through moving formants, fricatives, pauses
//   15 to 20 s  quiet strings with vibrato, swelling by 20 dB
//   20 to 24 s  the band again, denser and 7 dB louder
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace torvalen::measure {

inline constexpr uint32_t reference_rate_Hz = 48000;
inline constexpr uint32_t reference_seconds = 24;

// Interleaved L, R at 48 kHz in the engine's scale (full scale 2^31).
std::vector<float> reference_programme();

// Writes the reference programme as a 32-bit float WAV file.
bool write_reference_programme(const std::filesystem::path& file, std::string& error);

}  // namespace torvalen::measure
