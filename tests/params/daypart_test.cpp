#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "engine/text.h"
#include "params/daypart.h"
#include "params/preset_bar.h"
#include "params/preset_file.h"
#include "params/profile_file.h"
#include "test_module.h"

namespace torvalen::params {
namespace {

using namespace std::chrono_literals;
using testing::put_file;
using testing::TestControls;
using testing::TestStore;
namespace fs = std::filesystem;

constexpr uint32_t sunday = 0, monday = 1, wednesday = 3, friday = 5, saturday = 6;

TEST(TimeCodes, CountFromSunday) {
    EXPECT_EQ(time_code(sunday, 0, 0), 0x10000u);
    EXPECT_EQ(time_code(saturday, 23, 59), 0x7173Bu);
    EXPECT_EQ(time_code(monday, 6, 0), 0x20600u);
    EXPECT_EQ(time_code(friday, 18, 0), 0x61200u);
    std::tm local{};
    local.tm_wday = 3;
    local.tm_hour = 12;
    local.tm_min = 30;
    EXPECT_EQ(time_code_of(local), time_code(wednesday, 12, 30));
    EXPECT_EQ(time_code_text(0x20600), "Monday 06:00");
    EXPECT_EQ(day_of_editor_item(0), monday);
    EXPECT_EQ(day_of_editor_item(6), sunday);
}

DaypartTable monday_friday() {
    return DaypartTable::from_entries({{time_code(friday, 18, 0), "Evening"}, {time_code(monday, 6, 0), "Morning"}});
}

TEST(DaypartSchedule, EntryInForceOverAWeek) {
    const DaypartTable table = monday_friday();
    ASSERT_EQ(table.entries().front().preset, "Morning") << "kept in time order";
    EXPECT_EQ(table.in_force(time_code(wednesday, 12, 0))->preset, "Morning");
    EXPECT_EQ(table.in_force(time_code(saturday, 10, 0))->preset, "Evening");
    EXPECT_EQ(table.in_force(time_code(sunday, 10, 0))->preset, "Evening") << "before the week's first entry";
    EXPECT_EQ(table.in_force(time_code(monday, 5, 59))->preset, "Evening");
    EXPECT_EQ(table.in_force(time_code(monday, 6, 0))->preset, "Morning");
    EXPECT_EQ(table.in_force(time_code(friday, 17, 59))->preset, "Morning");
    EXPECT_EQ(table.in_force(time_code(friday, 18, 0))->preset, "Evening");

    // Every minute of the week: the latest entry not after now, else the last
    // (it has been in force since the previous week).
    const DaypartTable three = DaypartTable::from_entries(
        {{time_code(monday, 6, 0), "A"}, {time_code(wednesday, 0, 0), "B"}, {time_code(friday, 18, 30), "C"}});
    for (uint32_t day = 0; day < 7; ++day)
        for (uint32_t hour = 0; hour < 24; ++hour)
            for (uint32_t minute = 0; minute < 60; ++minute) {
                const uint32_t now = time_code(day, hour, minute);
                const DaypartEntry* expected = &three.entries().back();
                for (const DaypartEntry& e : three.entries())
                    if (e.time_code <= now) expected = &e;
                ASSERT_EQ(three.in_force(now), expected) << time_code_text(now);
            }
    EXPECT_EQ(DaypartTable().in_force(0x10000), nullptr);
    const DaypartTable one = DaypartTable::from_entries({{time_code(friday, 0, 0), "Only"}});
    EXPECT_EQ(one.in_force(time_code(sunday, 0, 0))->preset, "Only");
}

TEST(DaypartSchedule, TablesFromStoreOrFileAreOrderedAndBounded) {
    std::vector<DaypartEntry> entries;
    for (uint32_t i = 0; i < 25; ++i) entries.push_back({time_code(saturday, 23, 59) - i, "P"});
    entries[3].time_code = entries[2].time_code;  // a duplicate
    const DaypartTable table = DaypartTable::from_entries(entries);
    EXPECT_EQ(table.size(), 19u);
    for (size_t i = 1; i < table.size(); ++i) EXPECT_LT(table.entries()[i - 1].time_code, table.entries()[i].time_code);
}

TEST(DaypartEditorRules, AddAndDeleteOnACopy) {
    const DaypartTable original = monday_friday();
    DaypartEditor editor(original);
    EXPECT_FALSE(editor.add(0, 6, 0, "Other").ok) << "Monday 06:00 exists";
    EXPECT_FALSE(editor.add(2, 7, 0, "").ok) << "no preset chosen";
    EXPECT_FALSE(editor.add(2, 7, 0, std::string(64, 'p')).ok);
    EXPECT_FALSE(editor.add(7, 7, 0, "P").ok);
    EXPECT_FALSE(editor.changed());
    ASSERT_TRUE(editor.add(6, 9, 30, "Sunday").ok);  // Sunday comes first in time order
    ASSERT_TRUE(editor.add(2, 12, 0, "Midweek").ok);
    EXPECT_TRUE(editor.changed());
    std::vector<std::string> order;
    for (const auto& e : editor.table().entries()) order.push_back(e.preset);
    EXPECT_EQ(order, (std::vector<std::string>{"Sunday", "Morning", "Midweek", "Evening"}));
    EXPECT_EQ(original.size(), 2u) << "the editor works on a copy";

    ASSERT_TRUE(editor.remove(1).ok);
    EXPECT_EQ(editor.table().entries()[1].preset, "Midweek");
    EXPECT_FALSE(editor.remove(3).ok);

    DaypartEditor full{DaypartTable()};
    for (uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(full.add(i % 7, i / 7, 0, "P").ok) << i;
    const Outcome refused = full.add(6, 23, 59, "P");
    EXPECT_FALSE(refused.ok) << "a 21st entry";
    EXPECT_FALSE(refused.message.empty());
    EXPECT_EQ(full.table().size(), 20u);
}

// A clock the test sets by hand; the scheduler thread waits `interval` between passes.
class ManualClock : public SchedulerClock {
public:
    uint32_t local_time_code() override { return now.load(); }
    std::chrono::milliseconds pass_interval() const override { return interval; }
    std::atomic<uint32_t> now{time_code(sunday, 0, 0)};
    std::chrono::milliseconds interval{1000};
};

// Records every load the bar reports.
class LoadLog : public PresetBarObserver {
public:
    void preset_loaded(std::string_view name, bool by_scheduler) override {
        std::lock_guard lock(mutex_);
        loads_.emplace_back(std::string(name), by_scheduler);
        changed_.notify_all();
    }
    std::vector<std::pair<std::string, bool>> loads() {
        std::lock_guard lock(mutex_);
        return loads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, bool>> loads_;
};

struct DaypartFixture {
    TestControls t;
    ManualClock clock;
    LoadLog log;
    std::unique_ptr<PresetBar> bar;

    explicit DaypartFixture(TestStore& store) { open(store); }
    void open(TestStore& store) {
        PresetBarOptions options;
        options.version = std::string(testing::test_version);
        options.dayparts_offered = true;
        options.default_folder = store.dir();
        options.clock = &clock;
        options.observer = &log;
        bar = std::make_unique<PresetBar>(*t.controls, store.module_key(), options);
        bar->set_enabled(true);
    }
    // Two presets told apart by their delay value.
    void save_presets() {
        t.controls->set(testing::delay_index, 600.0f);
        ASSERT_TRUE(bar->save_preset("Morning").ok);
        t.controls->set(testing::delay_index, 1800.0f);
        ASSERT_TRUE(bar->save_preset("Evening").ok);
    }
    void schedule(DaypartTable table) {
        DaypartEditor editor{DaypartTable()};
        for (const DaypartEntry& e : table.entries()) {
            const uint32_t day = (e.time_code >> 16) - 1;
            ASSERT_TRUE(editor.add(day == 0 ? 6 : day - 1, (e.time_code >> 8) & 0xFF, e.time_code & 0xFF, e.preset).ok);
        }
        ASSERT_TRUE(bar->accept_editor(editor).ok);
    }
    float delay() { return t.module.value(testing::delay_index); }
};

TEST(DaypartStore, SaveAndLoadKeepTheLayout) {
    TestStore store;
    DaypartFixture f(store);
    f.schedule(monday_friday());
    EXPECT_TRUE(f.bar->daypart_modified());
    EXPECT_EQ(f.bar->daypart_save_offer(), SaveOffer::save_as);
    f.bar->set_daypart_notes("weekday plan");
    ASSERT_TRUE(f.bar->save_daypart("Week").ok);
    EXPECT_FALSE(f.bar->daypart_modified());
    EXPECT_EQ(f.bar->current_daypart(), "Week");

    const SettingsKey week = *store.module_key().open("Dayparts")->open("Week");
    std::string text;
    uint32_t value = 0;
    ASSERT_TRUE(week.open("Header")->read_text("Type", text));
    EXPECT_EQ(text, "Daypart3");
    ASSERT_TRUE(week.open("Header")->read_dword("Count", value));
    EXPECT_EQ(value, 2u);
    ASSERT_TRUE(week.open("0")->read_text("FormatFile", text));
    EXPECT_EQ(text, "Morning");
    ASSERT_TRUE(week.open("1")->read_dword("Time", value));
    EXPECT_EQ(value, 0x61200u);

    ASSERT_TRUE(f.bar->set_mode(BarMode::dayparts).ok);
    EXPECT_EQ(f.bar->list(), std::vector<std::string>{"Week"});

    // A count above 20 is cut; entries that are missing, or have no valid time
    // or name, are left out.
    week.open("Header")->write_dword("Count", 500);
    week.open("1")->write_dword("Time", time_code(4294967295u, 25, 96));
    week.create("2")->write_text("FormatFile", "Late");
    DaypartFixture g(store);
    EXPECT_EQ(g.bar->current_daypart(), "Week");
    EXPECT_EQ(g.bar->mode(), BarMode::dayparts);
    ASSERT_EQ(g.bar->daypart_table().size(), 1u);
    EXPECT_EQ(g.bar->daypart_table().entries()[0].preset, "Morning");
    EXPECT_EQ(g.bar->daypart_notes(), "weekday plan");

    week.open("Header")->write_text("Version", "Test Module-v0.1.0");
    EXPECT_FALSE(g.bar->load_daypart("Week").ok);
    ASSERT_TRUE(g.bar->delete_daypart("Week").ok);
    EXPECT_EQ(g.bar->current_daypart(), "");
    EXPECT_TRUE(g.bar->list().empty());
}

TEST(DaypartFiles, ExportImportRoundTripAndFailures) {
    TestStore store;
    DaypartFixture f(store);
    f.schedule(monday_friday());
    f.bar->set_daypart_notes("two\nlines");
    ASSERT_TRUE(f.bar->save_daypart("Week").ok);
    const fs::path file = store.dir() / "week.dpt4";
    ASSERT_TRUE(f.bar->export_daypart(file).ok);
    const std::string text = testing::file_text(file);
    EXPECT_NE(text.find("[Entries]\r\n0_Name=Morning\r\n0_Time=0006020008\r\n"), std::string::npos);

    DaypartFixture g(store);
    ASSERT_TRUE(g.bar->delete_daypart("Week").ok);
    ASSERT_TRUE(g.bar->import_daypart(file).ok);
    EXPECT_EQ(g.bar->daypart_table(), monday_friday());
    EXPECT_EQ(g.bar->daypart_notes(), "two\nlines");
    EXPECT_EQ(g.bar->current_daypart(), "Week");
    EXPECT_TRUE(g.bar->daypart_modified());

    put_file(file, "[Header]\nType=Daypart3\nVersion=Other-v1.0.0\nCount=0100000001\n");
    const Outcome failed = g.bar->import_daypart(file);
    EXPECT_EQ(failed.message, "Import Of Daypartt File Failed");
    EXPECT_EQ(failed.title, "Daypart Import");
    put_file(file, "garbage\x01\x02");
    EXPECT_FALSE(g.bar->import_daypart(file).ok);
    EXPECT_EQ(g.bar->daypart_table(), monday_friday()) << "a failed import changes nothing";

    // Damaged files are refused whole: more entries counted than present, a time
    // failing its checksum, a time outside the week (day 4294967295, 25:96).
    const std::string header = "[Header]\r\nName=Bad\r\nType=Daypart3\r\nVersion=Test Module-v1.0.0\r\n";
    const std::string entry0 = "[Entries]\r\n0_Name=A\r\n0_Time=0006020008\r\n";
    for (const std::string& damaged :
         {header + "Count=0200000002\r\n" + entry0,
          header + "Count=0100000001\r\n[Entries]\r\n0_Name=A\r\n0_Time=0006020009\r\n",
          header + "Count=0100000001\r\n[Entries]\r\n0_Name=A\r\n0_Time=" +
              encode_u32_structure(time_code(4294967295u, 25, 96)) + "\r\n"}) {
        put_file(file, damaged);
        EXPECT_EQ(g.bar->import_daypart(file).message, "Import Of Daypartt File Failed") << damaged;
    }
    EXPECT_EQ(g.bar->daypart_table(), monday_friday());
    EXPECT_EQ(g.bar->current_daypart(), "Week");
    // A count above 20 is cut to the 20 entries it needs.
    std::string twenty = header + "Count=2800000028\r\n[Entries]\r\n";
    for (uint32_t i = 0; i < 20; ++i)
        twenty += text::build("u s u s s s", {i, "_Name=P\r\n", i, "_Time=", encode_u32_structure(time_code(monday, i, 0)),
                                              "\r\n"}).value_or("");
    put_file(file, twenty);
    ASSERT_TRUE(g.bar->import_daypart(file).ok);
    EXPECT_EQ(g.bar->daypart_table().size(), 20u);
}

TEST(DaypartScheduler, LoadsTheScheduledPresetOnlyWhenItChanges) {
    TestStore store;
    DaypartFixture f(store);
    f.save_presets();
    f.schedule(monday_friday());

    f.clock.now = time_code(wednesday, 12, 0);
    f.bar->scheduler_pass();
    EXPECT_EQ(f.bar->current_preset(), "Morning");
    EXPECT_EQ(f.delay(), 600.0f);
    f.bar->scheduler_pass();
    EXPECT_EQ(f.log.loads().size(), 1u) << "the scheduled preset is already current";

    // A preset chosen by hand is replaced on the next pass.
    ASSERT_TRUE(f.bar->choose_preset("Evening").ok);
    f.bar->scheduler_pass();
    EXPECT_EQ(f.bar->current_preset(), "Morning");

    f.clock.now = time_code(saturday, 8, 0);
    f.bar->scheduler_pass();
    EXPECT_EQ(f.bar->current_preset(), "Evening");
    EXPECT_EQ(f.delay(), 1800.0f);

    // A scheduled preset that cannot be loaded leaves the current one.
    ASSERT_TRUE(f.bar->delete_preset("Morning").ok);
    ASSERT_TRUE(f.bar->choose_preset("Evening").ok);
    f.clock.now = time_code(monday, 7, 0);
    f.bar->scheduler_pass();
    EXPECT_EQ(f.bar->current_preset(), "Evening");
    const auto loads = f.log.loads();
    EXPECT_EQ(std::count_if(loads.begin(), loads.end(), [](const auto& l) { return l.second; }), 3);
}

// Steps through the week one hour per pass; then holds the last hour.
class WeekClock : public SchedulerClock {
public:
    uint32_t local_time_code() override {
        std::lock_guard lock(mutex_);
        const uint32_t hour = std::min(step_, 7u * 24 - 1);
        ++step_;
        if (step_ == 7 * 24 + 1) done_.notify_all();
        return time_code(hour / 24, hour % 24, 0);
    }
    std::chrono::milliseconds pass_interval() const override { return 0ms; }
    bool wait_for_week() {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, 60s, [this] { return step_ > 7 * 24; });
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    uint32_t step_ = 0;
};

TEST(DaypartScheduler, ThreadFollowsASimulatedWeek) {
    TestStore store;
    WeekClock week;
    TestControls t;
    LoadLog log;
    PresetBarOptions options;
    options.version = std::string(testing::test_version);
    options.dayparts_offered = true;
    options.default_folder = store.dir();
    options.clock = &week;
    options.observer = &log;
    {
        DaypartFixture setup(store);
        setup.save_presets();
        ASSERT_TRUE(setup.bar->choose_preset("Morning").ok);
        setup.schedule(monday_friday());
        ASSERT_TRUE(setup.bar->save_daypart("Week").ok);
        ASSERT_TRUE(setup.bar->enable_dayparting(true).ok);
        EXPECT_TRUE(setup.bar->dayparting_enabled());
    }
    // Bar creation with dayparting enabled starts the scheduler.
    PresetBar bar(*t.controls, store.module_key(), options);
    bar.set_enabled(true);
    EXPECT_TRUE(bar.dayparting_enabled());
    ASSERT_TRUE(week.wait_for_week());
    ASSERT_TRUE(bar.enable_dayparting(false).ok);
    EXPECT_FALSE(bar.dayparting_enabled());

    // Morning is current at start, but from Sunday 00:00 to Monday 05:00 last
    // week's Friday 18:00 entry (Evening) is in force, then Morning, and from
    // Friday 18:00 Evening again.
    const auto loads = log.loads();
    ASSERT_EQ(loads.size(), 3u);
    EXPECT_EQ(loads[0], std::make_pair(std::string("Evening"), true));
    EXPECT_EQ(loads[1], std::make_pair(std::string("Morning"), true));
    EXPECT_EQ(loads[2], std::make_pair(std::string("Evening"), true));
    EXPECT_EQ(t.module.value(testing::delay_index), 1800.0f);
    uint32_t enabled = 1;
    store.module_key().read_dword_in("Daypart_Enable", enabled);
    EXPECT_EQ(enabled, 0u);
}

}  // namespace
}  // namespace torvalen::params
