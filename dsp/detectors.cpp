#include "dsp/detectors.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/fir_tables.h"
#include "dsp/simd_kernels.h"


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

void LevelHolders::take_dB(float* out) {
    for (int i = 0; i < 6; ++i) out[i] = static_cast<float>(level_dBFS(value[i]));
    reset();
}

// 2^-8 / 2^-14 at 48 kHz, four times slower (2^-10 / 2^-16) at any other rate.
LevelDetector::LevelDetector(double rate_Hz, bool rest)
    : attack_(rate_Hz == chain_rate_Hz ? 1.0f / 256.0f : 1.0f / 1024.0f),
      decay_(rate_Hz == chain_rate_Hz ? 1.0f / 16384.0f : 1.0f / 65536.0f),
      rms1_(meter_a1, meter_b1, rms_cutoff_Hz, rate_Hz),
      rms2_(meter_a2, meter_b2, rms_cutoff_Hz, rate_Hz),
      rest_(rest) {}

namespace {
// The sign bit aside, every bit of every sample is zero (no early exit: the loop stays
// a few vector ORs).
bool all_zero(const float* x, std::size_t n) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t b;
        std::memcpy(&b, &x[i], sizeof b);
        bits |= b << 1;
    }
    return bits == 0;
}
}  // namespace

void LevelDetector::fold(const float* interleaved, std::size_t samples, std::array<float, 6>& held) {
    constexpr std::size_t run_samples = 2 * TruePeakRun::chunk;
    std::size_t i = 0;
    while (i + 1 < samples) {
        // At rest, a whole silent run goes straight to the rest values (what measuring
        // it would give) without being gathered first: an idle bus costs a scan.
        if (at_rest_ && run_.size() == 0 && samples - i >= run_samples && all_zero(interleaved + i, run_samples)) {
            fold_rest(held);
            i += run_samples;
            continue;
        }
        push(interleaved[i], interleaved[i + 1], held);
        i += 2;
    }
    flush(held);
}

LevelReading LevelDetector::fold_rest(std::array<float, 6>& held) const {
    const float rms_l = std::max(std::sqrt(rest_ms_[0]), level_floor);
    const float rms_r = std::max(std::sqrt(rest_ms_[1]), level_floor);
    const float in[6] = {level_floor, level_floor, level_floor, level_floor, rms_l, rms_r};
    for (int k = 0; k < 6; ++k) held[k] = in[k] > held[k] ? in[k] : held[k];
    return LevelReading{{level_floor, level_floor}, {level_floor, level_floor}, {rms_l, rms_r}};
}

std::size_t TruePeakRun::measure() {
    const std::size_t n = size_;
    simd::kernels().true_peak_block(fir_tables::rate_converter_prototype.data(), xl_.data() + lead,
                                    xr_.data() + lead, n, tp_l_.data(), tp_r_.data());
    // The last `history` frames become the history of the next run (the run's own
    // frames stay readable until the next add).
    std::memmove(xl_.data() + lead - history, xl_.data() + lead + n - history, history * sizeof(float));
    std::memmove(xr_.data() + lead - history, xr_.data() + lead + n - history, history * sizeof(float));
    size_ = 0;
    return n;
}

bool TruePeakRun::silent() const {
    const std::size_t from = lead - history, n = history + size_;
    return all_zero(xl_.data() + from, n) && all_zero(xr_.data() + from, n);
}

LevelReading LevelDetector::process(float l, float r) {
    std::array<float, 6> unused{};
    run_.add(l, r);
    return measure(unused);
}

LevelReading LevelDetector::measure(std::array<float, 6>& held) {
    const bool silent = run_.silent();
    if (silent && at_rest_) {
        run_.skip();
        return fold_rest(held);
    }
    at_rest_ = false;
    const std::size_t n = run_.measure();
    // Per frame, as the meter defines it: the true peak floored; the envelope rises
    // toward it or decays by its own fraction (a pure decay, not held at the current
    // peak), floored; the squares through the two RMS sections (rounded to float between
    // them). The RMS holders take the square root of the largest mean square, which is
    // the largest root.
    // Left and right side by side in two-lane vectors, each lane the operations of one
    // channel in the same order (branch-free: both sides of the envelope's choice are
    // computed and one is taken).
    using F2 = StereoPair<float>::type;
    auto max2 = [](F2 a, F2 b) { return a < b ? b : a; };
    const F2 floor2 = {level_floor, level_floor}, square_floor2 = {squared_level_floor, squared_level_floor};
    F2 env = {envelope_[0], envelope_[1]};
    F2 tp_max = {0.0f, 0.0f}, e_max = {0.0f, 0.0f}, ms_max = {0.0f, 0.0f};
    F2 tp = floor2, ms = {0.0f, 0.0f};
    for (std::size_t i = 0; i < n; ++i) {
        tp = max2(F2{run_.peak_l(i), run_.peak_r(i)}, floor2);
        // The rise never falls below the envelope (itself on or above the floor), so
        // only the decay needs the floor: taking it there keeps it off the rise's path
        // from frame to frame, with the same result.
        env = tp > env ? env + (tp - env) * attack_ : max2(env - env * decay_, floor2);
        const F2 x = {run_.l(i), run_.r(i)};
        ms = max2(x * x, square_floor2);
        ms = rms1_.process(ms);
        ms = rms2_.process(ms);
        tp_max = max2(tp_max, tp);
        e_max = max2(e_max, env);
        ms_max = max2(ms_max, ms);
    }
    envelope_[0] = env[0];
    envelope_[1] = env[1];
    const float el = env[0], er = env[1], ml = ms[0], mr = ms[1], tpl = tp[0], tpr = tp[1];
    const float tp_max_l = tp_max[0], tp_max_r = tp_max[1], e_max_l = e_max[0], e_max_r = e_max[1];
    const float ms_max_l = ms_max[0], ms_max_r = ms_max[1];
    // Rest: a second silent run in a row that ends on the same mean squares, those within
    // a millionth of the floor's square (not a turning point of the sections' ringing
    // after a loud signal), and the envelopes on the floor.
    if (silent) {
        auto near_floor = [](float ms) { return std::fabs(ms - squared_level_floor) <= 1e-6f * squared_level_floor; };
        at_rest_ = rest_ && el == level_floor && er == level_floor && ml == rest_ms_[0] && mr == rest_ms_[1] &&
                   near_floor(ml) && near_floor(mr);
        rest_ms_[0] = ml;
        rest_ms_[1] = mr;
    } else {
        rest_ms_[0] = rest_ms_[1] = -1.0f;
    }
    const float rms_l = std::max(std::sqrt(ms_max_l), level_floor), rms_r = std::max(std::sqrt(ms_max_r), level_floor);
    const float in[6] = {tp_max_l, tp_max_r, e_max_l, e_max_r, rms_l, rms_r};
    for (int k = 0; k < 6; ++k) held[k] = in[k] > held[k] ? in[k] : held[k];
    LevelReading last{};
    last.true_peak[0] = tpl;
    last.true_peak[1] = tpr;
    last.peak_envelope[0] = el;
    last.peak_envelope[1] = er;
    last.rms[0] = std::max(std::sqrt(std::max(ml, 0.0f)), level_floor);
    last.rms[1] = std::max(std::sqrt(std::max(mr, 0.0f)), level_floor);
    return last;
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
