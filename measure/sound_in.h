// The Sound In module: the device input seen through bus 0. It has no parameters; it
// owns its settings key "Sound In-v1.0.0" (holding no values) and meters bus 0 with the
// level detector matching the bus rate, publishing the six levels of its "Input" meter
// group once per meter tick.
//
// Threads: measure() and clear_meters() run on the engine thread (clear_meters also
// from the device thread while the engine is paused); take_meters() on the interface
// thread, lock-free.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "dsp/detectors.h"
#include "engine/module.h"
#include "engine/settings_store.h"
#include "measure/latest.h"

namespace torvalen::measure {

inline constexpr const char* sound_in_key_name = "Sound In-v1.0.0";

// True peak L/R, peak envelope L/R, RMS L/R, in dBFS.
using SoundInMeters = std::array<float, 6>;

class SoundIn final : public SoundInModule {
public:
    // Opens or creates the module key; sets bit 0 of `error` and returns nullptr when
    // it cannot.
    static std::unique_ptr<SoundIn> create(const SettingsKey& instance_key, uint32_t& error);

    void measure(std::span<const float> bus0, uint32_t rate_Hz, bool tick) override;
    void set_meters_shown(bool shown) override { shown_.store(shown, std::memory_order_relaxed); }
    void clear_meters() override;

    bool take_meters(SoundInMeters& meters) { return meters_.take(meters); }
    const SettingsKey& key() const { return key_; }

private:
    std::atomic<bool> shown_{true};  // measuring is all this module does
    explicit SoundIn(const SettingsKey& key) : key_(key) { holders_.fill(1.0f); }

    SettingsKey key_;
    dsp::LevelDetector meter_48_{48000.0};
    dsp::LevelDetector meter_192_{192000.0};
    std::array<float, 6> holders_{};
    Latest<SoundInMeters> meters_;
};

}  // namespace torvalen::measure
