// "Torvalen One": input stage, wideband AGC, pre-emphasis, parametric equaliser, the
// multiband section with this processor's band limiter (envelope and platform per band,
// per-channel clip) and wideband limiter, then the shared output stage. Its 224-record
// control table binds 169 value slots; its meter array holds 76 values.
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

namespace one_slot {
inline constexpr uint32_t bass_on = 11, bass_timing = 12, bass_boost = 13, bass_latency = 14;
inline constexpr uint32_t agc_enable = 41, agc_gate = 42, agc_primary = 43, agc_attack = 44, agc_release = 45,
                          agc_fast_release = 46, agc_fast_attack = 47, agc_fast_release_threshold = 48,
                          agc_max_boost = 49;
inline constexpr uint32_t mb_filter = 50, mb_latency = 51;
inline constexpr uint32_t comp_enable = 52, comp_rms = 53, comp_attack = 58, comp_release = 63,
                          comp_fast_release = 68, comp_fast_threshold = 73, comp_drive = 78, comp_output = 83;
inline constexpr uint32_t st_enable = 84, st_width = 85, st_max = 90, st_attack = 95, st_release = 100,
                          st_plat_rate = 105;
inline constexpr uint32_t mbl_drive = 110, mbl_band_drive = 111, mbl_bias = 116, mbl_attack = 121,
                          mbl_release = 126, mbl_fast_release = 131, mbl_fast_threshold = 136, mbl_clip = 141;
inline constexpr uint32_t lim_drive = 146, lim_attack = 147, lim_release = 148, lim_fast_release = 149,
                          lim_fast_threshold = 150, lim_clip_drive = 151, lim_clip_release = 152;
inline constexpr uint32_t pre_emphasis = 157, enable = 168;
inline constexpr uint32_t count = 169;
}  // namespace one_slot

inline constexpr uint32_t processor_one_record_count = 224;
inline constexpr uint32_t processor_one_meter_count = 76;

// The template control table (locations name slots; see records::at).
std::span<const params::ControlRecord> processor_one_table();
const ProcessorIdentity& processor_one_identity();

// Shared by both processors' multiband parameters: compressor and enhancer slots in the
// "Torvalen One" layout, shifted by `offset` (0 here, 6 in "Torvalen 5").
void decode_compressor_enhancer(const SlotView& v, uint32_t offset, MultibandParams& p);

class ProcessorOne final : public ChainProcessor {
public:
    // Opens or creates "Torvalen One-v1.0.0" under the instance key, binds the table
    // (every control at its default) and loads the current preset. Sets bit 0 of
    // `error` and returns nullptr on failure.
    // `factory_presets`: the folder of the factory preset files offered to its
    // preset bar (empty: none).
    static std::unique_ptr<ProcessorOne> create(const SettingsKey& instance_key, uint32_t& error,
                                               const std::filesystem::path& factory_presets = {});

    // ---- Read-outs for tests (engine thread or after it stopped) ----
    float agc_gain() const { return agc_.gain; }
    bool agc_gate_closed() const { return agc_.gate_closed; }

private:
    ProcessorOne();

    void configure(const SlotView& slots) override;
    int run(float* bus4, uint32_t frames) override;
    void meters(float* values, bool enabled) override;
    void reset_meters() override;

    void agc(float& l, float& r);
    void limit_bands(SubSampleBands* s, SubSampleGains* g, std::size_t frames);
    void wideband(std::size_t first, float* channel_gains, std::size_t count);

    struct AgcParams {
        bool enable = true;
        float gate = 0.0316f;  // factor g
        float primary_rate = 0, attack_rate = 0, release_rate = 0, fast_release_rate = 0;
        float fast_attack = 0.178f;   // phi_A, stored 10^(-v/20)
        float fast_release = 0.178f;  // phi_R
        float max_boost = 1.778f;     // mu, stored 10^((20 - v)/20)
    };
    struct AgcState {
        float gate_detector = 0.0f;
        bool gate_closed = true;
        float mean_square = 4618335383715840.0f;  // (10 T)^2
        float envelope = 67958336.0f;             // 10 T
        bool fast = false;
        float gain = 0.1f;  // meter
    };
    // Band values sit in eight lanes (five bands, three padding lanes that stay neutral:
    // drive 0, reference and clip 1, rates 0), processed as two 4-wide vectors.
    struct LimiterParams {
        alignas(16) std::array<float, band_lanes> drive{};  // band drive x "MBL Drive"
        alignas(16) std::array<float, band_lanes> attack{}, release{}, fast_release{}, fast_threshold{};
        alignas(16) std::array<float, band_lanes> reference{}, clip{}, fast_floor{};
        float lim_drive = 1.0f, clip_drive = 1.0f;
        float lim_attack = 0, lim_release = 0, lim_fast_release = 0, lim_fast_threshold = 1.0f;
    };
    struct BandLimiterState {
        alignas(16) std::array<float, band_lanes> envelope{}, platform{};
        alignas(16) std::array<int32_t, band_lanes> fast{};  // all ones when set
    };
    struct WidebandState {
        float envelope = 0.0f, platform = 0.0f;
        bool fast = false;
    };
    struct GainMinimum {  // meter holders
        float l = 1.0f, r = 1.0f, both = 1.0f;
        void fold(float gl, float gr, float g) {
            l = gl < l ? gl : l;
            r = gr < r ? gr : r;
            both = g < both ? g : both;
        }
    };
    struct BandMeters {  // per-band minimum gains, lanes as above
        alignas(16) std::array<float, band_lanes> l, r, both;
        BandMeters() { reset(); }
        void reset() {
            l.fill(1.0f);
            r.fill(1.0f);
            both.fill(1.0f);
        }
    };

    AgcParams agc_params_;
    AgcState agc_;
    LimiterParams lim_;
    BandLimiterState band_{};
    WidebandState wide_{};
    bool clip_wide_ = true;  // per-channel wideband clip ("Power Limiter Enable" not "On (Clip Off)")
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
