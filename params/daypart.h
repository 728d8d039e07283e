// Day-parts: a weekly schedule of presets of one module. Time codes, the
// 20-entry table kept in ascending time order, the editor's add and delete rules
// (on a copy of the table), and which entry is in force at a given time.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/control_set.h"

namespace torvalen::params {

inline constexpr size_t max_daypart_entries = 20;

// (day + 1) * 65536 + hour * 256 + minute, day 0 = Sunday to 6 = Saturday.
constexpr uint32_t time_code(uint32_t day, uint32_t hour, uint32_t minute) {
    return (day + 1) * 65536 + hour * 256 + minute;
}
inline constexpr uint32_t first_time_code = time_code(0, 0, 0);  // Sunday 00:00
inline constexpr uint32_t last_time_code = time_code(6, 23, 59);  // Saturday 23:59

// True for the code of a real weekly time: a day from Sunday to Saturday, an
// hour up to 23 and a minute up to 59.
constexpr bool valid_time_code(uint32_t code) {
    const uint32_t day = code >> 16, hour = (code >> 8) & 0xFF, minute = code & 0xFF;
    return day >= 1 && day <= 7 && hour <= 23 && minute <= 59;
}

// The time code of a broken-down local time (tm_wday, tm_hour, tm_min).
uint32_t time_code_of(const std::tm& local);
// "Monday 06:00" style text for a time code (for lists); "?" parts for codes
// outside the week.
std::string time_code_text(uint32_t code);

// The editor's day list, Monday first, and the day number each item stands for.
inline constexpr std::array<std::string_view, 7> editor_days = {"Monday", "Tuesday", "Wednesday", "Thursday",
                                                                 "Friday", "Saturday", "Sunday"};
constexpr uint32_t day_of_editor_item(uint32_t item) { return item == 6 ? 0 : item + 1; }

struct DaypartEntry {
    uint32_t time_code = 0;
    std::string preset;

    bool operator==(const DaypartEntry&) const = default;
};

// At most 20 entries in ascending time-code order, no two with equal codes.
class DaypartTable {
public:
    DaypartTable() = default;
    // Entries as read from a store or file: cut to 20, put in ascending order;
    // of entries with equal time codes the first is kept.
    static DaypartTable from_entries(std::vector<DaypartEntry> entries);

    const std::vector<DaypartEntry>& entries() const { return entries_; }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // The entry in force at time code `now`: the latest entry with time <= now;
    // before the first entry of the week the last one (it started the previous
    // week). Nothing for an empty table.
    const DaypartEntry* in_force(uint32_t now) const;

    bool operator==(const DaypartTable&) const = default;

private:
    friend class DaypartEditor;
    std::vector<DaypartEntry> entries_;
};

// The "Edit Dayparts" dialog's model: works on a copy of the table.
class DaypartEditor {
public:
    explicit DaypartEditor(DaypartTable table) : copy_(std::move(table)) {}

    // Adds an entry for day list item `day_item` (0 = Monday ... 6 = Sunday),
    // hour and minute. Refused when the copy is full, no valid preset name is
    // given, the time is out of range or an entry with that time exists.
    Outcome add(uint32_t day_item, uint32_t hour, uint32_t minute, std::string_view preset);
    // Removes entry `position`; later entries move up.
    Outcome remove(size_t position);

    bool changed() const { return changed_; }
    const DaypartTable& table() const { return copy_; }

private:
    DaypartTable copy_;
    bool changed_ = false;
};

}  // namespace torvalen::params
