// Record builders for the processors' control tables. The tables are template tables:
// a value's location names its slot in a nominal block of 4-byte slots, and each
// processor object relocates its own copy onto its slot array.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "params/control_table.h"

namespace torvalen::dsp::records {

using params::ControlKind;
using params::ControlRecord;

inline constexpr uint32_t slot_bytes = 4;
constexpr uint64_t at(uint32_t slot) { return params::template_location(slot * slot_bytes); }

// Per-band labels in slot order (highest band first).
inline constexpr std::array<std::string_view, 5> band_labels = {"H2", "H1", "M2", "M1", "B"};

constexpr ControlRecord page(std::string_view title) { return {title, ControlKind::page}; }
constexpr ControlRecord group(std::string_view title) { return {title, ControlKind::group}; }

// A dB control: the slot holds the linear factor of the display value mapped onto
// [stored_min, stored_max].
constexpr ControlRecord db(std::string_view label, uint32_t slot, float min, float max, float step, float def,
                           float stored_min, float stored_max) {
    return {label, ControlKind::gain_db, 0, at(slot), min, max, step, def, stored_min, stored_max};
}
constexpr ControlRecord db(std::string_view label, uint32_t slot, float min, float max, float step, float def) {
    return db(label, slot, min, max, step, def, min, max);
}
// A timing control: steps of 0.5, the slot holds n = 2v.
constexpr ControlRecord timing(std::string_view label, uint32_t slot, float min, float max, float def) {
    return {label, ControlKind::half_step, 0, at(slot), min, max, 0.5f, def, 2.0f * min, 2.0f * max};
}
// A list: `items` each ended by "\n"; `last` is the number of items - 1.
constexpr ControlRecord list(std::string_view items, uint32_t slot, float last, float def) {
    return {items, ControlKind::list, 0, at(slot), 0.0f, last, 1.0f, def, 0.0f, last};
}
// The three controls of an equaliser band record of six slots.
constexpr ControlRecord eq_frequency(uint32_t slot) {
    return {"Freq", ControlKind::band_frequency, 0, at(slot), 20.0f, 15000.0f, 1.0f, 50.0f, 20.0f, 15000.0f};
}
constexpr ControlRecord eq_q(uint32_t slot, float def) {
    return {"Q", ControlKind::band_q, 0, at(slot) + params::band_q_offset, 1.0f, 5.0f, 0.1f, def, 1.0f, 5.0f};
}
constexpr ControlRecord eq_gain(std::string_view label, uint32_t slot) {
    return {label, ControlKind::band_gain_db, 0, at(slot) + params::band_gain_offset, -10.0f, 10.0f, 1.0f, 0.0f,
            -10.0f, 10.0f};
}

// Fills a fixed-size table in order; the count is checked where the table is made.
template <std::size_t N>
struct TableBuilder {
    std::array<ControlRecord, N> records{};
    std::size_t size = 0;

    constexpr void add(const ControlRecord& r) {
        if (size < N) records[size] = r;
        ++size;
    }
    // A group of five per-band dB controls (slots first ... first + 4, H2 first).
    constexpr void band_db(std::string_view title, uint32_t first, float min, float max, float step,
                           const std::array<float, 5>& defaults, float stored_min, float stored_max,
                           const std::array<std::string_view, 5>& labels = band_labels) {
        add(group(title));
        for (uint32_t b = 0; b < 5; ++b)
            add(db(labels[b], first + b, min, max, step, defaults[b], stored_min, stored_max));
    }
    constexpr void band_db(std::string_view title, uint32_t first, float min, float max, float step,
                           const std::array<float, 5>& defaults,
                           const std::array<std::string_view, 5>& labels = band_labels) {
        band_db(title, first, min, max, step, defaults, min, max, labels);
    }
    // A group of five per-band timing controls.
    constexpr void band_timing(std::string_view title, uint32_t first, float min, float max,
                               const std::array<float, 5>& defaults) {
        add(group(title));
        for (uint32_t b = 0; b < 5; ++b) add(timing(band_labels[b], first + b, min, max, defaults[b]));
    }
    // Group "EQ n" with the band record at `slot`.
    constexpr void eq_band(std::string_view title, uint32_t slot, float q_default, std::string_view gain_label) {
        add(group(title));
        add(eq_frequency(slot));
        add(eq_q(slot, q_default));
        add(eq_gain(gain_label, slot));
    }
};

constexpr std::array<float, 5> each(float v) { return {v, v, v, v, v}; }

}  // namespace torvalen::dsp::records
