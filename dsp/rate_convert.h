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
#include "dsp/simd_kernels.h"

namespace torvalen::dsp {

inline constexpr int oversampling = 4;                // sub-samples per 48 kHz frame
inline constexpr int rate_prototype_taps = 120;       // 30 taps per branch
inline constexpr int interpolate_decimate_delay_frames = 29;

// Four sub-samples per channel, oldest first.
struct SubSamples {
    std::array<float, oversampling> l{}, r{};
};

// 4x polyphase interpolator: sub-sample j = sum_k p[4k + j] x[n - k], k = 0...29.
// Each history entry holds the frame as {l x4, r x4} and each phase entry p[4k ... 4k+3]
// twice, so a tap is one 8-lane multiply-add for both channels and all four outputs and
// needs no horizontal sum (one AVX2 register, or two neighbouring taps in one AVX-512
// register; two 4-wide vectors on the baseline).
class Interpolator {
public:
    Interpolator();

    SubSamples process(float l, float r) {
        float* e = history_.data() + entry * pos_;
        alignas(32) float out[entry];
        simd::kernels().interpolate_stereo(phases_, e + entry, l, r, e, e + branch * entry, out);
        pos_ = pos_ == 0 ? branch - 1 : pos_ - 1;
        SubSamples s;
        for (std::size_t j = 0; j < oversampling; ++j) {
            s.l[j] = out[j];
            s.r[j] = out[oversampling + j];
        }
        return s;
    }

private:
    static constexpr std::size_t branch = rate_prototype_taps / oversampling;  // 30
    static constexpr std::size_t entry = 2 * oversampling;                      // {l x4, r x4}
    const float* phases_;  // shared table of `branch` entries
    alignas(64) std::array<float, 2 * branch * entry> history_{};
    std::size_t pos_ = 0;
};

// The 4x interpolator for runs of frames: the same filter as Interpolator, each run
// computed at once as eight FIRs of 30 taps (two channels, four phases: one vector FIR
// each over the run, no horizontal sums). Its rounding differs from Interpolator's; the
// result does not depend on how the frames are split into runs.
class BlockInterpolator {
public:
    static constexpr std::size_t max_run = simd::fir_block_group;

    BlockInterpolator();

    // Interpolates frames 0 ... n-1 (n <= max_run) of a run of interleaved stereo frames
    // and starts the next run.
    void run(const float* interleaved, std::size_t n);
    // Sub-sample j of frame i of the last run.
    SubSamples at(std::size_t i) const {
        SubSamples s;
        for (std::size_t j = 0; j < oversampling; ++j) {
            s.l[j] = out_[0][j][i];
            s.r[j] = out_[1][j][i];
        }
        return s;
    }

private:
    static constexpr std::size_t branch = rate_prototype_taps / oversampling;  // 30
    static constexpr std::size_t history = branch - 1;
    alignas(64) float h_[oversampling][branch];  // h_[j][k] = p[4k + j]
    // Per channel: the 29 older frames, the run, room for a vector's overrun.
    alignas(64) float x_[2][history + max_run + 16] = {};
    alignas(64) float out_[2][oversampling][max_run + 16] = {};
};

// 4:1 decimator: the four sub-samples go into 120-sample histories (newest first) and
// one output is computed per frame, 0.25 * sum_m p[m] u[N - m] (DC gain 0.99619).
class Decimator {
public:
    Decimator();

    // The four new sub-samples (taps 0-3) are summed from the arguments; taps 4...119
    // are one vector dot product over the older samples, a window that never touches
    // the values stored in this call (see Fir).
    void process(const SubSamples& in, float& l, float& r) {
        float sl, sr;
        simd::kernels().dot2(h_.data(), hl_.data() + pos_ + oversampling, hr_.data() + pos_ + oversampling, older,
                             sl, sr);
        float nl = 0.0f, nr = 0.0f;
        for (std::size_t j = 0; j < oversampling; ++j) {  // newest (j = 3) at tap 0
            nl += h_new_[j] * in.l[j];
            nr += h_new_[j] * in.r[j];
        }
        l = 0.25f * (nl + sl);  // one branch of four
        r = 0.25f * (nr + sr);
        for (std::size_t j = 0; j < oversampling; ++j) {
            const std::size_t i = pos_ + oversampling - 1 - j;  // newest at pos_
            hl_[i] = hl_[i + ring] = in.l[j];
            hr_[i] = hr_[i + ring] = in.r[j];
        }
        pos_ = pos_ == 0 ? ring - oversampling : pos_ - oversampling;
    }

private:
    static constexpr std::size_t taps = rate_prototype_taps;
    static constexpr std::size_t older = simd::round_up8(taps - oversampling);  // taps 4...119, padded
    static constexpr std::size_t ring = older + oversampling;                   // a multiple of 4
    static_assert(ring % oversampling == 0);
    std::array<float, oversampling> h_new_{};  // h[3], h[2], h[1], h[0]: sub-sample j has tap 3 - j
    std::array<float, older> h_{};
    std::array<float, 2 * ring> hl_{}, hr_{};
    std::size_t pos_ = 0;
};

// The 4:1 decimator for runs of frames: the same filter as Decimator, each run computed
// at once as four polyphase FIRs of 30 taps summed (one vector FIR per channel over the
// run, no horizontal sums). Sub-sample j of frame i is u[4i + j], so with the phase
// streams u_j[i] = u[4i + j] an output is sum over j and k of p[4k + 3 - j] u_j[i - k]
// (the prototype with the 1/4 folded in, exactly). Its rounding differs from
// Decimator's; the result does not depend on how the frames are split into runs.
class BlockDecimator {
public:
    static constexpr std::size_t max_run = simd::fir_block_group;

    BlockDecimator();

    // The sub-samples of frame i (< max_run) of the current run.
    void put(std::size_t i, const SubSamples& s) {
        for (std::size_t j = 0; j < oversampling; ++j) {
            u_[0][j][history + i] = s.l[j];
            u_[1][j][history + i] = s.r[j];
        }
    }
    // Decimates frames 0 ... n-1 of the run (n <= max_run) into interleaved stereo
    // frames and starts the next run.
    void run(float* interleaved, std::size_t n);

private:
    static constexpr std::size_t branch = rate_prototype_taps / oversampling;  // 30
    static constexpr std::size_t history = branch - 1;
    alignas(64) float q_[oversampling][branch];  // q_[j][k] = p[4k + 3 - j] / 4
    // Per channel and phase: the 29 older samples, the run, room for a vector's overrun.
    alignas(64) float u_[2][oversampling][history + max_run + 16] = {};
    alignas(64) float out_[2][max_run] = {};
};

// Single-phase decimator: keeps only the first sub-sample of each frame and outputs
// sum_k p[3 + 4k] x[n - k], k = 0...29, without scaling.
class SinglePhaseDecimator {
public:
    SinglePhaseDecimator();

    void process(const SubSamples& in, float& l, float& r) { process(in.l[0], in.r[0], l, r); }

    // Tap 0 from the arguments, taps 1...29 over the older samples (see Fir).
    void process(float first_l, float first_r, float& l, float& r) {
        float sl, sr;
        simd::kernels().dot2(h_.data(), hl_.data() + pos_ + 1, hr_.data() + pos_ + 1, padded, sl, sr);
        l = h0_ * first_l + sl;
        r = h0_ * first_r + sr;
        hl_[pos_] = hl_[pos_ + ring] = first_l;
        hr_[pos_] = hr_[pos_ + ring] = first_r;
        pos_ = pos_ == 0 ? ring - 1 : pos_ - 1;
    }

private:
    static constexpr std::size_t branch = rate_prototype_taps / oversampling;
    static constexpr std::size_t padded = simd::round_up8(branch - 1);  // taps 1...29
    static constexpr std::size_t ring = padded + 1;
    float h0_ = 0.0f;
    std::array<float, padded> h_{};
    std::array<float, 2 * ring> hl_{}, hr_{};
    std::size_t pos_ = 0;
};

}  // namespace torvalen::dsp
