#include "params/preset_file.h"

#include <algorithm>
#include <cmath>

#include "engine/text.h"
#include "params/names.h"
#include "params/profile_file.h"

namespace torvalen::params {

namespace {

void write_header(ProfileWriter& writer, std::string_view name, std::string_view type, std::string_view version) {
    writer.section(header_section);
    writer.entry("Name", name);
    writer.entry("Type", type);
    writer.entry("Version", version);
}

void write_notes(ProfileWriter& writer, std::string_view notes) {
    notes = notes.substr(0, max_notes_chars);
    if (notes.empty()) return;
    writer.entry("Notes Length", encode_u32_structure(static_cast<uint32_t>(notes.size())));
    writer.entry("Notes", encode_notes(notes));
}

// Checks Type and Version of the header section.
FileStatus header_status(const ProfileFile& file, std::string_view type, std::string_view version) {
    const auto stored_type = file.value(header_section, "Type");
    if (!stored_type || stored_type->substr(0, max_file_type_chars) != type) return FileStatus::wrong_type;
    const auto stored_version = file.value(header_section, "Version");
    if (!stored_version || *stored_version != version) return FileStatus::version_mismatch;
    return FileStatus::ok;
}

std::string read_notes(const ProfileFile& file) {
    const auto length_text = file.value(header_section, "Notes Length");
    if (!length_text) return {};
    const auto length = decode_u32_structure(*length_text);
    if (!length) return {};
    const auto notes = file.value(header_section, "Notes");
    if (!notes) return {};
    return decode_notes(*notes, std::min<size_t>(*length, max_notes_chars));
}

std::string entry_key(size_t index, std::string_view suffix) {
    return text::build("u s", {static_cast<uint32_t>(index), suffix}).value_or(std::string());
}

}  // namespace

std::string preset_file_key(std::string_view group, std::string_view label) {
    std::string key(group);
    key += '_';
    key += label;
    std::string escaped = escape_key(key);
    if (escaped.size() > max_file_key_chars) escaped.resize(max_file_key_chars);
    return escaped;
}

LoadedValue checked_value(const ControlNode& control, std::optional<float> stored) {
    ControlRecord range;
    range.display_min = control.display_min;
    range.display_max = control.display_max;
    if (stored && std::isfinite(*stored) && in_display_range(range, *stored)) return {control.index, *stored, false};
    return {control.index, control.default_value, true};
}

std::string write_preset_file(const PageTree& tree, std::string_view name, std::string_view version,
                              std::string_view notes, const ValueReader& value) {
    ProfileWriter writer;
    write_header(writer, name, preset_type, version);
    write_notes(writer, notes);
    for (const PageNode& page : tree.pages) {
        writer.section(page.label);
        for (const GroupNode& group : page.groups) {
            for (const ControlNode& control : group.controls) {
                const std::optional<float> v = value(control.index);
                if (v) writer.entry(preset_file_key(group.label, control.label), encode_float_structure(*v));
            }
        }
    }
    return writer.text();
}

ImportedPreset read_preset_file(std::string_view text, const PageTree& tree, std::string_view version) {
    ImportedPreset imported;
    const ProfileFile file = ProfileFile::parse(text);
    imported.status = header_status(file, preset_type, version);
    if (imported.status != FileStatus::ok) return imported;
    for (const PageNode& page : tree.pages) {
        for (const GroupNode& group : page.groups) {
            for (const ControlNode& control : group.controls) {
                if (!has_value(control.kind)) continue;
                std::optional<float> stored;
                if (auto v = file.value(page.label, preset_file_key(group.label, control.label)))
                    stored = decode_float_structure(*v);
                imported.values.push_back(checked_value(control, stored));
            }
        }
    }
    imported.notes = read_notes(file);
    if (auto name = file.value(header_section, "Name")) imported.name = name_from_file(*name);
    return imported;
}

std::string write_daypart_file(std::string_view name, std::string_view version, const DaypartTable& table,
                               std::string_view notes) {
    ProfileWriter writer;
    write_header(writer, name, daypart_type, version);
    writer.entry("Count", encode_u32_structure(static_cast<uint32_t>(table.size())));
    write_notes(writer, notes);
    writer.section(entries_section);
    for (size_t i = 0; i < table.size(); ++i) {
        writer.entry(entry_key(i, "_Name"), table.entries()[i].preset);
        writer.entry(entry_key(i, "_Time"), encode_u32_structure(table.entries()[i].time_code));
    }
    return writer.text();
}

ImportedDaypart read_daypart_file(std::string_view text, std::string_view version) {
    ImportedDaypart imported;
    const ProfileFile file = ProfileFile::parse(text);
    imported.status = header_status(file, daypart_type, version);
    if (imported.status != FileStatus::ok) return imported;
    const auto count_text = file.value(header_section, "Count");
    const auto count = count_text ? decode_u32_structure(*count_text) : std::nullopt;
    if (!count) {
        imported.status = FileStatus::damaged;
        return imported;
    }
    std::vector<DaypartEntry> entries;
    for (uint32_t i = 0; i < std::min<uint32_t>(*count, max_daypart_entries); ++i) {
        const auto name = file.value(entries_section, entry_key(i, "_Name"));
        const auto time_text = file.value(entries_section, entry_key(i, "_Time"));
        const auto time = time_text ? decode_u32_structure(*time_text) : std::nullopt;
        DaypartEntry entry{time.value_or(0), name ? name_from_file(*name) : std::string()};
        if (!time || !valid_time_code(entry.time_code) || entry.preset.empty()) {
            imported.status = FileStatus::damaged;
            return imported;
        }
        entries.push_back(std::move(entry));
    }
    imported.table = DaypartTable::from_entries(std::move(entries));
    imported.notes = read_notes(file);
    if (auto name = file.value(header_section, "Name")) imported.name = name_from_file(*name);
    return imported;
}

}  // namespace torvalen::params
