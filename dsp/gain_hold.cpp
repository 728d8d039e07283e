#include "dsp/gain_hold.h"

#include "dsp/simd.h"

namespace torvalen::dsp {

namespace {
constexpr double smoother_cutoff_Hz = 328.25705;  // designed at 48 kHz, run at 192 kHz
constexpr double smoother_design_rate_Hz = 48000.0;

float ring_min(const std::array<float, BlockMinSmoother::slots>& ring) {
    simd::f4 m0 = simd::load(ring.data()), m1 = simd::load(ring.data() + 4);
    for (std::size_t i = 8; i < ring.size(); i += 8) {
        m0 = simd::min(m0, simd::load(ring.data() + i));
        m1 = simd::min(m1, simd::load(ring.data() + i + 4));
    }
    const simd::f4 m = simd::min(m0, m1);
    const float a = m[0] < m[1] ? m[0] : m[1];
    const float b = m[2] < m[3] ? m[2] : m[3];
    return a < b ? a : b;
}
}  // namespace

BlockMinSmoother::BlockMinSmoother()
    : smooth_{LowPass2<float>(0.7019, 0.4322, smoother_cutoff_Hz, smoother_design_rate_Hz),
              LowPass2<float>(0.6667, 1.2931, smoother_cutoff_Hz, smoother_design_rate_Hz),
              LowPass2<float>(0.4479, 2.1363, smoother_cutoff_Hz, smoother_design_rate_Hz)} {
    gl_.fill(1.0f);
    gr_.fill(1.0f);
}

void BlockMinSmoother::process(float& l, float& r, float gain_l, float gain_r) {
    gl_[slot_] = gain_l < gl_[slot_] ? gain_l : gl_[slot_];
    gr_[slot_] = gain_r < gr_[slot_] ? gain_r : gr_[slot_];
    // Slot length is one call: move down one slot and open it without a limit.
    slot_ = slot_ == 0 ? slots - 1 : slot_ - 1;
    gl_[slot_] = no_limit;
    gr_[slot_] = no_limit;

    float sl = ring_min(gl_), sr = ring_min(gr_);
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
