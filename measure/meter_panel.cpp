#include "measure/meter_panel.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace torvalen::measure {

namespace {

using K = MeterKind;

constexpr std::array<MeterRecord, 34> one_layout = {{
    {"Meters", K::root, 8, 0},
    {"Input", K::meter_group, 1, 40},
    {"Lvl", K::level, 6, 40},
    {"AGC", K::meter_group, 1, 40},
    {"Gain", K::agc_gain, 1, 40},
    {"Compressor", K::meter_group, 5, 20},
    {"B", K::gain_reduction, 1, 20},
    {"M1", K::gain_reduction, 1, 20},
    {"M2", K::gain_reduction, 1, 20},
    {"H1", K::gain_reduction, 1, 20},
    {"H2", K::gain_reduction, 1, 20},
    {"Stereo Enhance", K::meter_group, 5, 20},
    {"B", K::stereo_width, 1, 20},
    {"M1", K::stereo_width, 1, 20},
    {"M2", K::stereo_width, 1, 20},
    {"H1", K::stereo_width, 1, 20},
    {"H2", K::stereo_width, 1, 20},
    {"Band-Limiter", K::meter_group, 5, 20},
    {"B", K::gain_reduction, 6, 20},
    {"M1", K::gain_reduction, 6, 20},
    {"M2", K::gain_reduction, 6, 20},
    {"H1", K::gain_reduction, 6, 20},
    {"H2", K::gain_reduction, 6, 20},
    {"Limiter", K::meter_group, 1, 20},
    {"GR", K::gain_reduction, 6, 20},
    {"Pwr Limit", K::meter_group, 1, 20},
    {"GR", K::gain_reduction, 1, 20},
    {"Output", K::meter_group, 1, 20},
    {"Lvl", K::level, 6, 40},
    {"Equalization", K::graph_group, 4, 0},
    {"GraphQ_#1", K::equaliser, 4, 0},
    {"GraphQ_#2", K::equaliser, 4, 0},
    {"GraphQ_#3", K::equaliser, 4, 0},
    {"GraphQ_#4", K::equaliser, 4, 0},
}};

constexpr std::array<MeterRecord, 35> make_five_layout() {
    std::array<MeterRecord, 35> t{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < one_layout.size(); ++i) {
        if (i == 3) {  // the AGC group holds "B" and "MH"
            t[n++] = {"AGC", K::meter_group, 2, 40};
            t[n++] = {"B", K::agc_gain, 1, 40};
            t[n++] = {"MH", K::agc_gain, 1, 40};
            ++i;  // skip "Gain"
            continue;
        }
        t[n++] = one_layout[i];
    }
    return t;
}
constexpr std::array<MeterRecord, 35> five_layout = make_five_layout();

constexpr uint32_t default_hold_ticks = 8;
constexpr float default_decay = 0.02f;
constexpr float decay_scale = 1000.0f;  // "Decay" holds D x 1000
constexpr float agc_centre_dB = 20.0f;  // an AGC value of -20 dB is a total gain of 0 dB

bool is_group(K k) { return k == K::meter_group || k == K::graph_group; }

}  // namespace

std::span<const MeterRecord> processor_one_meter_layout() { return one_layout; }
std::span<const MeterRecord> processor_five_meter_layout() { return five_layout; }

uint32_t layout_value_count(std::span<const MeterRecord> layout) {
    uint32_t n = 0;
    for (const MeterRecord& r : layout)
        if (r.kind != K::root && !is_group(r.kind)) n += static_cast<uint32_t>(std::max(0, r.count));
    return n;
}

float decay_from_stored(bool present, uint32_t stored) {
    if (!present) return default_decay;
    switch (stored) {
        case 5:
        case 10:
        case 20:
        case 40:
        case 80: return static_cast<float>(stored) / decay_scale;
        default: return default_decay;
    }
}

float level_position(float v, float range) { return std::clamp(-v / range, 0.0f, 1.0f); }
float width_position(float v, float range) { return std::clamp(v / range, 0.0f, 1.0f); }
float agc_position(float v, float range) {
    return std::clamp((std::fabs(v) - agc_centre_dB) / range + 0.5f, 0.0f, 1.0f);
}

MeterPanel::MeterPanel(std::span<const MeterRecord> layout) {
    if (layout.empty() || layout[0].kind != K::root) return;
    // The root counts the meter groups; a graph group (the equaliser) follows them.
    std::size_t at = 1;
    uint32_t value = 0;
    int32_t meter_groups = 0;
    while (at < layout.size()) {
        if (!is_group(layout[at].kind)) return;
        if (layout[at].kind == K::meter_group) ++meter_groups;
        const MeterRecord& group = layout[at++];
        GroupState gs;
        gs.name = group.name;
        gs.kind = group.kind;
        gs.settings.range_dB = group.range_dB;
        gs.first_item = static_cast<uint32_t>(items_.size());
        gs.item_count = static_cast<uint32_t>(group.count);
        for (int32_t i = 0; i < group.count; ++i) {
            if (at >= layout.size() || layout[at].kind == K::root || is_group(layout[at].kind)) return;
            const MeterRecord& item = layout[at++];
            ItemState is;
            is.name = item.name;
            is.kind = item.kind;
            is.group = static_cast<uint32_t>(groups_.size());
            is.first_value = value;
            is.value_count = static_cast<uint32_t>(item.count);
            value += is.value_count;
            items_.push_back(is);
        }
        groups_.push_back(gs);
    }
    if (meter_groups != layout[0].count) return;
    value_count_ = value;
    values_.assign(value, 0.0f);
    previous_ = values_;
    valid_ = true;
    reset();
}

bool MeterPanel::hand_off(std::span<const float> values) {
    if (!valid_ || values.size() != value_count_) return false;
    std::lock_guard lock(lock_);
    std::copy(values.begin(), values.end(), values_.begin());
    return true;
}

void MeterPanel::reset() {
    std::lock_guard lock(lock_);
    for (ItemState& it : items_) {
        // Rest positions: levels and gain reductions at the top or bottom as if silent /
        // unreduced.
        const bool level = it.kind == K::level;
        it.envelope_marker.fill(level ? 1.0f : 0.0f);
        it.peak_marker.fill(level ? 1.0f : 0.0f);
        it.envelope_hold.fill(0);
        it.peak_hold.fill(0);
        it.marker = 0.0f;
        it.hold = 0;
        for (auto& b : it.bar) b.fill(level ? 1.0f : 0.0f);
    }
}

void MeterPanel::tick() {
    std::lock_guard lock(lock_);
    for (ItemState& it : items_) tick_item(it, groups_[it.group].settings);
    previous_ = values_;
}

void MeterPanel::tick_item(ItemState& it, const GroupSettings& g) {
    const float* v = values_.data() + it.first_value;
    const float range = g.range_dB;
    switch (it.kind) {
        case K::level: {
            if (it.value_count < 6) break;
            for (int ch = 0; ch < 2; ++ch) {
                const float peak = level_position(v[ch], range);
                const float env = level_position(v[2 + ch], range);
                const float rms = level_position(v[4 + ch], range);
                it.bar[ch] = {rms, env, peak};
                // Envelope marker: jumps up to a louder envelope and holds, then falls by
                // the decay per tick, never below the RMS position.
                float& em = it.envelope_marker[ch];
                if (env < em) {
                    em = env;
                    it.envelope_hold[ch] = g.hold_ticks;
                } else if (it.envelope_hold[ch] > 0) {
                    --it.envelope_hold[ch];
                } else {
                    em = std::min(em + g.decay, rms);
                }
                // Peak marker: the same with the true peak, taken no lower than the
                // envelope marker.
                const float p = std::min(peak, em);
                float& pm = it.peak_marker[ch];
                if (p < pm) {
                    pm = p;
                    it.peak_hold[ch] = g.hold_ticks;
                } else if (it.peak_hold[ch] > 0) {
                    --it.peak_hold[ch];
                } else {
                    pm = std::min(pm + g.decay, p);
                }
            }
            break;
        }
        case K::gain_reduction: {
            if (it.value_count >= 6) {
                float outer = 0.0f;
                for (int ch = 0; ch < 2; ++ch) {
                    const float p0 = level_position(v[4 + ch], range);
                    const float p1 = std::max(level_position(v[2 + ch], range), p0);
                    const float p2 = std::max(level_position(v[ch], range), p1);
                    it.bar[ch] = {p0, p1, p2};
                    outer = std::max(outer, p2);
                }
                if (outer > it.marker) {
                    it.marker = outer;
                    it.hold = g.hold_ticks;
                } else if (it.hold > 0) {
                    --it.hold;
                } else {
                    it.marker = std::max(it.marker - g.decay, outer);
                }
            } else if (it.value_count >= 1) {
                it.bar[0][0] = level_position(v[0], range);
            }
            break;
        }
        case K::stereo_width:
            if (it.value_count >= 1) it.bar[0][0] = width_position(v[0], range);
            break;
        case K::agc_gain:
            if (it.value_count >= 1) {
                it.bar[0][0] = agc_position(v[0], range);
                it.gate_closed = v[0] > 0.0f;
            }
            break;
        case K::equaliser: {
            const float* before = previous_.data() + it.first_value;
            it.graph_changed = !std::equal(v, v + it.value_count, before);
            break;
        }
        default: break;
    }
}

void MeterPanel::load(const SettingsKey& module_key) {
    std::lock_guard lock(lock_);
    const auto root = module_key.create(meter_group_key);
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        GroupSettings& s = groups_[g].settings;
        s.hold_ticks = default_hold_ticks;
        s.decay = default_decay;
        if (!root) continue;
        const auto key = root->open(std::to_string(g));
        if (!key) continue;
        uint32_t hold = 0, decay = 0;
        if (key->read_dword("Hold", hold)) s.hold_ticks = hold;
        const bool has_decay = key->read_dword("Decay", decay);
        s.decay = decay_from_stored(has_decay, decay);
        float range = 0.0f;
        if (key->read_binary("Range", std::as_writable_bytes(std::span(&range, 1))) && std::isfinite(range) &&
            range > 0.0f)
            s.range_dB = range;
    }
    current_ = 0;
    if (const auto cls = module_key.create(meter_class_key)) {
        if (const auto vars = cls->create(meter_class_subkey)) vars->read_dword("Current", current_);
    }
}

bool MeterPanel::save(const SettingsKey& module_key) const {
    std::lock_guard lock(lock_);
    if (!module_key.valid() || module_key.store() == nullptr) return false;
    SettingsStore::Transaction transaction(*module_key.store());
    const auto root = module_key.create(meter_group_key);
    if (!root) return false;
    bool ok = true;
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        const auto key = root->create(std::to_string(g));
        if (!key) return false;
        const GroupSettings& s = groups_[g].settings;
        ok = key->write_dword("Hold", s.hold_ticks) && ok;
        ok = key->write_dword("Decay", static_cast<uint32_t>(std::lround(s.decay * decay_scale))) && ok;
        ok = key->write_binary("Range", std::as_bytes(std::span(&s.range_dB, 1))) && ok;
    }
    const auto cls = module_key.create(meter_class_key);
    const auto vars = cls ? cls->create(meter_class_subkey) : std::nullopt;
    ok = vars && vars->write_dword("Current", current_) && ok;
    return ok && transaction.commit();
}

bool MeterPanel::set_range(uint32_t group, float range_dB) {
    std::lock_guard lock(lock_);
    if (group >= groups_.size() || !(range_dB > 0.0f) || !std::isfinite(range_dB)) return false;
    groups_[group].settings.range_dB = range_dB;
    return true;
}

bool MeterPanel::set_hold(uint32_t group, uint32_t ticks) {
    std::lock_guard lock(lock_);
    if (group >= groups_.size()) return false;
    groups_[group].settings.hold_ticks = ticks;
    return true;
}

bool MeterPanel::set_decay(uint32_t group, float decay) {
    std::lock_guard lock(lock_);
    if (group >= groups_.size() || !(decay > 0.0f)) return false;
    groups_[group].settings.decay = decay;
    return true;
}

std::vector<GroupState> MeterPanel::groups() const {
    std::lock_guard lock(lock_);
    return groups_;
}

std::vector<ItemState> MeterPanel::items() const {
    std::lock_guard lock(lock_);
    return items_;
}

std::vector<float> MeterPanel::values() const {
    std::lock_guard lock(lock_);
    return values_;
}

}  // namespace torvalen::measure
