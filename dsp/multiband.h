// The multiband section shared by both processors: five-band split, 4x oversampling of
// the bands, band compressors and stereo enhancers, application of the per-band gains
// the processor's limiters compute, band sum and fold-back to 48 kHz, and the pre-
// emphasis high-frequency clipper.
//
// process_block(x, frames, limiters, latency) takes a block in runs of up to max_run (64)
// frames: the split over the run, then in groups of up to stage_frames (16) frames the
// split bands of each frame, the processor's stage on them (if any), their upsampling,
// then finish_group: the compressor and enhancer over the group's sub-samples, the
// processor's band limiter over them (it scales the band samples and writes the pending
// gains), its per-sub-sample limiter over them, the gain application, and per frame the
// band sum; then per run the decimation and the high-frequency clipper (when "Pre
// Emphasis" mode is not Off). Each stage adds its
// delay to the caller's latency counter. The result does not depend on how the frames
// are split into runs and groups. The one-frame stage calls (split, upsample,
// sub_sample(j), ...) work on the group's first slot, for inspection.
//
// Thread: the engine thread, inside the processor's per-block call, under its lock.
// Everything is allocated at construction; the per-frame calls never allocate.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "dsp/band_gain_hold.h"
#include "dsp/crossover.h"
#include "dsp/gain_hold.h"
#include "dsp/hf_clipper.h"
#include "dsp/iir.h"
#include "dsp/multiband_kernels.h"
#include "dsp/simd_kernels.h"
#include "dsp/rate_convert.h"

namespace torvalen::dsp {

// "Multiband Latency" list, in list order.
enum class MultibandLatency : int { low = 0, high = 1 };

struct CompressorBandParams {
    int rms_index = 22;           // "Comp RMS ntegrate", timing index n_I
    int attack_index = 24;        // "Comp Plat Attack"
    int release_index = 34;       // "Comp Plat Release"
    int fast_release_index = 28;  // "Comp Plat Fast Release"
    float fast_threshold = 1.0f;  // "Comp Fast Release Thresh (dB)" factor
    float drive = 1.0f;           // "Comp Drive (dB)" stored factor 10^(-v/20)
};

struct EnhancerBandParams {
    float width = 1.0f;       // "St Enh Width" factor W
    float max_width = 1.0f;   // "St Enh Max" factor Wmax
    int attack_index = 6;     // "St Enh Attack"
    int release_index = 26;   // "St Enh Release"
    int plat_rate_index = 29; // "St Enh Plat Rate"
};

// The section's parameters, bound by the processor (dB controls as linear factors,
// timing controls as indices n = 2v, lists as their values). Per-band arrays are in band
// order H2, H1, M2, M1, B.
struct MultibandParams {
    CrossoverKind filter = CrossoverKind::lin_phase;       // "Multiband Filter"
    MultibandLatency latency = MultibandLatency::high;     // "Multiband Latency"
    bool comp_enable = false;                              // "Comp Enable"
    std::array<CompressorBandParams, band_count> comp{};
    float comp_output = 1.0f;                              // "Comp Output" factor
    bool st_enh_enable = false;                            // "St Enh Enable"
    std::array<EnhancerBandParams, band_count> st_enh{};
    std::array<int, band_count> clip_release_index{};      // "Lim Clip Release"
    std::array<float, band_count> reference{};             // ref_b, from "MBL Band Bias"
    bool hf_clip = false;                                  // "Pre Emphasis" mode is not Off
};

// Linear factor of a dB value.
float db_factor(double dB);

// ref_b = 2^25 * beta_b / sum(beta): the five band references share 2^25.
std::array<float, band_count> band_references(const std::array<float, band_count>& bias_factors);

// The control defaults of "Torvalen One" (compressor and enhancer as listed, both
// enabled switches at their default Off).
MultibandParams default_multiband_params();

// Pending gains hL_b, hR_b of one sub-sample, written by the processor's limiters.
struct PendingGains {
    std::array<float, band_lanes> l, r;
    PendingGains() {
        l.fill(1.0f);
        r.fill(1.0f);
    }
};

// The four sub-samples of a frame, and their pending gains: both a BandFrame-sized
// record each, so a kernel steps through either at the same stride.
using SubSampleBands = std::array<BandFrame, oversampling>;
using SubSampleGains = std::array<PendingGains, oversampling>;
static_assert(sizeof(BandFrame) == sizeof(PendingGains));

// The processor's own stages inside the section, as MultibandSection::process_block
// calls them: `band` (its band limiter) once per group of frames, `sub_samples` (its
// wideband limiter) on runs of sub-samples, and optionally `split` once per group on the
// split bands before they are oversampled (the two-band AGC of "Torvalen 5").
struct NoSplitStage {
    void operator()(BandFrame*, std::size_t) const {}
};
template <typename Band, typename SubSample, typename Split = NoSplitStage>
struct LimiterCalls {
    Band band;
    SubSample sub_samples;
    Split split{};
};
template <typename Band, typename SubSample>
LimiterCalls(Band, SubSample) -> LimiterCalls<Band, SubSample>;
template <typename Band, typename SubSample, typename Split>
LimiterCalls(Band, SubSample, Split) -> LimiterCalls<Band, SubSample, Split>;

// Meter holders: compressor gain minimum and stereo-width maximum per band since the
// last take_meters().
struct MultibandMeters {
    std::array<float, band_count> comp_gain, width;
};

class MultibandSection {
public:
    static constexpr int high_hold_entries = 8192;  // 192 kHz sub-samples
    static constexpr int low_look_ahead = 192;      // 192 kHz sub-samples
    // Latency of gain application, band sum and decimation: the look-ahead in frames plus
    // the 29 frames of interpolation and decimation.
    static constexpr int high_latency_frames = high_hold_entries / oversampling + interpolate_decimate_delay_frames;
    static constexpr int low_latency_frames = low_look_ahead / oversampling + interpolate_decimate_delay_frames;
    static_assert(high_latency_frames == 2077);
    static_assert(low_latency_frames == 77);

    MultibandSection();

    // Takes the parameters (and reference levels) for the following frames. Cheap; call
    // once per block, or per frame.
    void configure(const MultibandParams& params);

    // The stages of one frame, in order, for inspection: split, upsample, then for each
    // of the four sub-samples j compress_and_enhance(j), [the limiters read sub_sample(j),
    // write pending_gains(j)], apply_gains(j); then sum_and_decimate.
    void split(float l, float r, int& latency_frames);
    void upsample();
    BandFrame& sub_sample(int j) { return group_[0][static_cast<std::size_t>(j)]; }
    PendingGains& pending_gains(int j) { return group_gains_[0][static_cast<std::size_t>(j)]; }
    void compress_and_enhance(int j);
    void apply_gains(int j);
    void sum_and_decimate(float& l, float& r, int& latency_frames);

    static constexpr std::size_t max_run = BlockDecimator::max_run;
    static_assert(max_run == LinPhaseCrossover::max_run);
    static constexpr std::size_t stage_frames = 16;

    // A block of interleaved frames through the whole section, in runs of max_run
    // frames, each taken stage by stage in groups of up to stage_frames frames (see
    // finish_group). `limiters` is a LimiterCalls: `split(BandFrame* bands, m)` runs once
    // per group on the m frames' split bands and may change them; `band(SubSampleBands*
    // bands, SubSampleGains* gains, m)` runs once per group on the m frames' sub-samples
    // after the compressor and enhancer (all 4m of them consecutive, a BandFrame apart),
    // may scale the band samples and sets the pending gains; `sub_samples(q, float*
    // channel_gains, count)` then runs on the group's sub-samples q ... q + count - 1 in
    // order and writes a gain per channel for each, {left, right} pairs that scale all the
    // sub-sample's pending gains of that channel before they are applied.
    // `latency_frames` grows by the latency of the block's last frame.
    template <typename Limiters>
    void process_block(float* x, std::size_t frames, Limiters&& limiters, int& latency_frames) {
        int split_latency = 0, decimate_latency = 0, clip_latency = 0;
        for (std::size_t start = 0; start < frames; start += max_run) {
            const std::size_t n = frames - start < max_run ? frames - start : max_run;
            float* f = x + 2 * start;
            split_run(f, n);
            for (std::size_t first = 0; first < n; first += stage_frames) {
                const std::size_t m = n - first < stage_frames ? n - first : stage_frames;
                for (std::size_t k = 0; k < m; ++k) {
                    split_latency = 0;
                    // Straight into the group: a copy of the frame's bands just written
                    // lane by lane would wait for those stores to complete.
                    split_frame(f, first + k, split_latency, group_bands_[k]);
                }
                limiters.split(group_bands_.data(), m);
                for (std::size_t k = 0; k < m; ++k) interpolate(group_bands_[k], group_[k][0].l.data());
                finish_group(first, m, limiters);
            }
            decimate_latency = 0;
            decimate_run(f, n, decimate_latency);
            if (hf_clip_) {
                clip_latency = 0;
                hf_clipper_.process_run(f, n, clip_latency);
            }
        }
        if (frames > 0) latency_frames += split_latency + decimate_latency + clip_latency;
    }

    // One frame through the whole section.
    template <typename Limiters>
    void process(float& l, float& r, Limiters&& limiters, int& latency_frames) {
        float x[2] = {l, r};
        process_block(x, 1, limiters, latency_frames);
        l = x[0];
        r = x[1];
    }

    // Without limiters: unity pending gains.
    void process(float& l, float& r, int& latency_frames) {
        process(l, r,
                LimiterCalls{[](SubSampleBands*, SubSampleGains*, std::size_t) {},
                             [](std::size_t, float* g, std::size_t n) { std::fill(g, g + 2 * n, 1.0f); }},
                latency_frames);
    }

    // Reads the meter holders and resets them to 1.
    MultibandMeters take_meters();

    // The widest kernels the processor has run (simd_kernels.h); turning them off runs
    // the baseline ones, for comparison.
    bool wide_kernels() const { return wide_ && simd::detected_level() != simd::Level::sse2; }
    void set_wide_kernels(bool on) { wide_ = on; }

private:
    static constexpr std::size_t stride = 2 * band_lanes;  // floats per sub-sample: left lanes, right lanes

    const simd::Kernels& kernels() const {
        return wide_ ? simd::kernels() : simd::kernels_for(simd::Level::sse2);
    }
    // split() for runs of frames: split_run() over a run of n <= max_run interleaved
    // frames (the "Lin Phase" filters run over the whole run), then split_frame() for each
    // frame i of it, in order, into `out`.
    void split_run(const float* interleaved, std::size_t n);
    void split_frame(const float* interleaved, std::size_t i, int& latency_frames, BandFrame& out);
    void split(float l, float r, int& latency_frames, BandFrame& out);
    void interpolate(const BandFrame& bands, float* sub);
    void compress_enhance(float* sub, std::size_t count);
    void apply_gains(BandFrame& s, const PendingGains& pending);
    // Sums the bands of a frame's four sub-samples into frame i (< max_run) of the
    // decimator's run.
    void sum_bands(std::size_t i, const SubSampleBands& s);
    // Takes the run's first n band sums down to interleaved 48 kHz frames.
    void decimate_run(float* interleaved, std::size_t n, int& latency_frames);
    // The stages of a group of frames after the split. No stage feeds an earlier one and
    // none feeds an earlier sub-sample, so this is the arithmetic of taking each
    // sub-sample through all of them in turn. Stage by stage over the group's sub-samples,
    // each stage's recursions overlap with its own independent work from sub-sample to
    // sub-sample and keep their state in registers. Frames first ... first + m - 1 of the
    // run were split and upsampled into slots 0 ... m - 1.
    template <typename Limiters>
    void finish_group(std::size_t first, std::size_t m, Limiters&& limiters) {
        const std::size_t count = oversampling * m;
        compress_enhance(&group_[0][0].l[0], count);
        limiters.band(group_.data(), group_gains_.data(), m);
        limiters.sub_samples(0, group_channel_gains_.data(), count);
        const float* channel = group_channel_gains_.data();
        if (latency_ == MultibandLatency::high) {
            high_hold_.process_smoothed(group_[0][0].l.data(), group_gains_[0][0].l.data(), clip_rise_lanes_.data(),
                                        channel, stride, count);
        } else {
            for (std::size_t q = 0; q < count; ++q)
                apply_gains_low(*(&group_[0][0] + q), *(&group_gains_[0][0] + q), channel[2 * q], channel[2 * q + 1]);
        }
        for (std::size_t k = 0; k < m; ++k) sum_bands(first + k, group_[k]);
    }

    void apply_gains_high(BandFrame& s, const PendingGains& pending);
    // The pending gains times the channel gains (left, right).
    void apply_gains_low(BandFrame& s, const PendingGains& pending, float left, float right);

    LinPhaseCrossover lin_phase_;
    Garde3rdCrossover garde_3rd_;
    Garde5thCrossover garde_5th_;
    BandFrame bands_;
    // The group's sub-samples and pending gains; slot 0 also serves the one-frame calls.
    std::array<BandFrame, stage_frames> group_bands_{};  // the group's split bands
    alignas(64) std::array<SubSampleBands, stage_frames> group_{};
    alignas(64) std::array<SubSampleGains, stage_frames> group_gains_;
    alignas(64) std::array<float, 2 * oversampling * stage_frames> group_channel_gains_;  // per sub-sample: left, right

    CrossoverKind filter_ = CrossoverKind::lin_phase;
    MultibandLatency latency_ = MultibandLatency::high;
    bool comp_enable_ = false, st_enh_enable_ = false, hf_clip_ = false;
    bool wide_ = true;  // the kernels simd::kernels() chose, else the baseline ones
    multiband_detail::BandInterpolatorState up_;
    multiband_detail::DynamicsCoefficients coef_{};
    multiband_detail::DynamicsState dynamics_;
    std::array<float, band_lanes> clip_rise_{};  // 1 + A[n_ClipRel + 4] per band
    alignas(64) std::array<float, 2 * band_lanes> clip_rise_lanes_{};  // the same for left, then right lanes

    // Gain application. The smoothed gains start at 1 (a zero start could never rise:
    // the rise is multiplicative). Left lanes, then right lanes (the layout of a
    // BandFrame); the high-latency mode keeps its own in its hold.
    alignas(64) std::array<float, 2 * band_lanes> smooth_;
    BandGainHold high_hold_;  // all bands, high-latency mode
    std::array<HalfCycleGainHoldMin, 2> low_hold_;  // H2, H1
    static constexpr int low_filtered_bands = 3;    // M2, M1, B
    std::array<std::array<LowPass2<float>, 3>, low_filtered_bands> low_gain_filter_;
    std::array<DelayLine, low_filtered_bands> low_delay_;
    std::array<std::uint32_t, low_filtered_bands> hold_count_l_{}, hold_count_r_{};

    BlockDecimator down_;
    HighFrequencyClipper hf_clipper_;
};

}  // namespace torvalen::dsp
