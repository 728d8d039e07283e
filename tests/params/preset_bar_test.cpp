#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "params/preset_bar.h"
#include "params/preset_file.h"
#include "params/profile_file.h"
#include "test_module.h"

namespace torvalen::params {
namespace {

using namespace std::chrono_literals;
using testing::file_text;
using testing::put_file;
using testing::TestControls;
using testing::TestModule;
using testing::TestStore;
namespace fs = std::filesystem;

// A module with its control set and preset bar on a test store, unlocked.
struct BarFixture {
    TestControls t;
    std::unique_ptr<PresetBar> bar;

    explicit BarFixture(TestStore& store, PresetBarOptions options = {}) {
        if (options.version.empty()) options.version = std::string(testing::test_version);
        if (options.default_folder.empty()) options.default_folder = store.dir();
        bar = std::make_unique<PresetBar>(*t.controls, store.module_key(), std::move(options));
        bar->set_enabled(true);
    }
    TestModule& module() { return t.module; }
    ControlSet& controls() { return *t.controls; }
    float value(uint32_t index) { return t.module.value(index); }
};

std::optional<SettingsKey> open(SettingsKey key, std::initializer_list<std::string_view> path) {
    std::optional<SettingsKey> at = key;
    for (std::string_view part : path) {
        if (!at) return std::nullopt;
        at = at->open(part);
    }
    return at;
}

std::optional<float> stored_float(SettingsKey key, std::initializer_list<std::string_view> path, std::string_view name) {
    const auto at = open(key, path);
    float value = 0.0f;
    if (!at || !at->read_binary(name, std::as_writable_bytes(std::span(&value, 1)))) return std::nullopt;
    return value;
}

void write_float(SettingsKey key, std::initializer_list<std::string_view> path, std::string_view name, float value) {
    auto at = open(key, path);
    ASSERT_TRUE(at);
    ASSERT_TRUE(at->write_binary(name, std::as_bytes(std::span(&value, 1))));
}

TEST(Presets, SaveWritesTheStoreLayout) {
    TestStore store;
    BarFixture f(store);
    f.controls().set(testing::gain_index, -20.0f);
    ASSERT_TRUE(f.bar->set_notes("Evening\nshow").ok);
    ASSERT_TRUE(f.bar->save_preset("Rock").ok);
    EXPECT_FALSE(f.controls().modified());
    EXPECT_EQ(f.bar->current_preset(), "Rock");

    const SettingsKey key = store.module_key();
    const auto header = open(key, {"Formats", "Rock", "Header"});
    ASSERT_TRUE(header);
    std::string text;
    ASSERT_TRUE(header->read_text("Type", text));
    EXPECT_EQ(text, "Format3");
    EXPECT_EQ(text.size(), 7u) << "written without a NUL";
    ASSERT_TRUE(header->read_text("Version", text));
    EXPECT_EQ(text, testing::test_version);
    uint32_t length = 0;
    ASSERT_TRUE(header->read_dword("Notes Length", length));
    EXPECT_EQ(length, 13u) << "notes and their NUL";
    std::vector<std::byte> notes;
    ASSERT_TRUE(header->read_binary("Notes", notes));
    ASSERT_EQ(notes.size(), 13u);
    EXPECT_EQ(notes.back(), std::byte{0});

    EXPECT_NEAR(*stored_float(key, {"Formats", "Rock", "Input", "Levels"}, "Gain (dB)"), -20.0f, 1e-4);
    EXPECT_EQ(stored_float(key, {"Formats", "Rock", "Input", "Levels"}, "Off\nOn\n"), 1.0f)
        << "a list's value is named by its whole item text";
    EXPECT_EQ(stored_float(key, {"Formats", "Rock", "Output", "MPX"}, "Pilot Amp (%)").has_value(), true);
    ASSERT_TRUE(key.read_text_in("Format_File", text));
    EXPECT_EQ(text, "Rock");
    EXPECT_EQ(f.bar->list(), std::vector<std::string>{"Rock"});
}

TEST(Presets, LoadRestoresValuesNotesAndCleanState) {
    TestStore store;
    BarFixture f(store);
    f.controls().set(testing::delay_index, 250.0f);
    f.controls().set(testing::phase_index, 45.0f);
    f.bar->set_notes("Talk");
    ASSERT_TRUE(f.bar->save_preset("Talk").ok);
    f.controls().set_all_to_defaults();
    f.bar->set_notes("");
    EXPECT_TRUE(f.controls().modified());

    ASSERT_TRUE(f.bar->choose_preset("Talk").ok);
    EXPECT_EQ(f.value(testing::delay_index), 250.0f);
    EXPECT_NEAR(f.value(testing::phase_index), 45.0f, 1e-3);
    EXPECT_EQ(f.bar->notes(), "Talk");
    EXPECT_FALSE(f.controls().modified());
    EXPECT_EQ(f.bar->preset_save_offer(), SaveOffer::none);
}

TEST(Presets, InvalidStoredValuesFallBackToDefaultsAndMarkModified) {
    TestStore store;
    BarFixture f(store);
    ASSERT_TRUE(f.bar->save_preset("P").ok);
    const SettingsKey key = store.module_key();
    write_float(key, {"Formats", "P", "Output", "Stereo"}, "Delay", 20000.0f);  // above 10000
    write_float(key, {"Formats", "P", "Output", "MPX"}, "Lowpass", std::numeric_limits<float>::quiet_NaN());
    write_float(key, {"Formats", "P", "Input", "Levels"}, "Attack", -1.0f);  // below 0
    open(key, {"Formats", "P", "Input", "EQ"})->delete_value("Q");
    const std::byte three[3] = {};
    open(key, {"Formats", "P", "Output", "Stereo"})->write_binary("Width", three);
    // A value in range is taken even when it is not the default.
    write_float(key, {"Formats", "P", "Input", "Levels"}, "Gain (dB)", -33.0f);

    f.controls().set(testing::delay_index, 300.0f);
    f.controls().set(testing::band_q_index, 7.0f);
    f.controls().set(testing::width_index, 14.0f);
    ASSERT_TRUE(f.bar->choose_preset("P").ok);
    EXPECT_EQ(f.value(testing::delay_index), 0.0f);
    EXPECT_EQ(f.value(testing::lowpass_index), 15000.0f);
    EXPECT_NEAR(f.value(testing::attack_index), 3.0f, 1e-4);
    EXPECT_NEAR(f.value(testing::band_q_index), 1.0f, 1e-6);
    EXPECT_EQ(f.value(testing::width_index), 10.0f);
    EXPECT_NEAR(f.value(testing::gain_index), -33.0f, 1e-4);
    EXPECT_TRUE(f.controls().modified());
    EXPECT_EQ(f.bar->preset_save_offer(), SaveOffer::save);

    // A reversed display range counts either way round.
    ControlNode reversed;
    reversed.display_min = 20;
    reversed.display_max = 0;
    reversed.default_value = 5;
    EXPECT_FALSE(checked_value(reversed, 12.0f).fallback);
    EXPECT_TRUE(checked_value(reversed, 21.0f).fallback);
}

TEST(Presets, TypeAndVersionDecideWhetherALoadHappens) {
    TestStore store;
    BarFixture f(store);
    f.controls().set(testing::pilot_index, 3.0f);
    ASSERT_TRUE(f.bar->save_preset("Old").ok);
    ASSERT_TRUE(f.bar->save_preset("Other").ok);
    const SettingsKey key = store.module_key();
    open(key, {"Formats", "Old", "Header"})->write_text("Version", "Test Module-v0.9.0");
    open(key, {"Formats", "Other", "Header"})->write_text("Type", "Format2");
    f.controls().set(testing::pilot_index, 12.0f);

    const Outcome old = f.bar->choose_preset("Old");
    EXPECT_FALSE(old.ok);
    EXPECT_EQ(old.message, "Format Version Mismatch");
    EXPECT_FALSE(f.bar->choose_preset("Other").ok);
    EXPECT_FALSE(f.bar->choose_preset("Missing").ok);
    EXPECT_NEAR(f.value(testing::pilot_index), 12.0f, 1e-5) << "a refused preset changes nothing";
    EXPECT_EQ(f.bar->current_preset(), "Other") << "still the last saved";

    open(key, {"Formats", "Old", "Header"})->delete_value("Version");
    ASSERT_TRUE(f.bar->choose_preset("Old").ok) << "a preset without Version still loads";
    EXPECT_NEAR(f.value(testing::pilot_index), 3.0f, 1e-5);
}

TEST(Presets, NamesAreCheckedAndDeleteClearsTheCurrentName) {
    TestStore store;
    BarFixture f(store);
    for (std::string_view bad : {std::string_view(""), std::string_view("a\\b"), std::string_view("a/b"),
                                 std::string_view("two\nlines")}) {
        const Outcome refused = f.bar->save_preset(bad);
        EXPECT_FALSE(refused.ok);
        EXPECT_FALSE(refused.message.empty());
    }
    EXPECT_FALSE(f.bar->save_preset(std::string(64, 'n')).ok);
    EXPECT_TRUE(f.bar->save_preset(std::string(63, 'n')).ok);
    EXPECT_TRUE(f.bar->list().size() == 1);

    ASSERT_TRUE(f.bar->save_preset("B").ok);
    ASSERT_TRUE(f.bar->save_preset("A").ok);
    EXPECT_EQ(f.bar->list(), (std::vector<std::string>{"A", "B", std::string(63, 'n')}));
    ASSERT_TRUE(f.bar->delete_preset("A").ok);
    EXPECT_EQ(f.bar->current_preset(), "");
    EXPECT_FALSE(f.bar->preset_exists("A"));
    EXPECT_FALSE(f.bar->delete_preset("A").ok);
    ASSERT_TRUE(f.bar->delete_preset("B").ok);
    std::string text = "x";
    store.module_key().read_text_in("Format_File", text);
    EXPECT_EQ(text, "");
}

TEST(Presets, ALockedBarDoesNothing) {
    TestStore store;
    BarFixture f(store);
    ASSERT_TRUE(f.bar->save_preset("P").ok);
    f.bar->set_enabled(false);
    EXPECT_FALSE(f.controls().enabled());
    EXPECT_FALSE(f.bar->save_preset("Q").ok);
    EXPECT_FALSE(f.bar->delete_preset("P").ok);
    EXPECT_FALSE(f.bar->choose_preset("P").ok);
    EXPECT_FALSE(f.bar->export_preset(store.dir() / "x.fmt4").ok);
    EXPECT_FALSE(f.bar->import_preset(store.dir() / "x.fmt4").ok);
    EXPECT_FALSE(f.bar->set_notes("n").ok);
    EXPECT_EQ(f.bar->list(), std::vector<std::string>{"P"});
}

TEST(Presets, BarCreationLoadsTheCurrentPresetAndKeepsSettings) {
    TestStore store;
    {
        BarFixture f(store);
        f.controls().set(testing::width_index, 7.5f);
        f.bar->set_notes("kept");
        ASSERT_TRUE(f.bar->save_preset("Drive").ok);
        ASSERT_TRUE(f.bar->export_preset(store.dir() / "sub.fmt4").ok);
    }
    store.reopen();
    BarFixture g(store);
    EXPECT_EQ(g.bar->current_preset(), "Drive");
    EXPECT_EQ(g.value(testing::width_index), 7.5f);
    EXPECT_EQ(g.bar->notes(), "kept");
    EXPECT_FALSE(g.controls().modified());
    EXPECT_EQ(g.bar->import_export_folder(), store.dir());

    // A current preset that no longer exists leaves the defaults.
    g.bar.reset();
    store.module_key().write_text_in("Format_File", "Gone");
    BarFixture h(store);
    EXPECT_EQ(h.value(testing::width_index), 10.0f);
}

// ---- Files ----

TEST(PresetFiles, ExportThenImportGivesTheSameValuesAndNotes) {
    TestStore store;
    BarFixture f(store);
    f.controls().set(testing::gain_index, -12.5f);
    f.controls().set(testing::power_index, 0.0f);
    f.controls().set(testing::band_freq_index, 4000.0f);
    f.controls().set(testing::phase_index, -90.0f);
    f.controls().set(testing::delay_index, 1234.0f);
    f.bar->set_notes("First line\r\nSecond \\ line\n");
    ASSERT_TRUE(f.bar->save_preset("Night").ok);
    const fs::path file = store.dir() / "night.fmt4";
    ASSERT_TRUE(f.bar->export_preset(file).ok);

    std::vector<float> exported;
    for (uint32_t i = 0; i < std::size(testing::test_table); ++i) {
        float v = 0.0f;
        exported.push_back(f.controls().get(i, v) ? v : -1.0f);
    }

    BarFixture g(store);
    ASSERT_TRUE(g.bar->choose_preset("Night").ok);
    g.controls().set_all_to_defaults();
    g.bar->set_notes("");
    const Outcome imported = g.bar->import_preset(file);
    ASSERT_TRUE(imported.ok) << imported.message;
    for (uint32_t i = 0; i < std::size(testing::test_table); ++i) {
        float v = 0.0f;
        EXPECT_EQ(g.controls().get(i, v) ? v : -1.0f, exported[i]) << "index " << i;
    }
    EXPECT_EQ(g.bar->notes(), "First line\r\nSecond \\ line\n");
    EXPECT_EQ(g.bar->current_preset(), "Night");
    EXPECT_TRUE(g.controls().modified()) << "an import is always offered for saving";
    EXPECT_EQ(g.bar->preset_save_offer(), SaveOffer::save);
}

TEST(PresetFiles, ImportRefusesOtherTypesAndVersionsWithoutTouchingValues) {
    TestStore store;
    BarFixture f(store);
    f.controls().set(testing::pilot_index, 2.0f);
    f.controls().set_modified(false);
    const fs::path file = store.dir() / "p.fmt4";

    put_file(file, "[Header]\nName=X\nType=Format3\nVersion=Test Module-v2.0.0\n[Output]\nMPX_Pilot Amp (%)=0000803FBF\n");
    const Outcome mismatch = f.bar->import_preset(file);
    EXPECT_FALSE(mismatch.ok);
    EXPECT_EQ(mismatch.message, "Format Version Mismatch");
    EXPECT_EQ(mismatch.title, "Error");

    put_file(file, "[Header]\nName=X\nType=Daypart3\nVersion=Test Module-v1.0.0\n[Output]\nMPX_Pilot Amp (%)=0000803FBF\n");
    const Outcome wrong_type = f.bar->import_preset(file);
    EXPECT_EQ(wrong_type.message, "Import Of Preset File Failed");
    EXPECT_EQ(wrong_type.title, "Preset Import");

    for (std::string_view garbage : {std::string_view(""), std::string_view("[Header"),
                                     std::string_view("\x00\xff\x10[]==\n\n=", 11)}) {
        put_file(file, garbage);
        EXPECT_EQ(f.bar->import_preset(file).message, "Import Of Preset File Failed");
    }
    EXPECT_EQ(f.bar->import_preset(store.dir() / "none.fmt4").message, "Import Of Preset File Failed");
    put_file(file, std::string(10u << 20, '['));
    EXPECT_FALSE(f.bar->import_preset(file).ok) << "a 10 MB file";

    EXPECT_NEAR(f.value(testing::pilot_index), 2.0f, 1e-5);
    EXPECT_FALSE(f.controls().modified());
    EXPECT_EQ(f.bar->current_preset(), "");
}

TEST(PresetFiles, FilesFromOtherSystemsAndDamagedValues) {
    TestStore store;
    BarFixture f(store);
    const fs::path file = store.dir() / "hand.fmt4";
    // LF line ends, spaces around "=", a bad checksum, a truncated value, a
    // missing section, a name holding a separator, an oversized notes length.
    put_file(file,
             "[header]\n"
             "Name = Bad/Name\n"
             "Type = Format3\n"
             "Version = Test Module-v1.0.0\n"
             "Notes Length = FFFFFF7F7C\n"
             "Notes = short\n"
             "[Input]\n"
             "Levels_Gain (dB) = 000020C1E1\n"  // -10.0
             "Levels_Attack = 0000A040E1\n"     // 5.0 with a wrong checksum
             "EQ_Q = 0000\n"
             "Levels_Off\\nOn\\n = 0000000000\n");
    const Outcome imported = f.bar->import_preset(file);
    ASSERT_TRUE(imported.ok) << imported.message;
    EXPECT_NEAR(f.value(testing::gain_index), -10.0f, 1e-4);
    EXPECT_NEAR(f.value(testing::attack_index), 3.0f, 1e-4) << "bad checksum: default";
    EXPECT_NEAR(f.value(testing::band_q_index), 1.0f, 1e-6) << "truncated: default";
    EXPECT_EQ(f.value(testing::power_index), 0.0f) << "list key with escaped line breaks";
    EXPECT_EQ(f.value(testing::delay_index), 0.0f) << "missing section: default";
    EXPECT_EQ(f.bar->current_preset(), "") << "a name with a separator is not taken";
    EXPECT_EQ(f.bar->notes(), "short");
}

TEST(PresetFiles, FailedExportLeavesTheOldFile) {
    TestStore store;
    BarFixture f(store);
    const fs::path folder = store.dir() / "out";
    fs::create_directory(folder);
    const fs::path file = folder / "keep.fmt4";
    ASSERT_TRUE(f.bar->export_preset(file).ok);
    const std::string before = file_text(file);
    EXPECT_NE(before.find("Type=Format3"), std::string::npos);
    if (geteuid() != 0) {
        chmod(folder.c_str(), 0555);
        f.controls().set(testing::gain_index, -1.0f);
        EXPECT_FALSE(f.bar->export_preset(file).ok);
        chmod(folder.c_str(), 0755);
        EXPECT_EQ(file_text(file), before);
    }
    EXPECT_EQ(f.bar->import_export_folder(), folder);
}

// ---- Working copy ----

TEST(WorkingCopy, UnsavedValuesSurviveARestart) {
    TestStore store;
    {
        BarFixture f(store);
        f.controls().set(testing::delay_index, 500.0f);
        ASSERT_TRUE(f.bar->save_preset("Base").ok);
        f.controls().set(testing::delay_index, 800.0f);  // not saved
    }
    store.reopen();
    BarFixture g(store);
    EXPECT_EQ(g.bar->current_preset(), "Base");
    EXPECT_EQ(g.value(testing::delay_index), 800.0f);
    EXPECT_TRUE(g.controls().modified());
    EXPECT_EQ(g.bar->list(), std::vector<std::string>{"Base"}) << "the preset list is unaffected";
    float saved = 0.0f;
    ASSERT_TRUE(open(store.module_key(), {"Formats", "Base", "Output", "Stereo"})
                    ->read_binary("Delay", std::as_writable_bytes(std::span(&saved, 1))));
    EXPECT_EQ(saved, 500.0f) << "the preset itself is unchanged";

    // Saving removes the working copy: the next start is clean.
    ASSERT_TRUE(g.bar->save_preset("Base").ok);
    EXPECT_FALSE(store.module_key().open("Working_Copy"));
    g.bar.reset();
    BarFixture h(store);
    EXPECT_FALSE(h.controls().modified());
    EXPECT_EQ(h.value(testing::delay_index), 800.0f);
}

TEST(WorkingCopy, IsWrittenSoonAfterAChangeWithoutAnExit) {
    TestStore store;
    PresetBarOptions options;
    options.working_copy_delay = 10ms;
    BarFixture f(store, options);
    f.controls().set(testing::pilot_index, 4.0f);

    // A second connection sees the working copy while the first bar still runs,
    // as a restart after a power cut would.
    std::string error;
    auto other = SettingsStore::open(store.dir() / "settings.db", error);
    ASSERT_TRUE(other) << error;
    SettingsKey key = *other->root().create(testing::test_version);
    std::optional<float> pilot;
    for (int i = 0; i < 2000 && !pilot; ++i) {
        std::this_thread::sleep_for(5ms);
        pilot = stored_float(key, {"Working_Copy", "Output", "MPX"}, "Pilot Amp (%)");
    }
    ASSERT_TRUE(pilot) << "no working copy written";
    EXPECT_NEAR(*pilot, 4.0f, 1e-5);

    TestControls restarted;
    PresetBarOptions restart_options;
    restart_options.version = std::string(testing::test_version);
    restart_options.default_folder = store.dir();
    PresetBar bar(*restarted.controls, key, restart_options);
    EXPECT_NEAR(restarted.module.value(testing::pilot_index), 4.0f, 1e-5);
    EXPECT_TRUE(restarted.controls->modified());
}

TEST(WorkingCopy, ACleanLoadOrAnotherPresetDiscardsIt) {
    TestStore store;
    {
        BarFixture f(store);
        ASSERT_TRUE(f.bar->save_preset("A").ok);
        f.controls().set(testing::width_index, 6.0f);
        ASSERT_TRUE(f.bar->sync_working_copy());
        EXPECT_TRUE(store.module_key().open("Working_Copy"));
        ASSERT_TRUE(f.bar->choose_preset("A").ok);
        EXPECT_FALSE(store.module_key().open("Working_Copy")) << "a clean load discards it";
        f.controls().set(testing::width_index, 6.0f);
    }
    // A working copy that departs from another preset than the current one is stale.
    store.module_key().write_text_in("Format_File", "B");
    BarFixture g(store);
    EXPECT_EQ(g.value(testing::width_index), 10.0f);
    EXPECT_FALSE(g.controls().modified());
    EXPECT_FALSE(store.module_key().open("Working_Copy"));
}

}  // namespace
}  // namespace torvalen::params
