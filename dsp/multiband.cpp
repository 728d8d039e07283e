#include "dsp/multiband.h"

#include <algorithm>
#include <cmath>

#include "dsp/rate_tables.h"

namespace torvalen::dsp {

namespace {
constexpr float section_level = 33554432.0f;          // 2^25, shared by the band references
constexpr float platform_floor = 33554.434f;          // stereo-enhancer platform floor, 2^25 / 1000
constexpr float ms_floor_fraction = 0.01f;             // compressor mean square floor: (0.01 ref)^2
constexpr double low_gain_cutoff_Hz = 875.3522;        // low-latency gain smoothing, at 192 kHz
constexpr double oversampled_rate_Hz = 192000.0;
constexpr double low_gain_pairs[3][2] = {{0.7019, 0.4322}, {0.6667, 1.2931}, {0.4479, 2.1363}};

// Per-band offsets into rate table A.
constexpr int rms_offset = 2;
constexpr int dynamics_offset = 4;

using f4 = simd::f4;
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
    constexpr double rms_v[band_count] = {11, 11, 11, 12, 12.5};
    constexpr double drive_dB[band_count] = {8, 8, 8, 8, 10};
    constexpr double width_dB[band_count] = {13, 10, 8, 0, 0};
    constexpr double max_dB[band_count] = {15, 12, 10, 10, 10};
    constexpr double clip_release_v[band_count] = {7, 12, 12, 11, 8};
    constexpr double bias_dB[band_count] = {-3, -1, 0, 0, 2};
    std::array<float, band_count> bias{};
    for (int b = 0; b < band_count; ++b) {
        p.comp[b] = {timing_index(rms_v[b]), timing_index(12), timing_index(17), timing_index(14),
                     db_factor(-10.0), db_factor(-drive_dB[b])};
        p.st_enh[b] = {db_factor(width_dB[b]), db_factor(max_dB[b]), timing_index(3), timing_index(13),
                       timing_index(14.5)};
        p.clip_release_index[b] = timing_index(clip_release_v[b]);
        bias[b] = db_factor(bias_dB[b]);
    }
    p.comp_output = db_factor(3.0);
    p.reference = band_references(bias);
    return p;
}

MultibandSection::MultibandSection() {
    smooth_l_.fill(1.0f);
    smooth_r_.fill(1.0f);
    for (auto& h : high_hold_) h = HalfCycleGainHoldMin(high_hold_entries);
    for (auto& h : low_hold_) h = HalfCycleGainHoldMin(low_look_ahead);
    for (auto& set : low_gain_filter_)
        for (int k = 0; k < 3; ++k)
            set[k] = LowPass2<float>(low_gain_pairs[k][0], low_gain_pairs[k][1], low_gain_cutoff_Hz, oversampled_rate_Hz);
    for (auto& d : low_delay_) d = DelayLine(low_look_ahead);
    for (auto& m : comp_meter_) m = simd::splat(1.0f);
    for (auto& m : width_meter_) m = simd::splat(1.0f);
    configure(MultibandParams{});
}

void MultibandSection::configure(const MultibandParams& p) {
    filter_ = p.filter;
    latency_ = p.latency;
    comp_enable_ = p.comp_enable;
    st_enh_enable_ = p.st_enh_enable;
    hf_clip_ = p.hf_clip;
    comp_output_ = p.comp_output;
    for (std::size_t h = 0; h < halves; ++h) {
        Coefficients& c = coef_[h];
        for (int i = 0; i < 4; ++i) {
            const int b = static_cast<int>(4 * h) + i;
            if (b < band_count) {
                const CompressorBandParams& cp = p.comp[b];
                const EnhancerBandParams& ep = p.st_enh[b];
                const float ref = p.reference[b];
                c.rms_rate[i] = rate_a(cp.rms_index + rms_offset);
                c.ms_floor[i] = (ms_floor_fraction * ref) * (ms_floor_fraction * ref);
                c.drive[i] = cp.drive;
                c.fast_threshold[i] = cp.fast_threshold;
                c.attack[i] = rate_a(cp.attack_index + dynamics_offset);
                c.release[i] = rate_a(cp.release_index + dynamics_offset);
                c.fast_release[i] = rate_a(cp.fast_release_index + dynamics_offset);
                c.reference[i] = ref;
                c.enh_attack[i] = rate_a(ep.attack_index + dynamics_offset);
                c.enh_release[i] = rate_a(ep.release_index + dynamics_offset);
                c.enh_plat[i] = rate_a(ep.plat_rate_index + dynamics_offset);
                c.width_minus_1[i] = ep.width - 1.0f;
                c.max_width[i] = ep.max_width;
                c.clip_rise[i] = 1.0f + rate_a(p.clip_release_index[b] + dynamics_offset);
            } else {  // padding lanes: well-defined values that change nothing
                c.rms_rate[i] = c.attack[i] = c.release[i] = c.fast_release[i] = 0.0f;
                c.ms_floor[i] = c.drive[i] = c.fast_threshold[i] = c.reference[i] = 1.0f;
                c.enh_attack[i] = c.enh_release[i] = c.enh_plat[i] = 0.0f;
                c.width_minus_1[i] = 0.0f;
                c.max_width[i] = 1.0f;
                c.clip_rise[i] = 1.0f;
            }
        }
    }
}

void MultibandSection::split(float l, float r, int& latency_frames) {
    switch (filter_) {
        case CrossoverKind::lin_phase:
            lin_phase_.process(l, r, bands_);
            latency_frames += LinPhaseCrossover::latency_frames;
            break;
        case CrossoverKind::garde_3rd:
            garde_3rd_.process(l, r, bands_);
            latency_frames += Garde3rdCrossover::latency_frames;
            break;
        case CrossoverKind::garde_5th:
            garde_5th_.process(l, r, bands_);
            latency_frames += Garde5thCrossover::latency_frames;
            break;
    }
}

void MultibandSection::upsample() {
    for (int b = 0; b < band_count; ++b) {
        const SubSamples s = up_[b].process(bands_.l[b], bands_.r[b]);
        for (int j = 0; j < oversampling; ++j) {
            sub_[j].l[b] = s.l[j];
            sub_[j].r[b] = s.r[j];
        }
    }
}

void MultibandSection::compress_and_enhance(int j) {
    BandFrame& s = sub_[static_cast<std::size_t>(j)];
    for (std::size_t h = 0; h < halves; ++h) {
        const Coefficients& c = coef_[h];
        f4 L = simd::load(s.l.data() + 4 * h);
        f4 R = simd::load(s.r.data() + 4 * h);
        if (comp_enable_) {
            CompressorState& st = comp_[h];
            st.ms += (L * L + R * R - st.ms) * c.rms_rate;
            st.ms = simd::max(st.ms, c.ms_floor);
            const f4 rho = simd::sqrt(st.ms);
            const f4 t = rho * c.drive;
            const f4 e = st.envelope;
            const i4 fast = (t * c.fast_threshold < e) | st.fast;
            const i4 rise = t > e;
            const f4 risen = e + (t - e) * c.attack;
            const f4 fallen = simd::max(e - e * (fast ? c.fast_release : c.release), t);
            st.envelope = simd::max(rise ? risen : fallen, c.reference);
            st.fast = rise ? i4{} : fast;
            const f4 k = rho >= st.envelope ? st.envelope / rho : simd::splat(1.0f);
            comp_meter_[h] = simd::min(comp_meter_[h], k);
            L = L * k * comp_output_;
            R = R * k * comp_output_;
        }
        if (st_enh_enable_) {
            EnhancerState& st = enh_[h];
            const f4 m = L + R;
            f4 side = L - R;
            const f4 a = simd::max(simd::abs(m), simd::splat(1.0f));
            const f4 f = st.fast;
            st.fast = a > f ? f + (a - f) * c.enh_attack : simd::max(f - f * c.enh_release, a);
            st.platform += (simd::max(st.fast, simd::splat(platform_floor)) - st.platform) * c.enh_plat;
            st.platform = st.fast < st.platform ? st.fast : st.platform;
            const f4 w = simd::min(c.width_minus_1 * (st.fast / st.platform - 1.0f) + 1.0f, c.max_width);
            width_meter_[h] = simd::max(width_meter_[h], w);
            side *= w;
            L = (m + side) * 0.5f;
            R = (m - side) * 0.5f;
        }
        simd::store(s.l.data() + 4 * h, L);
        simd::store(s.r.data() + 4 * h, R);
    }
}

void MultibandSection::apply_gains(int j) {
    BandFrame& s = sub_[static_cast<std::size_t>(j)];
    if (latency_ == MultibandLatency::high)
        apply_gains_high(s);
    else
        apply_gains_low(s);
}

// Smoothed gain of bands through a half-cycle hold: a lower request takes effect at
// once, a higher one is approached at the band's "Lim Clip Release" rate.
void MultibandSection::apply_gains_high(BandFrame& s) {
    for (std::size_t h = 0; h < halves; ++h) {
        const f4 rise = coef_[h].clip_rise;
        const f4 hl = simd::load(pending_.l.data() + 4 * h), hr = simd::load(pending_.r.data() + 4 * h);
        const f4 sl = simd::load(smooth_l_.data() + 4 * h), sr = simd::load(smooth_r_.data() + 4 * h);
        simd::store(smooth_l_.data() + 4 * h, hl >= sl ? simd::min(sl * rise, hl) : hl);
        simd::store(smooth_r_.data() + 4 * h, hr >= sr ? simd::min(sr * rise, hr) : hr);
    }
    for (int b = 0; b < band_count; ++b) high_hold_[b].process(s.l[b], s.r[b], smooth_l_[b], smooth_r_[b]);
}

void MultibandSection::apply_gains_low(BandFrame& s) {
    // H2 and H1: as in high-latency mode, through the short holds.
    for (int b = band_h2; b <= band_h1; ++b) {
        const float rise = coef_[0].clip_rise[b];
        auto step = [rise](float h, float& sm) { sm = h >= sm ? std::min(sm * rise, h) : h; };
        step(pending_.l[b], smooth_l_[b]);
        step(pending_.r[b], smooth_r_[b]);
        low_hold_[b].process(s.l[b], s.r[b], smooth_l_[b], smooth_r_[b]);
    }
    // M2, M1, B: a lower request holds for the look-ahead, then the gain rises; the gain
    // is smoothed by three low-pass sections and meets the audio delayed by the look-ahead.
    for (int k = 0; k < low_filtered_bands; ++k) {
        const int b = band_m2 + k;
        const float rise = coef_[static_cast<std::size_t>(b) / 4].clip_rise[b % 4];
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
        step(pending_.l[b], smooth_l_[b], hold_count_l_[k]);
        step(pending_.r[b], smooth_r_[b], hold_count_r_[k]);
        float gl = smooth_l_[b], gr = smooth_r_[b];
        for (auto& f : low_gain_filter_[k]) f.process(gl, gr);
        low_delay_[k].process(s.l[b], s.r[b]);
        s.l[b] *= gl;
        s.r[b] *= gr;
    }
}

void MultibandSection::sum_and_decimate(float& l, float& r, int& latency_frames) {
    SubSamples sum;
    for (int j = 0; j < oversampling; ++j) {
        const BandFrame& s = sub_[j];
        float sl = s.l[0], sr = s.r[0];
        for (int b = 1; b < band_count; ++b) {
            sl += s.l[b];
            sr += s.r[b];
        }
        sum.l[j] = sl;
        sum.r[j] = sr;
    }
    down_.process(sum, l, r);
    latency_frames += latency_ == MultibandLatency::high ? high_latency_frames : low_latency_frames;
}

MultibandMeters MultibandSection::take_meters() {
    MultibandMeters m{};
    for (int b = 0; b < band_count; ++b) {
        m.comp_gain[b] = comp_meter_[b / 4][b % 4];
        m.width[b] = width_meter_[b / 4][b % 4];
    }
    for (auto& v : comp_meter_) v = simd::splat(1.0f);
    for (auto& v : width_meter_) v = simd::splat(1.0f);
    return m;
}

}  // namespace torvalen::dsp
