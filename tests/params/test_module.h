// A stand-in module for parameter tests: a parameter block, an offset table that
// uses most kinds, the set/get callbacks under the module's own lock, and a
// real settings store in a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

#include "engine/settings_store.h"
#include "params/control_set.h"
#include "params/control_table.h"

namespace torvalen::params::testing {

namespace fs = std::filesystem;

struct TestParams {
    float gain = 0.0f;
    float attack = 0.0f;
    uint32_t power = 0;
    FilterBand band;
    float phase[2] = {0.0f, 0.0f};
    uint32_t delay = 0;
    uint32_t width = 0;
    float pilot = 0.0f;
    float lowpass = 0.0f;
};

using K = ControlKind;
inline constexpr std::string_view test_version = "Test Module-v1.0.0";

// Index:                          0..
inline constexpr ControlRecord test_table[] = {
    {"Input", K::page},                                                                           // 0
    {"Levels", K::group},                                                                         // 1
    {"Gain (dB)", K::gain_db, 0, offsetof(TestParams, gain), -40, 0, 0.5f, -10, -35, 5},          // 2
    {"Attack", K::gain_db, 0, offsetof(TestParams, attack), 0, 20, 1, 3, 0, -20},                 // 3
    {"Off\nOn\n", K::list, 0, offsetof(TestParams, power), 0, 1, 1, 1, 0, 1},                     // 4
    {"EQ", K::group},                                                                             // 5
    {"Freq", K::band_frequency, 0, offsetof(TestParams, band), 20, 20000, 1, 1000, 20, 20000},    // 6
    {"Q", K::band_q, 0, offsetof(TestParams, band) + band_q_offset, 0.5f, 10, 0.1f, 1, 0.5f, 10},  // 7
    {"Gain", K::band_gain_db, 0, offsetof(TestParams, band) + band_gain_offset, -12, 12, 0.5f, 0, -12, 12},  // 8
    {"Output", K::page},                                                                          // 9
    {"Stereo", K::group},                                                                         // 10
    {"Phase", K::phase, 0, offsetof(TestParams, phase), -180, 180, 1, 0, -180, 180},              // 11
    {"Delay", K::delay, 0, offsetof(TestParams, delay), 0, 10000, 1, 0, 0, 1920000},              // 12
    {"Width", K::half_step, 0, offsetof(TestParams, width), 5, 15, 0.5f, 10, 10, 30},             // 13
    {"MPX", K::group},                                                                            // 14
    {"Pilot Amp (%)", K::scaled, 0, offsetof(TestParams, pilot), 0, 15, 0.1f, 9, 0, 0.15f},       // 15
    {"Lowpass", K::frequency, 0, offsetof(TestParams, lowpass), 20, 24000, 1, 15000, 20, 24000},  // 16
};
inline constexpr uint32_t gain_index = 2, attack_index = 3, power_index = 4, band_freq_index = 6, band_q_index = 7,
                          band_gain_index = 8, phase_index = 11, delay_index = 12, width_index = 13,
                          pilot_index = 15, lowpass_index = 16;

class TestModule : public ParameterCallbacks {
public:
    bool set_parameter(uint32_t index, float display) override {
        std::lock_guard lock(lock_);
        ++set_calls;
        return set_by_rule(test_table, TableStyle::offset, block(), index, display);
    }
    bool get_parameter(uint32_t index, float& display) override {
        std::lock_guard lock(lock_);
        return get_by_rule(test_table, TableStyle::offset, std::as_bytes(std::span(&params, 1)), index, display);
    }
    std::span<std::byte> block() { return std::as_writable_bytes(std::span(&params, 1)); }

    // The display value the module reports; fails the test when there is none.
    float value(uint32_t index) {
        float display = 0.0f;
        EXPECT_TRUE(get_parameter(index, display)) << "index " << index;
        return display;
    }

    TestParams params;
    std::atomic<int> set_calls{0};

private:
    std::mutex lock_;
};

// A module with its control set, enabled (instance unlocked).
struct TestControls {
    TestModule module;
    std::unique_ptr<ControlSet> controls;

    TestControls() {
        std::string error;
        controls = ControlSet::create(test_table, module, "Test Module", true, error);
        EXPECT_TRUE(controls) << error;
        controls->set_enabled(true);
    }
};

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "params_test.XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A real store in a temporary folder; reopen() closes and opens the file again,
// as a restart does.
class TestStore {
public:
    TestStore() { reopen(); }
    void reopen() {
        store_.reset();
        std::string error;
        store_ = SettingsStore::open(dir_.path() / "settings.db", error);
        EXPECT_TRUE(store_) << error;
    }
    SettingsKey module_key() { return *store_->root().create(test_version); }
    const fs::path& dir() const { return dir_.path(); }

private:
    TempDir dir_;
    std::unique_ptr<SettingsStore> store_;
};

inline std::string file_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void put_file(const fs::path& file, std::string_view text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace torvalen::params::testing
