// The text of preset ("fmt4") and day-part ("dpt4") files, built and read as
// pure functions so that an import is checked whole before anything is applied.
//
// fmt4: section "Header" with Name, Type = "Format3", Version and, when there
// are notes, "Notes Length" (a 4-byte structure) and Notes; one section per page
// with one line per control, key "<group>_<label>" (line breaks escaped, cut to
// 127 characters), value the display value as a 4-byte structure.
// dpt4: section "Header" with Name, Type = "Daypart3", Version, Count and the
// notes; section "Entries" with "<i>_Name" and "<i>_Time" per entry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/daypart.h"
#include "params/page_tree.h"

namespace torvalen::params {

inline constexpr std::string_view preset_type = "Format3";
inline constexpr std::string_view daypart_type = "Daypart3";
inline constexpr std::string_view header_section = "Header";
inline constexpr std::string_view entries_section = "Entries";
// Notes are at most 10232 characters, so that with their NUL they fit the
// 10233 bytes the store layout allows.
inline constexpr size_t max_notes_chars = 10232;
inline constexpr size_t max_file_key_chars = 127;
inline constexpr size_t max_file_type_chars = 127;

inline constexpr std::string_view preset_filter = "Preset Files(fmt4)";
inline constexpr std::string_view preset_extension = "fmt4";
inline constexpr std::string_view daypart_open_filter = "Daypart  Files(dpt4)";
inline constexpr std::string_view daypart_save_filter = "Daypart Files(dpt4)";
inline constexpr std::string_view daypart_extension = "dpt4";

// The file key of a control: group label, "_", control label, line breaks
// escaped, cut to 127 characters.
std::string preset_file_key(std::string_view group, std::string_view label);

// A control's display value, or nothing when its get reports none.
using ValueReader = std::function<std::optional<float>(uint32_t index)>;

std::string write_preset_file(const PageTree& tree, std::string_view name, std::string_view version,
                              std::string_view notes, const ValueReader& value);

// damaged: the header is right but the content is not whole (a day-part file
// whose entries are missing or carry no valid time or name).
enum class FileStatus { ok, wrong_type, version_mismatch, damaged };

struct LoadedValue {
    uint32_t index = 0;
    float value = 0.0f;
    bool fallback = false;  // the default, because the stored value was missing or invalid
};

struct ImportedPreset {
    FileStatus status = FileStatus::wrong_type;
    std::string name;
    std::string notes;
    std::vector<LoadedValue> values;  // every control of the tree, in table order
};

// Reads a preset file for the module of `tree` and `version`. Values that are
// missing, fail their checksum, are not finite or lie outside the display range
// come back as the control's default.
ImportedPreset read_preset_file(std::string_view text, const PageTree& tree, std::string_view version);

std::string write_daypart_file(std::string_view name, std::string_view version, const DaypartTable& table,
                               std::string_view notes);

struct ImportedDaypart {
    FileStatus status = FileStatus::wrong_type;
    std::string name;
    std::string notes;
    DaypartTable table;
};

// Reads a day-part file whole: `Count` (cut to 20) must be readable and each
// entry below it must have a valid preset name and a time that passes its
// checksum and lies in the week; otherwise the status is `damaged` and the
// table is empty.
ImportedDaypart read_daypart_file(std::string_view text, std::string_view version);

// A value to apply for a control: `stored` when it is a finite number inside
// the display range (either orientation), otherwise the default.
LoadedValue checked_value(const ControlNode& control, std::optional<float> stored);

}  // namespace torvalen::params
