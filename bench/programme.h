// Programme-like test audio for the benchmarks: pseudo-random noise under a few
// tones at about -12 dBFS, 48 kHz interleaved stereo at the engine's scale.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvalen::bench {

inline std::vector<float> programme(std::size_t frames) {
    std::vector<float> s(2 * frames);
    uint32_t noise = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double t = double(i) / 48000.0;
        const double tones = std::sin(2 * M_PI * 220 * t) + 0.5 * std::sin(2 * M_PI * 1760 * t);
        const double n = (double(noise >> 8) / double(1 << 24) - 0.5) * 0.5;
        s[2 * i] = float((0.15 * tones + n) * 2147483648.0 * 0.25);
        s[2 * i + 1] = float((0.15 * tones - n) * 2147483648.0 * 0.25);
    }
    return s;
}

}  // namespace torvalen::bench
