// The logic of the control widgets, as pure functions the interface calls: slider
// snapping and read-out, the frequency control's six ranges, the delay control's
// four sliders. Drawing belongs to the interface.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace torvalen::params {

// ---- Slider ----

// `value` moved to a whole number of steps (half away from zero) and clamped to
// [min, max] (either orientation). A step of 0 or less only clamps.
float snap_to_step(float value, float step, float min, float max);
// Decimals shown for a step: 0.5 or 0.1 -> 1, 0.01 -> 2, 1 or more -> 0 (at most 6).
uint32_t step_decimals(float step);
// The slider's read-out: the value with step_decimals(step) decimals.
std::string slider_text(float value, float step);
// A display value as reported to the interface: rounded (half away from zero) to
// the decimals of its step, without the float noise of the set/get conversion
// (a gain of 2.5 dB reads back as 2.50000024 before rounding). The stored value
// is not touched; a value that is not finite is returned as it is.
double display_round(float value, float step);
// Steps between scale marks (1, 2, 5, 10 or 20) so that the scale carries at
// most about 20 marks.
uint32_t mark_spacing_steps(float min, float max, float step);

// ---- Frequency control (kinds 7 and 13) ----

struct FrequencyRange {
    std::string_view label;
    float min_Hz;
    float max_Hz;
    float step_Hz;
    float initial_Hz;
};

inline constexpr std::string_view frequency_range_items = "10-50\n50-200\n200-1k\n1k-5k\n5k-20k\n20k-100k\n";
inline constexpr std::string_view frequency_slider_label = "Freq";
inline constexpr std::array<FrequencyRange, 6> frequency_ranges = {{
    {"10-50", 10.0f, 50.0f, 1.0f, 10.0f},
    {"50-200", 50.0f, 200.0f, 1.0f, 100.0f},
    {"200-1k", 200.0f, 1000.0f, 10.0f, 500.0f},
    {"1k-5k", 1000.0f, 5000.0f, 100.0f, 2000.0f},
    {"5k-20k", 5000.0f, 20000.0f, 1000.0f, 10000.0f},
    {"20k-100k", 20000.0f, 100000.0f, 1000.0f, 20000.0f},
}};

// The state of one frequency control: the selected range and the value each
// range's slider last held.
class FrequencyControl {
public:
    FrequencyControl();

    // Shows value `v`: selects its range and places that range's slider. Below
    // 10 Hz the first range shows 10; above 24000 Hz the last range shows 24000.
    void show(float v);
    // The user switched to `range`; returns the remembered value to apply.
    float select_range(uint32_t range);
    // The user moved the visible slider; returns the snapped value to apply.
    float move_slider(float v);

    uint32_t range() const { return range_; }
    float value() const { return remembered_[range_]; }
    float remembered(uint32_t range) const { return remembered_[range < remembered_.size() ? range : 0]; }

private:
    uint32_t range_ = 0;
    std::array<float, frequency_ranges.size()> remembered_{};
};

// The range a value selects.
uint32_t frequency_range_of(float v);

// ---- Delay control (kind 11) ----

// Four sliders: seconds (0 to 10, step 1), tenths of a second (0 to 1, step 0.1),
// tens of milliseconds (0 to 100, step 10) and milliseconds (0 to 10, step 1).
struct DelayParts {
    float seconds = 0.0f;
    float tenths_s = 0.0f;
    float tens_ms = 0.0f;
    float ms = 0.0f;
};

// The display value in milliseconds: the sum of the four sliders, each snapped
// to its step and range.
float compose_delay_ms(const DelayParts& parts);
// The sliders for a delay in milliseconds (rounded to a whole millisecond).
DelayParts decompose_delay_ms(float ms);
// "MPX Delay " followed by the delay in seconds with three decimals and " s".
std::string delay_caption(float ms);

}  // namespace torvalen::params
