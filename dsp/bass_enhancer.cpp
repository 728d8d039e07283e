#include "dsp/bass_enhancer.h"

#include <algorithm>
#include <cmath>

#include "dsp/rate_tables.h"

namespace torvalen::dsp {

namespace {
constexpr double chain_rate_Hz = 48000.0;
constexpr double high_pass_Hz = 50.0;
constexpr double split_Hz = 200.0;
// Sixth-order 0.5 dB-ripple Chebyshev high-pass pairs (also the input stage's HPF).
constexpr double hp50_pairs[3][2] = {{0.2784, 0.2596}, {0.2037, 0.7091}, {0.07459, 0.9687}};
// Seventh-order Butterworth pairs; the real pole is the first-order section.
constexpr double split_pairs[3][2] = {{0.901, 0.4339}, {0.6235, 0.7818}, {0.2225, 0.9749}};
constexpr double split_real_b = 0.012921564, split_real_a = -0.97415686;  // 200 Hz at 48 kHz
constexpr double lowest_band_Hz = 50.0;
constexpr double band_ratio = 1.0905077;     // 2^(1/8)
constexpr double band_q = 11.5379505;        // 1/8-octave bandwidth
constexpr int timing_offset = -2;            // the mean squares integrate at A[n_T - 2]
}  // namespace

double BassEnhancer::band_centre_Hz(int i) { return lowest_band_Hz * std::pow(band_ratio, i); }

BassEnhancer::BassEnhancer()
    : lp200_real_(split_real_b, split_real_a),
      hp200_real_(split_real_b, split_real_a),
      hi_delay_(delay_frames_high_latency),
      low_bands_delay_(delay_frames_high_latency) {
    for (int k = 0; k < 3; ++k) {
        hp50_[k] = design_high_pass2_48k(hp50_pairs[k][0], hp50_pairs[k][1], high_pass_Hz);
        lp200_[k] = LowPass2<double>(split_pairs[k][0], split_pairs[k][1], split_Hz, chain_rate_Hz);
        hp200_[k] = design_high_pass2_48k(split_pairs[k][0], split_pairs[k][1], split_Hz);
    }
    for (int i = 0; i < bands; ++i) band_pass_[i] = design_resonator_48k(band_centre_Hz(i), band_q);
    for (auto& h : hold_) h = HalfCycleGainHoldMax(hold_entries);
}

void BassEnhancer::process(float& l, float& r, const BassEnhancerParams& params) {
    for (auto& s : hp50_) s.process(l, r);
    float hi_l = l, hi_r = r;
    for (auto& s : hp200_) s.process(hi_l, hi_r);
    hp200_real_.high_pass(hi_l, hi_r);
    float lo_l = l, lo_r = r;
    for (auto& s : lp200_) s.process(lo_l, lo_r);
    lp200_real_.low_pass(lo_l, lo_r);

    const float rate = rate_a(params.timing_index + timing_offset);
    float ul[bands], ur[bands], rho_l[bands], rho_r[bands];
    for (int i = 0; i < bands; ++i) {
        ul[i] = static_cast<float>(band_pass_[i].band_pass_channel(lo_l, 0));
        ur[i] = static_cast<float>(band_pass_[i].band_pass_channel(lo_r, 1));
        envelope_approach(ms_[i][0], ul[i] * ul[i], rate);
        envelope_approach(ms_[i][1], ur[i] * ur[i], rate);
        rho_l[i] = std::sqrt(ms_[i][0]);
        rho_r[i] = std::sqrt(ms_[i][1]);
    }

    float low_l = 0.0f, low_r = 0.0f, up_l = 0.0f, up_r = 0.0f;
    for (int i = 0; i < bands / 2; ++i) {
        low_l += ul[i];
        low_r += ur[i];
        const float gl = std::min(params.boost, std::max(1.0f, rho_l[i] / std::max(1.0f, rho_l[i + 8])));
        const float gr = std::min(params.boost, std::max(1.0f, rho_r[i] / std::max(1.0f, rho_r[i + 8])));
        float wl = ul[i + 8], wr = ur[i + 8];
        if (params.high_latency) {
            hold_[i].process(wl, wr, gl, gr);
        } else {
            wl *= gl;
            wr *= gr;
        }
        up_l += wl;
        up_r += wr;
    }
    if (params.high_latency) {
        hi_delay_.process(hi_l, hi_r);
        low_bands_delay_.process(low_l, low_r);
    }
    l = hi_l + low_l + up_l;
    r = hi_r + low_r + up_r;
}

}  // namespace torvalen::dsp
