// Half-cycle gain hold (min variant) for all five bands and both channels at once: the
// same rule as HalfCycleGainHoldMin, applied to sixteen lanes (left lanes 0-7, right
// lanes 8-15, the layout of a BandFrame) that share one ring cursor. The lanes are
// processed as 4-wide vectors without branches; only the open half-cycle slots, which lie
// at different ring positions per lane, are written one lane at a time.
//
// Each lane's open slot is written through on every sample (it always holds the minimum
// requested so far in its half-cycle), so the entry under the cursor is complete when it
// is read. (The sixteen-lane kernel keeps the open minima in its state instead and
// writes a slot when its half-cycle closes; the samples out are the same.) A slot that
// the cursor reaches while its half-cycle is still open (a half-cycle longer than the
// ring) is consumed and a fresh slot opens at the cursor, as in HalfCycleGainHold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/simd.h"
#include "dsp/simd_kernels.h"

namespace torvalen::dsp {

class BandGainHold {
public:
    static constexpr std::size_t lanes = BandGainHoldState::lanes;

    BandGainHold() = default;
    explicit BandGainHold(std::size_t length);

    std::size_t length() const { return length_; }

    // Lanes whose gains are held (bit k = lane k); the others keep gain 1. Default: the
    // five band lanes of each channel.
    void set_active_lanes(std::uint32_t mask);

    // In place: samples[lane] become the samples of `length` calls earlier times their
    // held gains.
    void process(float* samples, const float* gains) { process(samples, gains, nullptr, nullptr, 0, 1); }

    // The same with the gains smoothed first: a request at or above the smoothed gain is
    // approached at its lane's rate (smooth <- min(smooth * rise, request)), a lower one
    // taken at once; the smoothed gains are then held. Smoothed gains start at 1.
    void process_smoothed(float* samples, const float* requests, const float* rise) {
        process(samples, requests, rise, nullptr, 0, 1);
    }
    // process_smoothed() on `count` consecutive calls' samples and requests, each call's
    // sixteen `stride` floats after the previous call's; each call's requests are first
    // scaled by its pair {left, right} of `scale` (lanes 0-7 by left, 8-15 by right).
    void process_smoothed(float* samples, const float* requests, const float* rise, const float* scale,
                          std::size_t stride, std::size_t count) {
        process(samples, requests, rise, scale, stride, count);
    }
    // The smoothed gains (sixteen lanes), to hand them over to and from another mode.
    const float* smoothed() const { return st_.smooth; }
    void set_smoothed(const float* gains) { std::memcpy(st_.smooth, gains, sizeof st_.smooth); }

private:
    void process(float* samples, const float* gains, const float* rise, const float* scale, std::size_t stride,
                 std::size_t count) {
        if (const auto wide = simd::kernels().band_gain_hold) {  // all sixteen lanes in one register
            st_.ring = ring_.front().gain;
            st_.cursor = static_cast<std::int32_t>(cursor_);
            wide(st_, samples, gains, rise, scale, stride, count);
            cursor_ = static_cast<std::size_t>(st_.cursor);
            return;
        }
        for (std::size_t j = 0; j < count; ++j) {
            const float* g = gains + j * stride;
            alignas(16) float scaled[lanes];
            if (scale) {
                for (std::size_t i = 0; i < lanes; ++i) scaled[i] = g[i] * scale[2 * j + i / (lanes / 2)];
                g = scaled;
            }
            process_one(samples + j * stride, g, rise);
        }
    }

    void process_one(float* samples, const float* gains, const float* rise) {
        if (rise) {
            for (std::size_t i = 0; i < lanes; i += 4) {
                const simd::f4 h = simd::load(gains + i), sm = simd::load(st_.smooth + i);
                simd::store(st_.smooth + i, h >= sm ? simd::min(sm * simd::load(rise + i), h) : h);
            }
            gains = st_.smooth;
        }
        auto& applied_ = st_.applied;
        auto& previous_ = st_.previous;
        auto& open_min_ = st_.open_min;
        auto& open_ = st_.open;
        Entry& e = ring_[cursor_];
        const std::int32_t cursor = static_cast<std::int32_t>(cursor_);
        using i4 = std::int32_t __attribute__((vector_size(16)));
        for (std::size_t i = 0; i < lanes; i += 4) {
            const simd::f4 slot = simd::load(e.gain + i);
            const simd::f4 applied = slot >= 0.0f ? slot : simd::load(applied_ + i);
            simd::store(applied_ + i, applied);
            const simd::f4 x = simd::load(samples + i), g = simd::load(gains + i);
            const i4 same = (x >= 0.0f) == (simd::load(previous_ + i) >= 0.0f);
            i4 open;
            std::memcpy(&open, open_ + i, sizeof open);
            const i4 reopen = ~same | (open == cursor);
            simd::store(open_min_ + i, reopen ? g : simd::min(simd::load(open_min_ + i), g));
            open = reopen ? i4{} + cursor : open;
            std::memcpy(open_ + i, &open, sizeof open);
            simd::store(previous_ + i, x);
            simd::store(e.gain + i, simd::splat(empty));
            simd::store(samples + i, simd::load(e.sample + i) * applied);
            simd::store(e.sample + i, x);
        }
        // Write each open slot through (lanes differ in where their half-cycle began).
        for (std::size_t k = 0; k < active_count_; ++k) {
            const std::size_t lane = active_list_[k];
            ring_[static_cast<std::size_t>(open_[lane])].gain[lane] = open_min_[lane];
        }
        if (++cursor_ == length_) cursor_ = 0;
    }

    static constexpr float empty = -1.0f;
    struct alignas(64) Entry {
        float gain[lanes];
        float sample[lanes];
    };

    static_assert(sizeof(Entry) == BandGainHoldState::entry_floats * sizeof(float));

    std::vector<Entry> ring_;  // `length` entries, then a spare one the wide kernel may write
    std::size_t length_ = 0;
    std::size_t cursor_ = 0;
    BandGainHoldState st_;
    std::size_t active_count_ = 0;
    std::array<std::uint8_t, lanes> active_list_{};
};

}  // namespace torvalen::dsp
