#include "dsp/gain_hold.h"

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

BlockMinSmoother::BlockMinSmoother()
    : smooth_{LowPass2<float>(0.7019, 0.4322, smoother_cutoff_Hz, smoother_design_rate_Hz),
              LowPass2<float>(0.6667, 1.2931, smoother_cutoff_Hz, smoother_design_rate_Hz),
              LowPass2<float>(0.4479, 2.1363, smoother_cutoff_Hz, smoother_design_rate_Hz)} {}

void BlockMinSmoother::process(float& l, float& r, float gain_l, float gain_r) {
    ++call_;
    float sl = min_l_.push(gain_l, call_), sr = min_r_.push(gain_r, call_);
    for (auto& s : smooth_) s.process(sl, sr);

    float* frame = &audio_[2 * audio_pos_];
    const float dl = frame[0], dr = frame[1];
    frame[0] = l;
    frame[1] = r;
    if (++audio_pos_ == slots) audio_pos_ = 0;
    l = dl * sl;
    r = dr * sr;
}

}  // namespace torvalen::dsp
