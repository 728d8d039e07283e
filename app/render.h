// `torvalen render`: runs one instance over a file as fast as the engine goes and
// writes a time-aligned result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torvalen {

extern const char* const render_usage_text;

// What a render measured on its output.
struct RenderFigures {
    uint64_t frames = 0;
    double peak_dBFS = -1000.0;       // largest sample
    double true_peak_dBFS = -1000.0;  // largest of the 4x oversampled signal (dBTP)
    std::optional<double> lufs;       // integrated loudness (48 kHz programme only)
};

// Runs the render command with its arguments (after "render"). Prints progress and
// the result's figures (and, when given, fills `figures`); returns the process exit
// code (0 done, 1 failed, 2 usage).
int run_render(const std::vector<std::string>& args, RenderFigures* figures = nullptr);

}  // namespace torvalen
