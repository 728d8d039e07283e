#include "params/control_table.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace torvalen::params {

namespace {

constexpr double radians_per_degree = 0.017453292;
constexpr double degrees_per_radian = 57.29578;
constexpr double band_omega_per_Hz = 3.2724925e-5;  // 2*pi / 192000

float load_f32(const std::byte* at) {
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
void store_f32(std::byte* at, float value) { std::memcpy(at, &value, sizeof value); }
uint32_t load_u32(const std::byte* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
void store_u32(std::byte* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

// Truncation toward zero into the u32 range; a mapping that reaches below 0 or
// past 2^32 saturates instead of being undefined.
uint32_t truncate_u32(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(value);
}

// Distance from the addressed field back to the start of its filter band.
size_t band_field_offset(ControlKind kind) {
    switch (kind) {
        case ControlKind::band_q: return band_q_offset;
        case ControlKind::band_gain_db: return band_gain_offset;
        default: return 0;
    }
}

bool is_band_kind(ControlKind kind) {
    return kind == ControlKind::band_q || kind == ControlKind::band_gain_db || kind == ControlKind::band_frequency;
}

FilterBand load_band(const std::byte* band_start) {
    FilterBand band;
    std::memcpy(&band, band_start, sizeof band);
    return band;
}

double gain_from_db(double db) { return std::pow(10.0, db * 0.05); }

// Offset of the record's value inside the block, or -1 when it has none or it
// does not fit.
int64_t value_offset(const ControlRecord& record, TableStyle style, const std::byte* data, size_t size) {
    if (!has_value(record.kind)) return -1;
    uint64_t offset = record.location;
    if (style == TableStyle::relocated) {
        const auto base = reinterpret_cast<uintptr_t>(data);
        if (record.location == 0 || record.location < base) return -1;
        offset = record.location - base;
    }
    const size_t field = band_field_offset(record.kind);
    if (offset < field) return -1;
    const uint64_t start = offset - field;
    const uint64_t length = is_band_kind(record.kind) ? sizeof(FilterBand) : stored_size(record.kind);
    if (start > size || length > size - start) return -1;
    return static_cast<int64_t>(offset);
}

}  // namespace

bool known_kind(ControlKind kind) {
    const auto code = static_cast<int32_t>(kind);
    return code >= 1 && code <= 15;
}

bool has_value(ControlKind kind) {
    return known_kind(kind) && kind != ControlKind::page && kind != ControlKind::group &&
           kind != ControlKind::reserved;
}

size_t stored_size(ControlKind kind) {
    switch (kind) {
        case ControlKind::phase: return 2 * sizeof(float);
        case ControlKind::band_q:
        case ControlKind::band_gain_db:
        case ControlKind::band_frequency: return sizeof(FilterBand) - band_field_offset(kind);
        default: return has_value(kind) ? sizeof(float) : 0;
    }
}

void recompute_band(FilterBand& band) {
    const double w = static_cast<double>(band.frequency_Hz) * band_omega_per_Hz;
    const double t = std::tan(0.5 / static_cast<double>(band.q) * w);
    const double k2 = 0.5 * (1.0 - t) / (1.0 + t);
    const double k1 = (0.5 - k2) * 0.5;
    const double k3 = std::cos(w) * (k2 + 0.5);
    const std::array<float, 3> k = {static_cast<float>(k1), static_cast<float>(k2), static_cast<float>(k3)};
    if (!std::all_of(k.begin(), k.end(), [](float v) { return std::isfinite(v); })) return;
    band.k1 = k[0];
    band.k2 = k[1];
    band.k3 = k[2];
}

float map_in(const ControlRecord& record, float display) {
    const double dmin = record.display_min, dmax = record.display_max;
    const double smin = record.stored_min, smax = record.stored_max;
    if (dmax == dmin) return record.stored_min;
    const double d = std::clamp(static_cast<double>(display), std::min(dmin, dmax), std::max(dmin, dmax));
    return static_cast<float>(smin + (smax - smin) * (d - dmin) / (dmax - dmin));
}

float map_out(const ControlRecord& record, float stored) {
    const double dmin = record.display_min, dmax = record.display_max;
    const double smin = record.stored_min, smax = record.stored_max;
    const double low = std::min(smin, smax), high = std::max(smin, smax);
    if (smax == smin) return record.display_min;
    const double x = std::isnan(stored) ? low : std::clamp(static_cast<double>(stored), low, high);
    return static_cast<float>(dmax - (dmax - dmin) * (smax - x) / (smax - smin));
}

bool in_display_range(const ControlRecord& record, float display) {
    const float low = std::min(record.display_min, record.display_max);
    const float high = std::max(record.display_min, record.display_max);
    return display >= low && display <= high;  // false for NaN
}

std::byte* value_location(const ControlRecord& record, TableStyle style, std::span<std::byte> block) {
    const int64_t offset = value_offset(record, style, block.data(), block.size());
    return offset < 0 ? nullptr : block.data() + offset;
}

const std::byte* value_location(const ControlRecord& record, TableStyle style, std::span<const std::byte> block) {
    const int64_t offset = value_offset(record, style, block.data(), block.size());
    return offset < 0 ? nullptr : block.data() + offset;
}

bool apply_set(const ControlRecord& record, std::byte* where, float display) {
    if (where == nullptr || !has_value(record.kind) || !std::isfinite(display)) return false;
    const size_t size = stored_size(record.kind);
    std::array<std::byte, sizeof(FilterBand)> before{};
    std::memcpy(before.data(), where, size);

    const double mapped = map_in(record, display);
    switch (record.kind) {
        case ControlKind::gain_db:
        case ControlKind::level_db: store_f32(where, static_cast<float>(gain_from_db(mapped))); break;
        case ControlKind::integer:
        case ControlKind::list:
        case ControlKind::half_step: store_u32(where, truncate_u32(mapped)); break;
        case ControlKind::delay: store_u32(where, truncate_u32(mapped + 0.5)); break;
        case ControlKind::frequency:
        case ControlKind::scaled: store_f32(where, static_cast<float>(mapped)); break;
        case ControlKind::phase: {
            const double radians = mapped * radians_per_degree;
            store_f32(where, static_cast<float>(std::cos(radians)));
            store_f32(where + sizeof(float), static_cast<float>(std::sin(radians)));
            return true;
        }
        case ControlKind::band_q:
        case ControlKind::band_frequency: {
            std::byte* start = where - band_field_offset(record.kind);
            FilterBand band = load_band(start);
            if (record.kind == ControlKind::band_q) band.q = static_cast<float>(mapped);
            else band.frequency_Hz = static_cast<float>(mapped);
            recompute_band(band);
            std::memcpy(start, &band, sizeof band);
            break;
        }
        case ControlKind::band_gain_db: store_f32(where, static_cast<float>(gain_from_db(mapped) - 1.0)); break;
        default: return false;
    }
    return std::memcmp(before.data(), where, size) != 0;
}

bool apply_get(const ControlRecord& record, const std::byte* where, float& display) {
    display = 0.0f;
    if (where == nullptr || !has_value(record.kind)) return false;
    switch (record.kind) {
        case ControlKind::gain_db:
        case ControlKind::level_db: {
            const float gain = load_f32(where);
            const double db = gain > 0.0f ? 20.0 * std::log10(static_cast<double>(gain))
                                          : -std::numeric_limits<double>::infinity();
            display = map_out(record, static_cast<float>(db));
            return true;
        }
        case ControlKind::integer: display = static_cast<float>(load_u32(where)); return true;
        case ControlKind::list:
        case ControlKind::delay: display = map_out(record, static_cast<float>(load_u32(where))); return true;
        case ControlKind::half_step: display = static_cast<float>(load_u32(where)) * 0.5f; return true;
        case ControlKind::frequency:
        case ControlKind::band_q:
        case ControlKind::band_frequency: display = load_f32(where); return true;
        case ControlKind::scaled: display = map_out(record, load_f32(where)); return true;
        case ControlKind::band_gain_db: {
            const double gain = static_cast<double>(load_f32(where)) + 1.0;
            // A band whose gain field is -1 or below has no level in dB; show the lowest one.
            display = gain > 0.0 ? static_cast<float>(20.0 * std::log10(gain))
                                 : std::min(record.display_min, record.display_max);
            return true;
        }
        case ControlKind::phase: {
            const double cosine = load_f32(where), sine = load_f32(where + sizeof(float));
            display = map_out(record, static_cast<float>(std::atan2(sine, cosine) * degrees_per_radian));
            return true;
        }
        default: return false;
    }
}

bool set_by_rule(std::span<const ControlRecord> table, TableStyle style, std::span<std::byte> block,
                 uint32_t index, float display) {
    if (index >= table.size()) return false;
    const ControlRecord& record = table[index];
    return apply_set(record, value_location(record, style, block), display);
}

bool get_by_rule(std::span<const ControlRecord> table, TableStyle style, std::span<const std::byte> block,
                 uint32_t index, float& display) {
    display = 0.0f;
    if (index >= table.size()) return false;
    const ControlRecord& record = table[index];
    return apply_get(record, value_location(record, style, block), display);
}

bool copy_template_table(std::vector<ControlRecord>& destination, std::span<const ControlRecord> table,
                         std::span<std::byte> own_block, uint64_t template_start) {
    destination.assign(table.begin(), table.end());
    const auto own_start = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(own_block.data()));
    for (ControlRecord& record : destination) {
        if (record.location == 0) continue;
        if (record.location < template_start) {
            destination.clear();
            return false;
        }
        record.location = record.location - template_start + own_start;
        if (has_value(record.kind) && value_location(record, TableStyle::relocated, own_block) == nullptr) {
            destination.clear();
            return false;
        }
    }
    apply_defaults(destination, TableStyle::relocated, own_block);
    return true;
}

void apply_defaults(std::span<const ControlRecord> table, TableStyle style, std::span<std::byte> block) {
    for (const ControlRecord& record : table) {
        apply_set(record, value_location(record, style, block), record.default_value);
    }
}

}  // namespace torvalen::params
