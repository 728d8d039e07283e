#include "dsp/multiband.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/fir_tables.h"
#include "dsp/rate_tables.h"
#include "dsp/simd.h"

namespace torvalen::dsp {

namespace {
constexpr float section_level = 33554432.0f;          // 2^25, shared by the band references
constexpr float ms_floor_fraction = 0.01f;             // compressor mean square floor: (0.01 ref)^2
constexpr double low_gain_cutoff_Hz = 875.3522;        // low-latency gain smoothing, at 192 kHz
constexpr double oversampled_rate_Hz = 192000.0;
constexpr double low_gain_pairs[3][2] = {{0.7019, 0.4322}, {0.6667, 1.2931}, {0.4479, 2.1363}};

// Per-band offsets into rate table A.
constexpr int rms_offset = 2;
constexpr int dynamics_offset = 4;

static_assert(sizeof(BandFrame) == 2 * band_lanes * sizeof(float), "left lanes, then right lanes");
static_assert(band_lanes == multiband_detail::lanes);
}  // namespace

float db_factor(double dB) { return static_cast<float>(std::pow(10.0, dB / 20.0)); }

std::array<float, band_count> band_references(const std::array<float, band_count>& bias_factors) {
    float sum = 0.0f;
    for (float b : bias_factors) sum += b;
    std::array<float, band_count> ref{};
    for (int b = 0; b < band_count; ++b) ref[b] = section_level * bias_factors[b] / sum;
    return ref;
}

MultibandParams default_multiband_params() {
    MultibandParams p;
    // Displayed control defaults per band (H2, H1, M2, M1, B): timing values in steps of
    // 0.5, dB values as shown on the page.
    constexpr double rms_v[band_count] = {11, 11, 11, 12, 12.5};
    constexpr double drive_dB[band_count] = {8, 8, 8, 8, 10};
    constexpr double width_dB[band_count] = {13, 10, 8, 0, 0};
    constexpr double max_dB[band_count] = {15, 12, 10, 10, 10};
    constexpr double clip_release_v[band_count] = {7, 12, 12, 11, 8};
    constexpr double bias_dB[band_count] = {-3, -1, 0, 0, 2};
    std::array<float, band_count> bias{};
    for (int b = 0; b < band_count; ++b) {
        // Attack 12, release 17, fast release 14; fast threshold -10 dB; the drive is
        // stored as 10^(-v/20).
        p.comp[b] = {timing_index(rms_v[b]), timing_index(12), timing_index(17), timing_index(14),
                     db_factor(-10.0), db_factor(-drive_dB[b])};
        // Enhancer attack 3, release 13, platform rate 14.5.
        p.st_enh[b] = {db_factor(width_dB[b]), db_factor(max_dB[b]), timing_index(3), timing_index(13),
                       timing_index(14.5)};
        p.clip_release_index[b] = timing_index(clip_release_v[b]);
        bias[b] = db_factor(bias_dB[b]);
    }
    p.comp_output = db_factor(3.0);  // "Comp Output" 3 dB
    p.reference = band_references(bias);
    return p;
}

MultibandSection::MultibandSection() {
    smooth_.fill(1.0f);
    high_hold_ = BandGainHold(high_hold_entries);
    for (auto& h : low_hold_) h = HalfCycleGainHoldMin(low_look_ahead);
    for (auto& set : low_gain_filter_)
        for (int k = 0; k < 3; ++k)
            set[k] = LowPass2<float>(low_gain_pairs[k][0], low_gain_pairs[k][1], low_gain_cutoff_Hz, oversampled_rate_Hz);
    for (auto& d : low_delay_) d = DelayLine(low_look_ahead);
    for (std::size_t k = 0; k < multiband_detail::taps_per_phase; ++k)
        for (std::size_t i = 0; i < band_lanes; ++i)
            up_.phases[k][i] = fir_tables::rate_converter_prototype[oversampling * k + i % oversampling];
    configure(MultibandParams{});
}

void MultibandSection::configure(const MultibandParams& p) {
    filter_ = p.filter;
    // The smoothed gains carry over from one latency mode to the other.
    if (p.latency != latency_) {
        if (p.latency == MultibandLatency::high)
            high_hold_.set_smoothed(smooth_.data());
        else
            std::memcpy(smooth_.data(), high_hold_.smoothed(), sizeof smooth_);
    }
    latency_ = p.latency;
    comp_enable_ = p.comp_enable;
    st_enh_enable_ = p.st_enh_enable;
    hf_clip_ = p.hf_clip;
    coef_.comp_output = p.comp_output;
    for (std::size_t i = 0; i < band_lanes; ++i) {
        const int b = static_cast<int>(i);
        if (b < band_count) {
            const CompressorBandParams& cp = p.comp[b];
            const EnhancerBandParams& ep = p.st_enh[b];
            const float ref = p.reference[b];
            coef_.rms_rate[i] = rate_a(cp.rms_index + rms_offset);
            coef_.ms_floor[i] = (ms_floor_fraction * ref) * (ms_floor_fraction * ref);
            coef_.drive[i] = cp.drive;
            coef_.fast_threshold[i] = cp.fast_threshold;
            coef_.attack[i] = rate_a(cp.attack_index + dynamics_offset);
            coef_.release[i] = rate_a(cp.release_index + dynamics_offset);
            coef_.fast_release[i] = rate_a(cp.fast_release_index + dynamics_offset);
            coef_.reference[i] = ref;
            coef_.enh_attack[i] = rate_a(ep.attack_index + dynamics_offset);
            coef_.enh_release[i] = rate_a(ep.release_index + dynamics_offset);
            coef_.enh_plat[i] = rate_a(ep.plat_rate_index + dynamics_offset);
            coef_.width_minus_1[i] = ep.width - 1.0f;
            coef_.max_width[i] = ep.max_width;
            clip_rise_[i] = 1.0f + rate_a(p.clip_release_index[b] + dynamics_offset);
        } else {  // padding lanes: well-defined values that change nothing
            coef_.rms_rate[i] = coef_.attack[i] = coef_.release[i] = coef_.fast_release[i] = 0.0f;
            coef_.ms_floor[i] = coef_.drive[i] = coef_.fast_threshold[i] = coef_.reference[i] = 1.0f;
            coef_.enh_attack[i] = coef_.enh_release[i] = coef_.enh_plat[i] = 0.0f;
            coef_.width_minus_1[i] = 0.0f;
            coef_.max_width[i] = 1.0f;
            clip_rise_[i] = 1.0f;
        }
        clip_rise_lanes_[i] = clip_rise_lanes_[band_lanes + i] = clip_rise_[i];
    }
}

void MultibandSection::split(float l, float r, int& latency_frames) { split(l, r, latency_frames, bands_); }

void MultibandSection::split(float l, float r, int& latency_frames, BandFrame& out) {
    switch (filter_) {
        case CrossoverKind::lin_phase:
            lin_phase_.process(l, r, out);
            latency_frames += LinPhaseCrossover::latency_frames;
            break;
        case CrossoverKind::garde_3rd:
            garde_3rd_.process(l, r, out);
            latency_frames += Garde3rdCrossover::latency_frames;
            break;
        case CrossoverKind::garde_5th:
            garde_5th_.process(l, r, out);
            latency_frames += Garde5thCrossover::latency_frames;
            break;
    }
}

void MultibandSection::split_run(const float* x, std::size_t n) {
    if (filter_ == CrossoverKind::lin_phase) lin_phase_.process_run(x, n);
}

void MultibandSection::split_frame(const float* x, std::size_t i, int& latency_frames, BandFrame& out) {
    if (filter_ != CrossoverKind::lin_phase) {
        split(x[2 * i], x[2 * i + 1], latency_frames, out);
        return;
    }
    for (int b = 0; b < band_count; ++b) {
        out.l[b] = lin_phase_.band(b, 0)[i];
        out.r[b] = lin_phase_.band(b, 1)[i];
    }
    latency_frames += LinPhaseCrossover::latency_frames;
}

void MultibandSection::interpolate(const BandFrame& bands, float* sub) {
    kernels().interpolate_bands(up_, bands.l.data(), bands.r.data(), sub, stride);
}

void MultibandSection::compress_enhance(float* sub, std::size_t count) {
    if (!comp_enable_ && !st_enh_enable_) return;
    kernels().compress_enhance(dynamics_, coef_, sub, stride, count, comp_enable_, st_enh_enable_);
}

// A BandFrame is its left lanes then its right lanes: the kernels' sub-sample layout.
static_assert(sizeof(BandFrame) == 2 * band_lanes * sizeof(float));

void MultibandSection::upsample() { interpolate(bands_, group_[0][0].l.data()); }

void MultibandSection::compress_and_enhance(int j) {
    compress_enhance(group_[0][static_cast<std::size_t>(j)].l.data(), 1);
}

void MultibandSection::apply_gains(int j) {
    apply_gains(group_[0][static_cast<std::size_t>(j)], group_gains_[0][static_cast<std::size_t>(j)]);
}

void MultibandSection::apply_gains(BandFrame& s, const PendingGains& g) {
    if (latency_ == MultibandLatency::high)
        apply_gains_high(s, g);
    else
        apply_gains_low(s, g, 1.0f, 1.0f);
}

// Smoothed gain of bands through a half-cycle hold: a lower request takes effect at
// once, a higher one is approached at the band's "Lim Clip Release" rate. A BandFrame and
// PendingGains are their left lanes followed by their right lanes: the hold's sixteen.
void MultibandSection::apply_gains_high(BandFrame& s, const PendingGains& pending) {
    static_assert(sizeof(PendingGains) == sizeof(BandFrame));
    high_hold_.process_smoothed(s.l.data(), pending.l.data(), clip_rise_lanes_.data());
}

void MultibandSection::apply_gains_low(BandFrame& s, const PendingGains& pending, float left, float right) {
    // H2 and H1: as in high-latency mode, through the short holds.
    for (int b = band_h2; b <= band_h1; ++b) {
        const float rise = clip_rise_[b];
        auto step = [rise](float h, float& sm) { sm = h >= sm ? std::min(sm * rise, h) : h; };
        step(pending.l[b] * left, smooth_[b]);
        step(pending.r[b] * right, smooth_[band_lanes + b]);
        low_hold_[b].process(s.l[b], s.r[b], smooth_[b], smooth_[band_lanes + b]);
    }
    // M2, M1, B: a lower request holds for the look-ahead, then the gain rises; the gain
    // is smoothed by three low-pass sections and meets the audio delayed by the look-ahead.
    for (int k = 0; k < low_filtered_bands; ++k) {
        const int b = band_m2 + k;
        const float rise = clip_rise_[b];
        auto step = [&](float h, float& sm, std::uint32_t& count) {
            if (h < sm) {
                sm = h;
                count = low_look_ahead;
            } else if (count > 0) {
                --count;
            } else {
                sm = std::min(sm * rise, h);
            }
        };
        step(pending.l[b] * left, smooth_[b], hold_count_l_[k]);
        step(pending.r[b] * right, smooth_[band_lanes + b], hold_count_r_[k]);
        float gl = smooth_[b], gr = smooth_[band_lanes + b];
        for (auto& f : low_gain_filter_[k]) f.process(gl, gr);
        low_delay_[k].process(s.l[b], s.r[b]);
        s.l[b] *= gl;
        s.r[b] *= gr;
    }
}

void MultibandSection::sum_bands(std::size_t i, const SubSampleBands& frame) {
    SubSamples sum;
    for (int j = 0; j < oversampling; ++j) {
        const BandFrame& s = frame[j];
        float sl = s.l[0], sr = s.r[0];
        for (int b = 1; b < band_count; ++b) {
            sl += s.l[b];
            sr += s.r[b];
        }
        sum.l[j] = sl;
        sum.r[j] = sr;
    }
    down_.put(i, sum);
}

void MultibandSection::decimate_run(float* interleaved, std::size_t n, int& latency_frames) {
    down_.run(interleaved, n);
    latency_frames += latency_ == MultibandLatency::high ? high_latency_frames : low_latency_frames;
}

void MultibandSection::sum_and_decimate(float& l, float& r, int& latency_frames) {
    sum_bands(0, group_[0]);
    float x[2];
    decimate_run(x, 1, latency_frames);
    l = x[0];
    r = x[1];
}

MultibandMeters MultibandSection::take_meters() {
    MultibandMeters m{};
    for (int b = 0; b < band_count; ++b) {
        m.comp_gain[b] = dynamics_.comp_meter[b];
        m.width[b] = dynamics_.width_meter[b];
    }
    for (float& v : dynamics_.comp_meter) v = 1.0f;
    for (float& v : dynamics_.width_meter) v = 1.0f;
    return m;
}

}  // namespace torvalen::dsp
