// Record builders for the processors' control tables. The tables are template tables:
// a value's location names its slot in a nominal block of 4-byte slots, and each
// processor object relocates its own copy onto its slot array.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "params/control_table.h"

namespace torvalen::dsp {
// Slot numbers both processors share.
namespace common_slot {
inline constexpr uint32_t fine_l = 0, fine_r = 1, swap = 2, invert_l = 3, invert_r = 4, input_select = 5,
                          failsafe = 6, failsafe_threshold = 7, mono = 8, hpf = 9, lpf = 10, eq_enable = 15,
                          eq_first_band = 16, input_level = 40;
inline constexpr uint32_t band_slots = 6;  // a filter band record
}  // namespace common_slot
}  // namespace torvalen::dsp

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
    // The "Input" page both processors begin with.
    constexpr void input_page() {
        add(page("Input"));
        add(group("Input Select"));
        add(list("Sound In\nPlayer\nSTL RX\nSig Gen\n", common_slot::input_select, 3, 0));
        add(group("Failsafe"));
        add(list("Off\nOn\n", common_slot::failsafe, 1, 0));
        add(db("Threshold (dB)", common_slot::failsafe_threshold, -60, -20, 1, -40));
        add(group("LPF"));
        add(list("FM\nAM 8k\nAM 5k\nHD\n", common_slot::lpf, 3, 0));
        add(group("HPF"));
        add(list("20Hz\n50Hz\n80Hz\n200Hz\n", common_slot::hpf, 3, 0));
        add(group("Input Balance (dB)"));
        add(db("L Fine", common_slot::fine_l, -2, 2, 0.1f, 0));
        add(db("R Fine", common_slot::fine_r, -2, 2, 0.1f, 0));
        add(group("Mono"));
        add(list("Off\nOn\n", common_slot::mono, 1, 0));
        add(group("Input Channel Swap"));
        add(list("Swap Off\nSwap On\n", common_slot::swap, 1, 0));
        add(group("Input Channel Invert"));
        add(list("Invert Off\nInvert L\n", common_slot::invert_l, 1, 0));
        add(list("Invert Off\nInvert R\n", common_slot::invert_r, 1, 0));
        add(group("Input Level"));
        add(db("Gain (dB)", common_slot::input_level, -40, 0, 1, -15, -35, 5));
    }
    // The pages both processors end with: "Pre Emphasis", "Power Limiter", "Output"
    // and "Processor Enable". `o` is the first of the eleven slots of the output
    // settings (pre-emphasis, mode, de-emphasis, then the power limiter's eight).
    constexpr void output_pages(uint32_t o, uint32_t enable) {
        add(page("Pre Emphasis"));
        add(group("Pre Emphasis"));
        add(list("25us\n50us\n75us\n", o, 2, 0));
        add(list("Off\nPure\nBoost\n", o + 1, 2, 0));

        add(page("Power Limiter"));
        add(group("Power Limiter Enable"));
        add(list("Off\nOn (Clip On)\nOn (Clip Off)\n", o + 3, 2, 0));
        add(group("Power Limiter Drive"));
        add(db("Drive (dB)", o + 4, -20, 20, 0.5f, 8));
        add(group("Power Limiter Level"));
        add(list("EBU R128-23\nEBU R128-18\nBS.412\n", o + 5, 2, 0));
        add(list("Standard\nCustom\n", o + 6, 1, 0));
        add(db("Level (dB)", o + 7, -25, -5, 0.5f, -10));
        add(db("Level Fine (dB)", o + 8, -0.5f, 0.5f, 0.1f, 0, 0.5f, -0.5f));
        add(group("Power Limiter Timing"));
        add(timing("Release", o + 9, 10, 20, 15.5f));
        add(list("Delay Off\nDelay On\n", o + 10, 1, 1));

        add(page("Output"));
        add(group("De Emphasis"));
        add(list("Off\n50us\n75us\n", o + 2, 2, 0));

        add(page("Processor Enable"));
        add(group("Processor Enablef"));
        add(list("Off\nOn\n", enable, 1, 1));
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
