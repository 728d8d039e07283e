// One input through every parser of preset and day-part files, with the
// properties every result must have whatever the input. Shared by the libFuzzer
// target and the replay test of the normal build.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include "params/names.h"
#include "params/page_tree.h"
#include "params/preset_file.h"
#include "params/profile_file.h"

namespace torvalen::fuzz {

inline constexpr std::string_view fuzz_version = "Fuzz-v1.0.0";

inline constexpr params::ControlRecord fuzz_table[] = {
    {"Input", params::ControlKind::page},
    {"Levels", params::ControlKind::group},
    {"Gain (dB)", params::ControlKind::gain_db, 0, 0, -40, 0, 0.5f, -10, -35, 5},
    {"Off\nOn\n", params::ControlKind::list, 0, 4, 0, 1, 1, 1, 0, 1},
    {"Output", params::ControlKind::page},
    {"Stereo", params::ControlKind::group},
    {"Delay", params::ControlKind::delay, 0, 8, 0, 10000, 1, 0, 0, 1920000},
    {"Attack", params::ControlKind::gain_db, 0, 12, 20, 0, 1, 3, -20, 0},
};

// True when every result of parsing `data` is well formed.
inline bool parse_file_input(std::string_view data) {
    using namespace params;
    std::string error;
    const auto tree = build_page_tree(fuzz_table, error);
    if (!tree) return false;

    const ImportedPreset preset = read_preset_file(data, *tree, fuzz_version);
    if (preset.status == FileStatus::ok) {
        if (preset.values.size() != tree->control_count()) return false;
        for (const LoadedValue& v : preset.values) {
            const ControlNode* node = tree->find(v.index);
            if (node == nullptr || !std::isfinite(v.value)) return false;
            if (v.value < std::min(node->display_min, node->display_max) ||
                v.value > std::max(node->display_min, node->display_max))
                return false;
        }
        if (preset.notes.size() > max_notes_chars) return false;
        if (!preset.name.empty() && !valid_name(preset.name)) return false;
    } else if (!preset.values.empty()) {
        return false;  // nothing is applied from a file whose header is refused
    }

    const ImportedDaypart daypart = read_daypart_file(data, fuzz_version);
    const auto& entries = daypart.table.entries();
    if (entries.size() > max_daypart_entries) return false;
    for (size_t i = 1; i < entries.size(); ++i)
        if (entries[i - 1].time_code >= entries[i].time_code) return false;
    for (const DaypartEntry& e : entries)
        if (!valid_time_code(e.time_code) || !valid_name(e.preset)) return false;
    if (daypart.status != FileStatus::ok && !entries.empty()) return false;
    if (daypart.notes.size() > max_notes_chars) return false;

    const ProfileFile file = ProfileFile::parse(data);
    (void)file.value("Header", "Type");
    if (const auto value = decode_structure(data.substr(0, 10))) {
        if (decode_structure(encode_structure(*value)) != value) return false;
    }
    const std::string notes = decode_notes(data, data.size() / 2);
    return notes.size() <= data.size();
}

}  // namespace torvalen::fuzz
