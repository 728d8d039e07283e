// The shared parameter page of the Analyser module: the signal generator's section
// then the analyser's, 26 records of one offset table over AnalyserSettings, plus
// the display settings kept as values of the module key.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "engine/settings_store.h"
#include "params/control_table.h"

namespace torvalen::measure {

enum class Waveform : uint32_t { off, sine, square, pulse, white_noise, two_tone, burst, pink_noise };
enum class OutputMode : uint32_t { both, left, right, inverted };  // "L+R", "L", "R", "L-R"
enum class ChannelView : uint32_t { both, left, right };          // "L+R", "L", "R"

// The parameter block. Written only by set_value under the module's three locks;
// each thread reads its own copy taken under one of them.
struct AnalyserSettings {
    // Signal generator.
    float level = 1.0f;          // fine level, linear gain (-20 ... 0 dB)
    uint32_t coarse_level = 0;   // 0 dB ... -80 dB in 10 dB steps
    uint32_t waveform = 1;       // Waveform
    float main_Hz = 1000.0f;
    float secondary_Hz = 1000.0f;
    uint32_t mode = 0;           // OutputMode
    uint32_t burst_period = 4;   // 50 ms ... 2 s
    uint32_t burst_duty = 0;     // 50 % ... 5 %
    // Analyser.
    uint32_t input_enable = 0;
    uint32_t input_select = 5;   // bus number
    uint32_t fft_length = 1;     // Short, Medium, Long
    uint32_t fft_window = 1;
    uint32_t channels = 0;       // ChannelView
};

inline constexpr uint32_t analyser_record_count = 26;
inline constexpr const char* analyser_key_name = "Analyser-v1.0.0";

// The page's control table: page "Signal Generator" with its groups, then page
// "Analyser" with its groups.
std::span<const params::ControlRecord> analyser_controls();

// Record indexes of the controls, for code that sets them by name.
enum AnalyserControl : uint32_t {
    control_level = 2,
    control_coarse_level = 3,
    control_waveform = 5,
    control_main_frequency = 7,
    control_secondary_frequency = 9,
    control_mode = 11,
    control_burst_period = 13,
    control_burst_duty = 14,
    control_input_enable = 17,
    control_input_select = 19,
    control_fft_length = 21,
    control_fft_window = 23,
    control_channels = 25,
};

// Settings with every control at its default (through the set rules, so "Input
// Select"'s table default of 6 lands on 5).
AnalyserSettings default_analyser_settings();

// The set and get rules of the table on one block; false for an index >= 26 or a
// record without a value. set returns true only when the stored value changed.
bool set_analyser_control(AnalyserSettings& settings, uint32_t index, float display);
bool get_analyser_control(const AnalyserSettings& settings, uint32_t index, float& display);

// Generator factors.
float coarse_level_gain(uint32_t index);            // index 0 ... 8
uint32_t burst_period_samples(uint32_t index);      // at 192 kHz
uint32_t burst_on_samples(uint32_t period, uint32_t duty_index);

enum class DisplayMode : uint32_t { wave = 0, spectrum = 1 };

// The graph's display settings, values of the module key.
struct DisplaySettings {
    float x_wave_zoom = 1.0f, x_wave_offset = 0.0f;
    float y_wave_zoom = 1.0f, y_wave_offset = 0.0f;
    float x_spect_zoom = 1.0f, x_spect_offset = 0.0f;
    float y_spect_zoom = 1.0f, y_spect_offset = 0.0f;
    uint32_t mode = static_cast<uint32_t>(DisplayMode::spectrum);
    uint32_t graph = 0;  // kept for the interface; the graph shown beside the page
};

// Missing values keep their defaults (a zoom reads as 1). Zooms and offsets are
// 4-byte binary floats; "Mode" and "Graph" are DWORDs.
DisplaySettings read_display_settings(const SettingsKey& key);
bool write_display_settings(const SettingsKey& key, const DisplaySettings& display);

}  // namespace torvalen::measure
