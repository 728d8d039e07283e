// Sound Out: the module that delivers an instance's programme to the device output
// (bus 5). At 48 kHz a plain stereo output stage; at 192 kHz, with "Input Mode" on
// "MPX", a complete FM stereo multiplex with pilot, MPX power control, delay and
// the RDS sub-carrier from its own modulator thread.
//
// Threads and locks:
// - control thread: set_value/get_value take the module lock around the table
//   rule; the preset bar and the control set call them; status_lines() reads the
//   parameters under the module lock and the RDS texts under the content lock.
// - engine thread: process() only ever tries the module lock to refresh its copy
//   of the parameters (a set in progress leaves the last copy for one block); it
//   reads RDS samples from the modulator's double bank without any lock and
//   publishes meter frames through a lock-free hand-off.
// - RDS modulator thread and TA service thread: see their headers.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "broadcast/compliance.h"
#include "broadcast/mpx.h"
#include "broadcast/rds_content.h"
#include "broadcast/rds_modulator.h"
#include "broadcast/sound_out_settings.h"
#include "broadcast/ta_service.h"
#include "dsp/detectors.h"
#include "dsp/rate_convert.h"
#include "engine/module.h"
#include "measure/latest.h"
#include "params/control_set.h"
#include "params/preset_bar.h"

namespace torvalen::broadcast {

// The 18-value meter frame: input true peak L/R, peak envelope L/R, RMS L/R (dB);
// loudness twice (LKFS); power-control gain (dB); MPX power (dB); deviation L, R
// (plain); output true peak L/R, peak envelope L/R, RMS L/R (dB).
using SoundOutMeters = std::array<float, 18>;

struct SoundOutOptions {
    RdsClock* clock = nullptr;         // nullptr: the system clock
    bool start_preset_bar = true;      // false: no preset bar (benchmarks)
    // The instance's Now Playing object, read by RDS item 0 (nullptr: none).
    const NowPlayingModule* now_playing = nullptr;
};

class SoundOut final : public BusModule, private params::ParameterCallbacks {
public:
    // Opens or creates "Sound Out-v2.0.0" under the instance key, builds every DSP
    // object (the 17 MB delay line included), loads the RDS content, starts the
    // RDS modulator (and the TA service when it auto-starts) and the preset bar.
    // Sets bit 0 of `error` and returns nullptr when anything fails.
    static std::unique_ptr<SoundOut> create(const SettingsKey& instance_key, uint32_t& error,
                                            SoundOutOptions options = {});
    // Stops the TA service and the modulator, saves the RDS content and the preset bar.
    ~SoundOut() override;

    SoundOut(const SoundOut&) = delete;
    SoundOut& operator=(const SoundOut&) = delete;

    // ---- Engine thread ----
    void process(const Buses& buses, bool tick) override;
    void clear_meters() override;
    void set_meters_shown(bool shown) override { meters_shown_.store(shown, std::memory_order_relaxed); }

    // ---- Control thread ----
    void set_unlocked(bool unlocked) override;
    void save_settings() override;
    // The table callbacks: false for an index >= 39 or a record without a value.
    bool set_value(uint32_t index, float display);
    bool get_value(uint32_t index, float& display);
    SoundOutParams params();

    params::ControlSet& controls() { return *controls_; }
    params::PresetBar* preset_bar() { return preset_bar_.get(); }
    params::PresetBar* module_presets() override { return preset_bar_.get(); }
    RdsContent& rds_content() { return content_; }
    RdsModulator& rds_modulator() { return *modulator_; }
    TaService& ta_service() { return ta_; }
    // Starts the TA service with the content's port and time-out.
    bool start_ta_service(bool loopback_only = false);
    // Stores the RDS content under the module key (after a dialog changed it).
    bool save_rds_content() { return content_.save(key_); }

    // True while the multiplex is built: "MPX" chosen and the device at 192 kHz.
    bool multiplex_on_air();

    // Status pane lines, and a counter that moves whenever they may have changed.
    std::vector<std::string> status_lines();
    uint32_t status_version() const;

    // ---- Interface thread (one reader) ----
    bool take_meters(SoundOutMeters& meters) { return meters_.take(meters); }
    // The compliance log's multiplex figures (one closing thread).
    ComplianceMeter& compliance() { return compliance_; }

private:
    SoundOut(const SettingsKey& key, const SoundOutOptions& options);

    bool set_parameter(uint32_t index, float display) override { return set_value(index, display); }
    bool get_parameter(uint32_t index, float& display) override { return get_value(index, display); }

    struct Block;  // per-block constants of the MPX path
    void stage_48k(float l, float r, float* out, const Block& b);
    // The 192 kHz path over a run of n <= mpx_run_frames frames (each stage over the
    // whole run before the next); writes n interleaved frames to `out`.
    void mpx_run(const float* l, const float* r, std::size_t n, float* out, const Block& b);
    void output_stage(float& l, float& r, const Block& b);
    void hold_deviation(bool mpx);
    void publish_meters();
    void reset_held();

    SettingsKey key_;

    std::mutex lock_;         // the module lock
    SoundOutParams params_;   // under lock_
    SoundOutParams engine_;   // engine thread's copy

    // Off in offline work: the 48 kHz path then skips its level and loudness meters
    // (the multiplex path keeps its measurements, which the compliance log takes).
    std::atomic<bool> meters_shown_{true};

    // Engine thread state.
    const CarrierRuns& carriers_;
    uint32_t carrier_index_ = 0;  // pilot index of the next frame
    MpxUpsampler upsampler_;
    dsp::Decimator decimator_;
    dsp::TruePeakRun deviation_;  // 192 kHz output frames gathered for the deviation meter
    LoudnessMeter loudness_48_{false};
    LoudnessMeter loudness_192_{true};
    dsp::LevelDetector in_48_{48000.0}, out_48_{48000.0}, in_192_{192000.0}, out_192_{192000.0};
    PowerController power_;
    PowerAverage power_meter_;
    VariableDelay delay_;
    std::array<float, 6> held_in_{}, held_out_{};
    float held_loudness_ = -100.0f;
    float held_mpx_square_ = 0.0f;  // largest averaged MPX square since the last meter frame
    std::array<float, 2> held_deviation_{};
    measure::Latest<SoundOutMeters> meters_;
    ComplianceMeter compliance_;
    std::atomic<uint32_t> last_rate_{0};
    std::atomic<uint32_t> status_changes_{0};

    RdsContent content_;
    std::unique_ptr<RdsModulator> modulator_;
    TaService ta_;
    std::unique_ptr<params::ControlSet> controls_;
    std::unique_ptr<params::PresetBar> preset_bar_;
};

}  // namespace torvalen::broadcast
