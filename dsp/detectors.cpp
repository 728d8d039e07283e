#include "dsp/detectors.h"

#include <algorithm>
#include <cmath>

#include "dsp/simd.h"

namespace torvalen::dsp {

namespace {
// Two-section meter low-pass prototype (pairs of the 4th-order cascade).
constexpr double meter_a1 = 0.794, meter_b1 = 0.5029;
constexpr double meter_a2 = 0.6304, meter_b2 = 1.5407;
constexpr double rms_cutoff_Hz = 0.63659996;
constexpr double power_cutoff_Hz = 1.79;
constexpr double bs1770_offset_dB = -0.691;
}  // namespace

double level_dBFS(double level) { return 20.0 * std::log10(level / full_scale); }

double loudness_LKFS(double level) {
    return bs1770_offset_dB + 20.0 * std::log10(std::max(level, 1e-30) / full_scale);
}

// 2^-8 / 2^-14 at 48 kHz, four times slower (2^-10 / 2^-16) at any other rate.
LevelDetector::LevelDetector(double rate_Hz)
    : attack_(rate_Hz == chain_rate_Hz ? 1.0f / 256.0f : 1.0f / 1024.0f),
      decay_(rate_Hz == chain_rate_Hz ? 1.0f / 16384.0f : 1.0f / 65536.0f),
      rms1_(meter_a1, meter_b1, rms_cutoff_Hz, rate_Hz),
      rms2_(meter_a2, meter_b2, rms_cutoff_Hz, rate_Hz) {}

LevelReading LevelDetector::process(float l, float r) {
    // Both channels side by side, without branches: the true peak of each channel is the
    // largest |sub-sample| of its four, the envelope rises or decays by lane.
    using simd::f4;
    using f2 = StereoPair<float>::type;
    const SubSamples s = interpolator_.process(l, r);
    const f4 al = simd::abs(simd::load(s.l.data())), ar = simd::abs(simd::load(s.r.data()));
    const f4 m = simd::max(__builtin_shufflevector(al, ar, 0, 1, 4, 5), __builtin_shufflevector(al, ar, 2, 3, 6, 7));
    f2 peak = __builtin_shufflevector(m, m, 0, 2);
    const f2 other = __builtin_shufflevector(m, m, 1, 3);
    peak = peak > other ? peak : other;
    const f2 floor = f2{level_floor, level_floor};
    const f2 tp = peak > floor ? peak : floor;
    f2 e = {envelope_[0], envelope_[1]};
    e = tp > e ? e + (tp - e) * attack_ : e - e * decay_;  // pure decay, not held at the current peak
    e = e > floor ? e : floor;
    envelope_[0] = e[0];
    envelope_[1] = e[1];
    LevelReading out{};
    out.true_peak[0] = tp[0];
    out.true_peak[1] = tp[1];
    out.peak_envelope[0] = e[0];
    out.peak_envelope[1] = e[1];
    float ml = std::max(l * l, squared_level_floor);
    float mr = std::max(r * r, squared_level_floor);
    rms1_.process(ml, mr);  // leaves in float: rounded before the second section
    rms2_.process(ml, mr);
    out.rms[0] = std::max(std::sqrt(std::max(ml, 0.0f)), level_floor);
    out.rms[1] = std::max(std::sqrt(std::max(mr, 0.0f)), level_floor);
    return out;
}

float KWeighting::Biquad::step(float x, int ch) {
    const float y = b0 * x + b1 * x1[ch] + b2 * x2[ch] - a1 * y1[ch] - a2 * y2[ch];
    x2[ch] = x1[ch];
    x1[ch] = x;
    y2[ch] = y1[ch];
    y1[ch] = y;
    return y;
}

void KWeighting::process(float& l, float& r) {
    l = high_pass_.step(shelf_.step(l, 0), 0);
    r = high_pass_.step(shelf_.step(r, 1), 1);
}

PowerDetector::PowerDetector(bool k_weighted)
    : k_weighted_(k_weighted),
      lp1_(meter_a1, meter_b1, power_cutoff_Hz, chain_rate_Hz),
      lp2_(meter_a2, meter_b2, power_cutoff_Hz, chain_rate_Hz),
      delay_(look_ahead_frames) {}

float PowerDetector::process(float& l, float& r, float floor, bool delay_on, int& latency_frames) {
    float yl = l, yr = r;
    if (k_weighted_) k_.process(yl, yr);
    float s = yl * yl + yr * yr;
    float unused = 0.0f;  // the cascade is stereo; one channel carries s
    lp1_.process(s, unused);
    lp2_.process(s, unused);
    if (delay_on) {
        delay_.process(l, r);
        latency_frames += look_ahead_frames;
    }
    return std::max(std::sqrt(std::max(s, 0.0f)), floor);
}

}  // namespace torvalen::dsp
