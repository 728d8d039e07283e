// "Torvalen 5": the input stage, pre-emphasis, equaliser and output stage of "Torvalen
// One", with a two-band AGC (the four upper bands "MH" and the bass band "B", linked)
// on the split bands, a band limiter built from a smoothed peak limiter, a platform and a
// downward expander, and a smoothed wideband limiter with an optional platform. Its
// 263-record control table binds 198 value slots; its meter array holds 77 values.
//
// Threads and locks: see ChainProcessor.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "dsp/chain_processor.h"
#include "dsp/multiband.h"

namespace torvalen::dsp {

namespace five_slot {
inline constexpr uint32_t bass_on = 11, bass_latency = 12, bass_timing = 13, bass_boost = 14;
// AGC pairs: MH first, then B.
inline constexpr uint32_t agc_enable = 41, agc_gate = 42, agc_primary = 43, agc_output = 45, agc_attack = 47,
                          agc_release = 49, agc_drive = 51, agc_max_boost = 53, agc_link = 55;
inline constexpr uint32_t mb_filter = 56, mb_latency = 57;
inline constexpr uint32_t compressor_offset = 6;  // compressor and enhancer: "Torvalen One" slot + 6
inline constexpr uint32_t expander_enable = 116, mbl_drive = 117, platform_enable = 118, mbl_band_drive = 119,
                          mbl_bias = 124, expander_attack = 129, expander_release = 134, mbl_attack = 139,
                          mbl_release = 144, plat_attack = 149, plat_release = 154, expander_threshold = 159,
                          expander_depth = 164, mbl_clip = 169;
inline constexpr uint32_t lim_drive = 174, lim_attack = 175, lim_release = 176, lim_plat_attack = 177,
                          lim_plat_release = 178, lim_plat = 179, lim_clip_drive = 180, lim_clip_release = 181;
inline constexpr uint32_t pre_emphasis = 186, enable = 197;
inline constexpr uint32_t count = 198;
}  // namespace five_slot

inline constexpr uint32_t processor_five_record_count = 263;
inline constexpr uint32_t processor_five_meter_count = 77;

std::span<const params::ControlRecord> processor_five_table();
const ProcessorIdentity& processor_five_identity();

class ProcessorFive final : public ChainProcessor {
public:
    // Opens or creates "MBL5_Torvalen-v4.0.0" under the instance key, binds the table
    // and loads the current preset. Sets bit 0 of `error` and returns nullptr on failure.
    // `factory_presets`: the folder of the factory preset files offered to its
    // preset bar (empty: none).
    static std::unique_ptr<ProcessorFive> create(const SettingsKey& instance_key, uint32_t& error,
                                               const std::filesystem::path& factory_presets = {});

    // ---- Read-outs for tests (engine thread or after it stopped) ----
    float agc_gain_mh() const { return agc_.gain[0]; }
    float agc_gain_b() const { return agc_.gain[1]; }
    bool agc_gate_closed() const { return agc_.gate_closed; }

private:
    ProcessorFive();

    void configure(const SlotView& slots) override;
    int run(float* bus4, uint32_t frames) override;
    void meters(float* values, bool enabled) override;
    void reset_meters() override;

    void agc(BandFrame* bands, std::size_t frames);
    void limit_bands(BandFrame* s, PendingGains* g, std::size_t count);  // `count` consecutive sub-samples
    void wideband(std::size_t first, float* channel_gains, std::size_t count);

    // Index 0: MH (H2, H1, M2, M1), 1: B.
    struct AgcParams {
        bool enable = true;
        float gate = 0.001f;
        std::array<float, 2> primary_rate{}, attack_rate{}, release_rate{}, output{}, drive{}, max_boost{};
        float link = 0.316f;
    };
    struct AgcState {
        float gate_detector = 0.0f;
        bool gate_closed = true;
        std::array<float, 2> mean_square{4618335383715840.0f, 4618335383715840.0f};  // (10 T)^2
        std::array<float, 2> envelope{67958336.0f, 67958336.0f};                     // 10 T
        std::array<float, 2> gain{0.1f, 0.1f};
    };
    // Band values in eight lanes (five bands, three padding lanes whose values keep them
    // at gain 1 and sample 0: drive 0, levels 1, rates 0, rises 1), two 4-wide vectors.
    using Lanes = std::array<float, band_lanes>;
    struct LimiterParams {
        alignas(16) Lanes drive{}, reference{}, expander_level{}, expander_floor{}, clip{};
        alignas(16) Lanes expander_attack{}, expander_release{}, attack{}, release_rise{}, plat_attack{},
            plat_release_rise{};
        bool expander = true, platform = true, clip_bands = true;
        float lim_drive = 1.0f, clip_drive = 1.0f;
        float lim_attack = 0, lim_release_rise = 1, lim_plat_attack = 0, lim_plat_release_rise = 1;
        bool lim_platform = true;
    };
    struct BandState {
        float expander = 0.0f, smooth = 1.0f, platform = 1.0f;
    };
    struct BandLanesState {  // the band limiters, lane per band
        alignas(16) Lanes expander{}, smooth, platform;
        BandLanesState() {
            smooth.fill(1.0f);
            platform.fill(1.0f);
        }
    };
    struct GainMinimum {  // meter holders
        float l = 1.0f, r = 1.0f, both = 1.0f, platform = 1.0f;
    };
    struct BandMeters {  // per-band meter holders, lanes as above
        alignas(16) Lanes l, r, both, platform;
        BandMeters() { reset(); }
        void reset() {
            l.fill(1.0f);
            r.fill(1.0f);
            both.fill(1.0f);
            platform.fill(1.0f);
        }
    };

    AgcParams agc_params_;
    AgcState agc_;
    LimiterParams lim_;
    BandLanesState band_{};
    BandState wide_{};
    BandMeters band_meter_{};
    GainMinimum wide_meter_{};
    std::array<float, 2 * oversampling * MultibandSection::stage_frames> band_sums_{};  // per sub-sample: left, right

    InputStage input_;
    PreEmphasis pre_emphasis_;
    ParametricEq eq_;
    MultibandSection multiband_;
    OutputStage output_;
};

}  // namespace torvalen::dsp
