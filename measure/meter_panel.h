// The meter panel model: a constant layout table of groups and items, the hand-off of a
// module's meter values once per meter tick, the positions and ballistics of every item,
// and the per-group display settings kept under the module's settings key. The
// interface draws from `items()` and `groups()`; nothing here draws.
//
// Threads: a module's engine thread publishes its values through its own lock-free
// buffer; the panel's owner (the interface side) takes them and calls hand_off() and
// tick(). Range changes from a settings dialog and the reads for drawing take the
// panel's lock, so they may come from another thread.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "engine/settings_store.h"

namespace torvalen::measure {

enum class MeterKind : int32_t {
    root = 1,
    graph_group = 2,
    meter_group = 3,
    gain_reduction = 4,
    level = 5,
    equaliser = 9,
    agc_gain = 10,
    stereo_width = 12,
    deviation = 13,
};

// One layout record: for the root the number of groups, for a group its items, for an
// item the number of values it takes from the value array; range is a group's default
// display range in dB.
struct MeterRecord {
    std::string_view name;
    MeterKind kind;
    int32_t count;
    float range_dB;
};

// The processors' layouts (34 and 35 records; 76 and 77 values).
std::span<const MeterRecord> processor_one_meter_layout();
std::span<const MeterRecord> processor_five_meter_layout();
// Sum of the item value counts of a layout.
uint32_t layout_value_count(std::span<const MeterRecord> layout);

inline constexpr std::string_view meter_group_key = "MeterGroupVarialbes";
inline constexpr std::string_view meter_class_key = "MeterClassVarialbes";
inline constexpr std::string_view meter_class_subkey = "ClassVariables";

// Display settings of a group.
struct GroupSettings {
    float range_dB = 40.0f;
    uint32_t hold_ticks = 8;
    float decay = 0.02f;  // fraction of the meter height per tick
};

// A decay as stored ("Decay" = D x 1000): only 5, 10, 20, 40, 80 are accepted.
float decay_from_stored(bool present, uint32_t stored);

// Fractions of the meter height for a value v on a group of range R.
float level_position(float v_dB, float range_dB);  // level and gain-reduction meters, 0 at the top
float width_position(float v_dB, float range_dB);  // stereo-width meters
float agc_position(float v_dB, float range_dB);    // AGC meters: total gain 0 dB in the middle

// What the interface draws of one item after a tick.
struct ItemState {
    std::string_view name;
    MeterKind kind = MeterKind::level;
    uint32_t group = 0;        // index of its group
    uint32_t first_value = 0;  // index into the value array
    uint32_t value_count = 0;
    // Level meters, per channel: bars (RMS, peak envelope) and the held markers.
    // Gain-reduction meters with six values, per channel: the three layers, and the
    // held marker in marker[0] (one marker for the item). Single-value meters: bar[0].
    std::array<std::array<float, 3>, 2> bar{};
    std::array<float, 2> envelope_marker{}, peak_marker{};
    std::array<uint32_t, 2> envelope_hold{}, peak_hold{};
    float marker = 0.0f;
    uint32_t hold = 0;
    bool gate_closed = false;  // AGC meters: the sign of the value
    bool graph_changed = false;  // equaliser graphs: a value changed since the last tick
};

struct GroupState {
    std::string_view name;
    MeterKind kind = MeterKind::meter_group;
    GroupSettings settings;
    uint32_t first_item = 0, item_count = 0;
};

class MeterPanel {
public:
    // Builds the panel from a layout; `valid()` is false when the layout is malformed
    // (counts that do not match its records).
    explicit MeterPanel(std::span<const MeterRecord> layout);

    bool valid() const { return valid_; }
    uint32_t value_count() const { return value_count_; }

    // Takes a module's values when their count is the panel's; false (nothing taken)
    // otherwise.
    bool hand_off(std::span<const float> values);
    // One meter tick: positions and ballistics of every item from the last hand-off.
    void tick();
    // Engine start and stop: markers back to their rest positions.
    void reset();

    // Settings: load under the module key (missing values take their defaults), save.
    void load(const SettingsKey& module_key);
    bool save(const SettingsKey& module_key) const;
    bool set_range(uint32_t group, float range_dB);
    bool set_hold(uint32_t group, uint32_t ticks);
    bool set_decay(uint32_t group, float decay);
    uint32_t current_class() const { return current_; }

    std::vector<GroupState> groups() const;
    std::vector<ItemState> items() const;
    std::vector<float> values() const;

private:
    void tick_item(ItemState& item, const GroupSettings& g);

    mutable std::mutex lock_;
    std::vector<GroupState> groups_;
    std::vector<ItemState> items_;
    std::vector<float> values_, previous_;
    uint32_t value_count_ = 0;
    uint32_t current_ = 0;
    bool valid_ = false;
};

}  // namespace torvalen::measure
