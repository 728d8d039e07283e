// Control records and tables: the constant description of a module's parameters,
// the conversions between the display value the user sees and the stored value
// the DSP reads, and the per-kind set/get rules.
//
// A table is a flat array read in order: a page record opens a page, a group
// record opens a group in it, every other record is a control of the current
// group. A control's index is its position in the whole table (pages and groups
// count). The rules here are pure arithmetic on a parameter block: no
// allocation, no locks, no I/O, so a module may call them under the lock its
// per-block call takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace torvalen::params {

enum class ControlKind : int32_t {
    page = 1,
    group = 2,
    gain_db = 3,         // f32 linear gain, shown in dB through map-out
    integer = 4,         // u32
    list = 5,            // u32 item index; the record text holds the items
    band_q = 6,          // second field of a filter band
    frequency = 7,       // f32 Hz
    band_gain_db = 8,    // third field of a filter band (linear gain - 1)
    level_db = 9,        // as gain_db, shown with a level bar
    phase = 10,          // two f32: cosine, sine
    delay = 11,          // u32 samples
    reserved = 12,       // no value
    band_frequency = 13, // first field of a filter band
    half_step = 14,      // u32 holding twice the display value
    scaled = 15,         // f32 through map-in/map-out
};

// True for the 15 codes the mechanism knows.
bool known_kind(ControlKind kind);
// True for controls that have a stored value (everything but pages, groups and
// the reserved kind).
bool has_value(ControlKind kind);
// Bytes the set rule writes at the value's location (a filter band counts from
// the addressed field to the band's end).
size_t stored_size(ControlKind kind);

// One table row. `text` is the page or group title, the control label, or for a
// list the items, each ended by "\n". `location` is a byte offset into the
// parameter block (offset tables) or a position inside the template block
// (template tables, see template_location); 0 on pages and groups.
struct ControlRecord {
    std::string_view text;
    ControlKind kind = ControlKind::reserved;
    int32_t reserved = 0;
    uint64_t location = 0;
    float display_min = 0.0f;
    float display_max = 0.0f;
    float step = 0.0f;
    float default_value = 0.0f;
    float stored_min = 0.0f;
    float stored_max = 0.0f;
};

// How a table's locations are read.
enum class TableStyle {
    offset,     // one shared table; value at block start + location
    relocated,  // an object's own copy; location = address of the value in the object's block
};

// A template table names positions inside a nominal template block starting at
// template_block_start, so the constant table can be written with offsetof and
// never holds a real address; location 0 therefore stays "no value".
inline constexpr uint64_t template_block_start = 0x10000;
constexpr uint64_t template_location(size_t offset_in_block) { return template_block_start + offset_in_block; }

// The filter band that kinds 6, 8 and 13 point into: six f32 fields.
struct FilterBand {
    float frequency_Hz = 0.0f;
    float q = 0.0f;
    float gain_minus_one = 0.0f;
    float k1 = 0.0f;
    float k2 = 0.0f;
    float k3 = 0.0f;
};
static_assert(sizeof(FilterBand) == 6 * sizeof(float));
inline constexpr size_t band_q_offset = sizeof(float);         // kind 6 addresses this field
inline constexpr size_t band_gain_offset = 2 * sizeof(float);  // kind 8 addresses this field

// Recomputes k1, k2, k3 from frequency and Q (peaking section at 192 kHz). A
// band whose frequency or Q would give non-finite coefficients (Q of 0, a
// negative Q) keeps its previous coefficients, so the DSP never reads NaN.
void recompute_band(FilterBand& band);

// Linear mappings between the record's display and stored ranges. map_in clamps
// to the display range, map_out to the stored range (either orientation). A
// degenerate range maps to its single end.
float map_in(const ControlRecord& record, float display);
float map_out(const ControlRecord& record, float stored);

// True when `display` lies in the record's display range (either orientation).
bool in_display_range(const ControlRecord& record, float display);

// Where a record's value lives inside `block`, or nullptr when the record has no
// value or its value (a whole filter band for kinds 6, 8, 13) does not lie
// wholly inside the block.
std::byte* value_location(const ControlRecord& record, TableStyle style, std::span<std::byte> block);
const std::byte* value_location(const ControlRecord& record, TableStyle style, std::span<const std::byte> block);

// The set rule of the record's kind applied to the value at `where` (from
// value_location). Returns true when the stored bytes changed (a phase: always).
// A display value that is not finite changes nothing and returns false.
bool apply_set(const ControlRecord& record, std::byte* where, float display);
// The get rule; false for records without a value.
bool apply_get(const ControlRecord& record, const std::byte* where, float& display);

// The module side of set and get for a table whose values live in one block:
// index checks, location, rule. Callers hold the module's lock.
bool set_by_rule(std::span<const ControlRecord> table, TableStyle style, std::span<std::byte> block,
                 uint32_t index, float display);
bool get_by_rule(std::span<const ControlRecord> table, TableStyle style, std::span<const std::byte> block,
                 uint32_t index, float& display);

// Copies a template table for one object: every location (except 0) is moved
// from the template block into `own_block`, then every control is set to its
// default by its set rule. Fails (destination cleared) when a relocated value
// would lie outside `own_block`.
bool copy_template_table(std::vector<ControlRecord>& destination, std::span<const ControlRecord> table,
                         std::span<std::byte> own_block, uint64_t template_start = template_block_start);

// Sets every control of an offset table to its default (module creation).
void apply_defaults(std::span<const ControlRecord> table, TableStyle style, std::span<std::byte> block);

}  // namespace torvalen::params
