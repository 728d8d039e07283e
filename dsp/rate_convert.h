// 4x rate conversion between the 48 kHz chain and 192 kHz oversampled stages, built on
// the 120-tap prototype p (fir_tables::rate_converter_prototype, already scaled so each
// polyphase branch sums to 0.99619).
//
// Delays: the prototype is symmetric, 59.5 sub-samples of delay at 192 kHz. Sub-sample j
// of frame n stands at time 4n + j and the decimator computes its output at the newest
// sub-sample (j = 3), so interpolator plus decimator delay by 119 - 3 = 116 sub-samples,
// exactly 29 frames.
#pragma once

#include <array>
#include <cstddef>

#include "dsp/simd.h"

namespace torvalen::dsp {

inline constexpr int oversampling = 4;                // sub-samples per 48 kHz frame
inline constexpr int rate_prototype_taps = 120;       // 30 taps per branch
inline constexpr int interpolate_decimate_delay_frames = 29;

// Four sub-samples per channel, oldest first.
struct SubSamples {
    std::array<float, oversampling> l{}, r{};
};

// 4x polyphase interpolator: sub-sample j = sum_k p[4k + j] x[n - k], k = 0...29.
// p[4k ... 4k+3] is one vector of the four phases, so each output needs no horizontal
// sum: 30 vector multiply-adds per channel per frame.
class Interpolator {
public:
    Interpolator();

    SubSamples process(float l, float r) {
        hl_[pos_] = hl_[pos_ + branch] = l;
        hr_[pos_] = hr_[pos_ + branch] = r;
        const float* wl = hl_.data() + pos_;
        const float* wr = hr_.data() + pos_;
        simd::f4 l0{}, l1{}, r0{}, r1{};
        for (std::size_t k = 0; k < branch; k += 2) {
            l0 += phases_[k] * wl[k];
            r0 += phases_[k] * wr[k];
            l1 += phases_[k + 1] * wl[k + 1];
            r1 += phases_[k + 1] * wr[k + 1];
        }
        pos_ = pos_ == 0 ? branch - 1 : pos_ - 1;
        SubSamples out;
        simd::store(out.l.data(), l0 + l1);
        simd::store(out.r.data(), r0 + r1);
        return out;
    }

private:
    static constexpr std::size_t branch = rate_prototype_taps / oversampling;  // 30
    std::array<simd::f4, branch> phases_{};
    std::array<float, 2 * branch> hl_{}, hr_{};
    std::size_t pos_ = 0;
};

// 4:1 decimator: the four sub-samples go into 120-sample histories (newest first) and
// one output is computed per frame, 0.25 * sum_m p[m] u[N - m] (DC gain 0.99619).
class Decimator {
public:
    Decimator();

    void process(const SubSamples& in, float& l, float& r) {
        for (std::size_t j = 0; j < oversampling; ++j) {
            const std::size_t i = pos_ + oversampling - 1 - j;  // newest at pos_
            hl_[i] = hl_[i + taps] = in.l[j];
            hr_[i] = hr_[i + taps] = in.r[j];
        }
        float sl, sr;
        simd::dot2(h_.data(), hl_.data() + pos_, hr_.data() + pos_, taps, sl, sr);
        l = 0.25f * sl;  // one branch of four
        r = 0.25f * sr;
        pos_ = pos_ == 0 ? taps - oversampling : pos_ - oversampling;
    }

private:
    static constexpr std::size_t taps = rate_prototype_taps;
    std::array<float, taps> h_{};
    std::array<float, 2 * taps> hl_{}, hr_{};
    std::size_t pos_ = 0;
};

// Single-phase decimator: keeps only the first sub-sample of each frame and outputs
// sum_k p[3 + 4k] x[n - k], k = 0...29, without scaling.
class SinglePhaseDecimator {
public:
    SinglePhaseDecimator();

    void process(const SubSamples& in, float& l, float& r) { process(in.l[0], in.r[0], l, r); }

    void process(float first_l, float first_r, float& l, float& r) {
        hl_[pos_] = hl_[pos_ + branch] = first_l;
        hr_[pos_] = hr_[pos_ + branch] = first_r;
        simd::dot2(h_.data(), hl_.data() + pos_, hr_.data() + pos_, padded, l, r);
        pos_ = pos_ == 0 ? branch - 1 : pos_ - 1;
    }

private:
    static constexpr std::size_t branch = rate_prototype_taps / oversampling;
    static constexpr std::size_t padded = simd::round_up8(branch);
    std::array<float, padded> h_{};
    std::array<float, branch + padded> hl_{}, hr_{};
    std::size_t pos_ = 0;
};

}  // namespace torvalen::dsp
