// FIR filters and delay lines, stereo: the FIRs over blocks or runs of frames, the delay
// lines one frame per call.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "dsp/simd.h"
#include "dsp/simd_kernels.h"

namespace torvalen::dsp {

// A stereo FIR whose taps lie `stride` samples apart, over runs of up to 64 frames of
// separate channels: y = sum h[k] x[n - k stride], one vector FIR per channel over the
// run (no horizontal sums). The result does not depend on how the frames are split into
// runs.
class RunFir {
public:
    static constexpr std::size_t max_run = simd::fir_block_group;

    RunFir() = default;
    RunFir(std::span<const float> table, std::size_t stride);

    std::size_t stride() const { return stride_; }

    // n <= max_run frames; the outputs may be the inputs.
    void run(const float* in_l, const float* in_r, float* out_l, float* out_r, std::size_t n);

private:
    std::vector<float> h_;
    std::size_t stride_ = 1;
    std::size_t history_ = 0;    // (taps - 1) * stride samples before a run
    std::vector<float> x_[2];    // per channel: the history, the run, a vector's overrun
    alignas(64) float y_[2][max_run] = {};
};

// Dense FIR of N taps over a constant table, y = sum h[k] x[n-k], over blocks of
// interleaved stereo frames in place: a RunFir with its taps one sample apart, run by
// run (the result does not depend on how the frames are split into blocks and calls).
template <std::size_t N>
class Fir {
public:
    static constexpr std::size_t taps = N;
    // Linear-phase delay of a symmetric table.
    static constexpr int delay_frames = static_cast<int>((N - 1) / 2);

    Fir() = default;
    explicit Fir(std::span<const float, N> table) : fir_(table, 1) {}

    // One frame.
    void process(float& l, float& r) { fir_.run(&l, &r, &l, &r, 1); }

    void process_block(float* x, std::size_t frames) {
        for (std::size_t start = 0; start < frames; start += RunFir::max_run) {
            const std::size_t n = std::min(RunFir::max_run, frames - start);
            float* f = x + 2 * start;
            for (std::size_t i = 0; i < n; ++i) {
                l_[i] = f[2 * i];
                r_[i] = f[2 * i + 1];
            }
            fir_.run(l_, r_, l_, r_, n);
            for (std::size_t i = 0; i < n; ++i) {
                f[2 * i] = l_[i];
                f[2 * i + 1] = r_[i];
            }
        }
    }

private:
    RunFir fir_;
    float l_[RunFir::max_run] = {}, r_[RunFir::max_run] = {};  // a run, by channel
};

// Sparse FIR: the 27-tap crossover prototype with its taps spaced `stride` samples
// apart, y = sum h[k] x[n - k stride], one frame per call. Delay 13 * stride samples.
class SparseFir {
public:
    static constexpr std::size_t taps = 27;

    SparseFir() = default;
    SparseFir(std::span<const float, taps> table, std::size_t stride) : fir_(table, stride) {}

    std::size_t stride() const { return fir_.stride(); }
    int delay_frames() const { return static_cast<int>(13 * fir_.stride()); }  // centre tap 13

    void process(float& l, float& r) { fir_.run(&l, &r, &l, &r, 1); }

private:
    RunFir fir_;
};

// Delay line of L frames carrying W floats per channel per frame: each call exchanges
// the W incoming values of each channel with the values stored L calls earlier. L = 0
// passes the signal unchanged.
class DelayLine {
public:
    DelayLine() = default;
    DelayLine(std::size_t length_frames, std::size_t width = 1);

    std::size_t length() const { return length_; }
    int delay_frames() const { return static_cast<int>(length_); }

    void process(float& l, float& r) {
        if (length_ == 0) return;
        std::swap(l, bl_[pos_]);
        std::swap(r, br_[pos_]);
        if (++pos_ == length_) pos_ = 0;
    }

    // W values per channel.
    void process(std::span<float> l, std::span<float> r) {
        if (length_ == 0) return;
        for (std::size_t i = 0; i < width_; ++i) {
            std::swap(l[i], bl_[pos_ + i]);
            std::swap(r[i], br_[pos_ + i]);
        }
        pos_ += width_;
        if (pos_ == length_ * width_) pos_ = 0;
    }

private:
    std::size_t length_ = 0, width_ = 1;
    std::vector<float> bl_, br_;
    std::size_t pos_ = 0;
};

}  // namespace torvalen::dsp
