#include "dsp/gain_hold.h"

#include <algorithm>

#include "dsp/simd.h"

namespace torvalen::dsp {

namespace {
constexpr double smoother_cutoff_Hz = 328.25705;  // designed at 48 kHz, run at 192 kHz
constexpr double smoother_design_rate_Hz = 48000.0;

}  // namespace

// The window holds the last `slots - 1` requests; before the first calls it holds 1s
// (the ring's initial slots), represented by one 1 that expires with the last of them.
BlockMinSmoother::WindowMin::WindowMin() {
    value_[0] = 1.0f;
    call_[0] = 0;
    size_ = 1;
}

float BlockMinSmoother::WindowMin::push(float v, uint64_t call) {
    // `call` counts from 1; entries up to call - (slots - 1) have left the window.
    constexpr std::size_t mask = capacity - 1;
    while (size_ > 0 && value_[(head_ + size_ - 1) & mask] >= v) --size_;
    value_[(head_ + size_) & mask] = v;
    call_[(head_ + size_) & mask] = call;
    ++size_;
    while (call_[head_] + (slots - 1) <= call) {
        head_ = (head_ + 1) & mask;
        --size_;
    }
    return value_[head_];
}

BlockMinSmoother::BlockMinSmoother(bool shortcuts)
    : smooth_{LowPass2<float>(0.7019, 0.4322, smoother_cutoff_Hz, smoother_design_rate_Hz),
              LowPass2<float>(0.6667, 1.2931, smoother_cutoff_Hz, smoother_design_rate_Hz),
              LowPass2<float>(0.4479, 2.1363, smoother_cutoff_Hz, smoother_design_rate_Hz)},
      shortcuts_(shortcuts) {}

void BlockMinSmoother::WindowMin::reset_to_ones(uint64_t call) {
    head_ = 0;
    size_ = 1;
    value_[0] = 1.0f;
    call_[0] = call;
}

void BlockMinSmoother::process_full(float& l, float& r, float gain_l, float gain_r) {
    ++call_;
    const bool ones = shortcuts_ && gain_l == 1.0f && gain_r == 1.0f;
    ones_ = ones ? std::min(ones_ + 1, slots) : 0;
    float sl = 1.0f, sr = 1.0f;
    if (ones_ == slots) {  // the whole window asked for 1; not yet cycling (process() replays)
        windows_behind_ = true;
        const uint64_t since = call_ - snapshot_call_;
        for (auto& s : smooth_) s.process(sl, sr);
        if (snapshot_valid_ && since <= max_cycle) {
            cycle_[2 * (since - 1)] = sl;
            cycle_[2 * (since - 1) + 1] = sr;
            bool same = true;
            for (std::size_t k = 0; k < smooth_.size(); ++k) same = same && smooth_[k].same_state(snapshot_[k]);
            if (same) {
                period_ = static_cast<std::size_t>(since);
                cycle_pos_ = 0;
                cycling_ = true;
            }
        }
        if (!cycling_ && (!snapshot_valid_ || since >= max_cycle)) {
            snapshot_ = smooth_;
            snapshot_call_ = call_;
            snapshot_valid_ = true;
        }
    } else {
        if (windows_behind_) {
            min_l_.reset_to_ones(call_ - 1);
            min_r_.reset_to_ones(call_ - 1);
            windows_behind_ = false;
        }
        if (cycling_) {  // the state after the previous call, rebuilt from the cycle's start
            smooth_ = snapshot_;
            const uint64_t steps = (call_ - 1 - snapshot_call_) % period_;
            for (uint64_t n = 0; n < steps; ++n) {
                float a = 1.0f, b = 1.0f;
                for (auto& s : smooth_) s.process(a, b);
            }
            cycling_ = false;
        }
        snapshot_valid_ = false;
        sl = min_l_.push(gain_l, call_);
        sr = min_r_.push(gain_r, call_);
        for (auto& s : smooth_) s.process(sl, sr);
    }

    delay(l, r, sl, sr);
}

}  // namespace torvalen::dsp
