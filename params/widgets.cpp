#include "params/widgets.h"

#include <algorithm>
#include <cmath>

#include "engine/text.h"

namespace torvalen::params {

namespace {

constexpr uint32_t max_step_decimals = 6;
constexpr float frequency_show_max_Hz = 24000.0f;
constexpr double about_marks = 20.0;

// Clamped to the int32 range the fixed-point formatter takes.
int32_t round_to_int32(double value) {
    const double rounded = std::round(value);
    if (!(rounded > -2147483648.0)) return INT32_MIN;
    if (rounded > 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(rounded);
}

float clamp_either(float value, float a, float b) { return std::clamp(value, std::min(a, b), std::max(a, b)); }

}  // namespace

float snap_to_step(float value, float step, float min, float max) {
    if (std::isnan(value)) return std::min(min, max);
    double v = value;
    if (step > 0.0f) v = std::round(v / step) * step;  // std::round rounds half away from zero
    return clamp_either(static_cast<float>(v), min, max);
}

uint32_t step_decimals(float step) {
    if (!(step > 0.0f) || step >= 1.0f) return 0;
    double scale = 1.0;
    for (uint32_t decimals = 0; decimals <= max_step_decimals; ++decimals, scale *= 10.0) {
        const double scaled = static_cast<double>(step) * scale;
        if (std::fabs(scaled - std::round(scaled)) < 1e-3 * scale * static_cast<double>(step)) return decimals;
    }
    return max_step_decimals;
}

std::string slider_text(float value, float step) {
    const uint32_t decimals = step_decimals(step);
    return text::fixed_point_text(round_to_int32(static_cast<double>(value) * std::pow(10.0, decimals)), decimals);
}

double display_round(float value, float step) {
    if (!std::isfinite(value)) return value;
    const double scale = std::pow(10.0, step_decimals(step));
    return std::round(static_cast<double>(value) * scale) / scale + 0.0;  // + 0.0: no "-0"
}

uint32_t mark_spacing_steps(float min, float max, float step) {
    if (!(step > 0.0f)) return 1;
    const double steps = std::fabs(static_cast<double>(max) - min) / step;
    for (uint32_t spacing : {1u, 2u, 5u, 10u}) {
        if (steps / spacing <= about_marks) return spacing;
    }
    return 20;
}

uint32_t frequency_range_of(float v) {
    for (uint32_t range = 0; range + 1 < frequency_ranges.size(); ++range) {
        if (v < frequency_ranges[range].max_Hz) return range;
    }
    return frequency_ranges.size() - 1;
}

FrequencyControl::FrequencyControl() {
    for (size_t range = 0; range < frequency_ranges.size(); ++range) remembered_[range] = frequency_ranges[range].initial_Hz;
}

void FrequencyControl::show(float v) {
    if (std::isnan(v)) v = frequency_ranges.front().min_Hz;
    range_ = frequency_range_of(v);
    const FrequencyRange& r = frequency_ranges[range_];
    const float highest = range_ + 1 == frequency_ranges.size() ? frequency_show_max_Hz : r.max_Hz;
    remembered_[range_] = std::clamp(v, r.min_Hz, highest);
}

float FrequencyControl::select_range(uint32_t range) {
    if (range < frequency_ranges.size()) range_ = range;
    return remembered_[range_];
}

float FrequencyControl::move_slider(float v) {
    const FrequencyRange& r = frequency_ranges[range_];
    remembered_[range_] = snap_to_step(v, r.step_Hz, r.min_Hz, r.max_Hz);
    return remembered_[range_];
}

float compose_delay_ms(const DelayParts& parts) {
    // Each slider is counted in whole milliseconds, so 0.9 s adds exactly 900.
    const long seconds = std::lround(snap_to_step(parts.seconds, 1.0f, 0.0f, 10.0f));
    const long tenths = std::lround(snap_to_step(parts.tenths_s, 0.1f, 0.0f, 1.0f) * 10.0f);
    const long tens = std::lround(snap_to_step(parts.tens_ms, 10.0f, 0.0f, 100.0f));
    const long ms = std::lround(snap_to_step(parts.ms, 1.0f, 0.0f, 10.0f));
    return static_cast<float>(seconds * 1000 + tenths * 100 + tens + ms);
}

DelayParts decompose_delay_ms(float ms) {
    constexpr uint32_t most_ms = 11110;  // every slider at its top
    const uint32_t total = std::isnan(ms) || ms <= 0.0f ? 0u : std::min<uint32_t>(most_ms, static_cast<uint32_t>(std::lround(std::min(ms, 20000.0f))));
    DelayParts parts;
    uint32_t rest = total;
    const uint32_t seconds = std::min(10u, rest / 1000);
    rest -= seconds * 1000;
    const uint32_t tenths = std::min(10u, rest / 100);
    rest -= tenths * 100;
    const uint32_t tens = std::min(10u, rest / 10);
    rest -= tens * 10;
    parts.seconds = static_cast<float>(seconds);
    parts.tenths_s = static_cast<float>(tenths) / 10.0f;
    parts.tens_ms = static_cast<float>(tens * 10);
    parts.ms = static_cast<float>(std::min(10u, rest));
    return parts;
}

std::string delay_caption(float ms) {
    const uint32_t whole_ms = std::isnan(ms) || ms <= 0.0f ? 0u : static_cast<uint32_t>(std::lround(std::min(ms, 1.0e9f)));
    return text::build("s ud3 s", {"MPX Delay ", whole_ms, " s"}).value_or(std::string());
}

}  // namespace torvalen::params
