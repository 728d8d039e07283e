// What "Torvalen One" and "Torvalen 5" share as modules: the value slots bound to an
// own copy of the control table, the set/get callbacks under the processor's own lock,
// the control set and preset bar in the processor's settings key, the per-block entry
// (source and failsafe, bus 4, "Processor Enable"), the latency report and the meter
// hand-off.
//
// Threads and locks:
// - control thread (and the preset bar's scheduler): set_value/get_value take lock_
//   around the table rule on slots_;
// - engine thread: process() only tries lock_ to copy slots_ into engine_slots_ when
//   they changed; when the lock is busy it runs the block on the last copy. Everything
//   else it touches is its own;
// - any thread: latency_samples(), take_meters() (one reader), failsafe_hand_off().
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "dsp/chain_stages.h"
#include "dsp/control_records.h"
#include "engine/module.h"
#include "engine/settings_store.h"
#include "measure/latest.h"
#include "params/control_set.h"
#include "params/control_table.h"
#include "params/preset_bar.h"

namespace torvalen::dsp {

// A processor's meter values of one tick (76 for "Torvalen One", 77 for "Torvalen 5").
struct ProcessorMeters {
    static constexpr uint32_t capacity = 77;
    uint32_t count = 0;
    std::array<float, capacity> value{};
    std::span<const float> values() const { return {value.data(), count}; }
};

// The constant description of one processor type.
struct ProcessorIdentity {
    std::string_view module_name;  // "Torvalen One"
    std::string_view key_name;     // "Torvalen One-v1.0.0"
    std::span<const params::ControlRecord> table;  // template table
    uint32_t slot_count = 0;
    uint32_t meter_count = 0;
    uint32_t enable_slot = 0;  // "Processor Enable"
};


// Read access to a slot array: dB controls are linear factors, timing controls and
// lists are integers.
class SlotView {
public:
    explicit SlotView(std::span<const float> slots) : s_(slots) {}
    float factor(uint32_t slot) const { return s_[slot]; }
    uint32_t u(uint32_t slot) const;
    int timing(uint32_t slot) const { return static_cast<int>(u(slot)); }
    bool on(uint32_t slot) const { return u(slot) != 0; }
    params::FilterBand band(uint32_t slot) const;

private:
    std::span<const float> s_;
};

// The input stage's, equaliser's and output stage's parameters from the shared slots;
// `output_first` is the slot of "Pre Emphasis" time constant (157 or 186), from which
// de-emphasis, power limiter and "Processor Enable" follow in the same order.
struct SharedParams {
    SourceParams source;
    InputParams input;
    float input_level = 1.0f;
    uint32_t emphasis_mode = 0, emphasis_time_constant = 0;
    bool eq_enable = false;
    std::array<params::FilterBand, ParametricEq::bands> eq{};
    OutputParams output;
    bool enabled = true;
};
SharedParams decode_shared(const SlotView& v, uint32_t bass_on, uint32_t bass_timing, uint32_t bass_boost,
                           uint32_t bass_latency, uint32_t output_first);

class ChainProcessor : public ProcessorModule, private params::ParameterCallbacks {
public:
    ~ChainProcessor() override;
    ChainProcessor(const ChainProcessor&) = delete;
    ChainProcessor& operator=(const ChainProcessor&) = delete;

    // ---- Engine thread ----
    void process(const Buses& buses, bool tick) final;
    void clear_meters() override;
    // Without a display (a render) the input and output level meters are not measured;
    // nothing else reads them.
    void set_meters_shown(bool shown) override { meters_shown_.store(shown, std::memory_order_relaxed); }

    // ---- Any thread ----
    // Samples of delay at 48 kHz through the chain as counted in the last frame; 0 while
    // "Processor Enable" is off (bus 4 is then the source itself).
    uint32_t latency_samples() const final { return latency_.load(std::memory_order_relaxed); }
    bool take_meters(ProcessorMeters& meters) { return meters_.take(meters); }
    FailsafeHandOff& failsafe_hand_off() { return hand_off_; }
    const ProcessorIdentity& identity() const { return identity_; }
    // The source stage's failsafe state (engine thread, or after it stopped).
    const SourceStage& source_stage() const { return source_; }

    // ---- Control thread ----
    void set_unlocked(bool unlocked) override;
    void save_settings() override;
    // The page callbacks: false for an index past the table or a record without a
    // value; set returns true when the stored value changed.
    bool set_value(uint32_t index, float display);
    bool get_value(uint32_t index, float& display);
    params::ControlSet& controls() { return *controls_; }
    params::PresetBar& preset_bar() { return *bar_; }
    params::PresetBar* module_presets() override { return bar_.get(); }
    // The current value slots (a copy, under the lock).
    std::vector<float> slots();

protected:
    explicit ChainProcessor(const ProcessorIdentity& identity);
    // Opens the settings key, copies and binds the table, builds the control set and the
    // preset bar (which loads the current preset). Sets bit 0 of `error` on failure.
    // `factory_presets` is the folder of factory preset files (empty: none).
    bool build(const SettingsKey& instance_key, uint32_t& error, const std::filesystem::path& factory_presets);

    // Engine-thread hooks. configure() sees every new set of slots before the frames
    // that use them; run() processes `frames` frames of bus 4 in place and returns the
    // latency counted in the last frame; meters() fills the meter values of a tick.
    virtual void configure(const SlotView& slots) = 0;
    virtual int run(float* bus4, uint32_t frames) = 0;
    virtual void meters(float* values, bool enabled) = 0;
    virtual void reset_meters() = 0;

    LevelHolders input_meter_;
    // Whether the level meters are measured (see set_meters_shown), for run().
    bool level_meters() const { return meters_shown_.load(std::memory_order_relaxed); }

private:
    bool set_parameter(uint32_t index, float display) override;
    bool get_parameter(uint32_t index, float& display) override;

    const ProcessorIdentity& identity_;
    std::mutex lock_;  // guards slots_, table_, changed_
    std::vector<float> slots_;
    std::vector<params::ControlRecord> table_;
    bool changed_ = true;

    // Engine thread.
    std::vector<float> engine_slots_;
    SharedParams shared_;
    SourceStage source_;
    bool have_slots_ = false;

    std::atomic<uint32_t> latency_{0};
    std::atomic<bool> clear_request_{false};
    std::atomic<bool> meters_shown_{true};
    measure::Latest<ProcessorMeters> meters_;
    FailsafeHandOff hand_off_;

    std::unique_ptr<params::ControlSet> controls_;
    std::unique_ptr<params::PresetBar> bar_;

protected:
    // Decoded shared parameters (engine thread; valid inside configure/run).
    const SharedParams& shared() const { return shared_; }
    void set_shared(const SharedParams& p) { shared_ = p; }
};

}  // namespace torvalen::dsp
