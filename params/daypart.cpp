#include "params/daypart.h"

#include <algorithm>

#include "engine/text.h"
#include "params/names.h"

namespace torvalen::params {

namespace {

constexpr std::array<std::string_view, 7> day_names = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::string_view editor_title = "Edit Dayparts";

}  // namespace

uint32_t time_code_of(const std::tm& local) {
    const auto day = static_cast<uint32_t>(std::clamp(local.tm_wday, 0, 6));
    const auto hour = static_cast<uint32_t>(std::clamp(local.tm_hour, 0, 23));
    const auto minute = static_cast<uint32_t>(std::clamp(local.tm_min, 0, 59));
    return time_code(day, hour, minute);
}

std::string time_code_text(uint32_t code) {
    const uint32_t day = (code >> 16) - 1, hour = (code >> 8) & 0xFF, minute = code & 0xFF;
    const std::string_view name = code >= first_time_code && day < day_names.size() ? day_names[day] : "?";
    if (hour > 23 || minute > 59) return text::build("s s", {name, " ?"}).value_or(std::string());
    return text::build("s s un2 s un2", {name, " ", hour, ":", minute}).value_or(std::string());
}

DaypartTable DaypartTable::from_entries(std::vector<DaypartEntry> entries) {
    if (entries.size() > max_daypart_entries) entries.resize(max_daypart_entries);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const DaypartEntry& a, const DaypartEntry& b) { return a.time_code < b.time_code; });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const DaypartEntry& a, const DaypartEntry& b) { return a.time_code == b.time_code; }),
                  entries.end());
    DaypartTable table;
    table.entries_ = std::move(entries);
    return table;
}

const DaypartEntry* DaypartTable::in_force(uint32_t now) const {
    if (entries_.empty()) return nullptr;
    // The latest entry not after now. Before the week's first entry the last
    // entry of the week is still in force: the schedule wraps round the week.
    const DaypartEntry* in_force = &entries_.back();
    for (const DaypartEntry& entry : entries_) {
        if (entry.time_code > now) break;
        in_force = &entry;
    }
    return in_force;
}

Outcome DaypartEditor::add(uint32_t day_item, uint32_t hour, uint32_t minute, std::string_view preset) {
    if (copy_.entries_.size() >= max_daypart_entries)
        return Outcome::failure("A day-part holds at most 20 entries", std::string(editor_title));
    if (!valid_name(preset)) return Outcome::failure("Choose a preset for the entry", std::string(editor_title));
    if (day_item >= editor_days.size() || hour > 23 || minute > 59)
        return Outcome::failure("Choose a day, an hour and a minute", std::string(editor_title));
    const uint32_t code = time_code(day_of_editor_item(day_item), hour, minute);
    auto& entries = copy_.entries_;
    const auto at = std::lower_bound(entries.begin(), entries.end(), code,
                                     [](const DaypartEntry& e, uint32_t c) { return e.time_code < c; });
    if (at != entries.end() && at->time_code == code)
        return Outcome::failure("An entry with that day and time already exists", std::string(editor_title));
    entries.insert(at, DaypartEntry{code, std::string(preset)});
    changed_ = true;
    return Outcome::success();
}

Outcome DaypartEditor::remove(size_t position) {
    if (position >= copy_.entries_.size()) return Outcome::refused();
    copy_.entries_.erase(copy_.entries_.begin() + static_cast<std::ptrdiff_t>(position));
    changed_ = true;
    return Outcome::success();
}

}  // namespace torvalen::params
