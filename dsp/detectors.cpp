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
    if (simd::kernels().level != simd::Level::sse2) {
        // The wider builds run the four-lane kernel (one 256-bit vector of doubles),
        // this detector in two of its lanes: the same values as the loop below.
        RunValues v, unused;
        run_lanes(*this, *this, n, v, unused);
        return finish_run(silent, v, held);
    }
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
    const RunValues v = {{tp[0], tp[1]},         {env[0], env[1]},       {ms[0], ms[1]},
                         {tp_max[0], tp_max[1]}, {e_max[0], e_max[1]}, {ms_max[0], ms_max[1]}};
    return finish_run(silent, v, held);
}

void LevelDetector::measure_pair(LevelDetector& a, std::array<float, 6>& held_a, LevelDetector& b,
                                 std::array<float, 6>& held_b) {
    const bool silent_a = a.run_.silent(), silent_b = b.run_.silent();
    const auto same = [](const auto& s, const auto& t) { return s.b0() == t.b0() && s.a1() == t.a1() && s.a2() == t.a2(); };
    const bool together = a.run_.size() == b.run_.size() && !(silent_a && a.at_rest_) && !(silent_b && b.at_rest_) &&
                          a.attack_ == b.attack_ && a.decay_ == b.decay_ && same(a.rms1_, b.rms1_) &&
                          same(a.rms2_, b.rms2_);
    // Apart when either rests on a silent run (it takes the values at once), when the
    // runs differ in length, or when the detectors are of different rates.
    if (!together) {
        if (a.run_.size() != 0) a.measure(held_a);
        if (b.run_.size() != 0) b.measure(held_b);
        return;
    }
    a.at_rest_ = b.at_rest_ = false;
    const std::size_t n = a.run_.measure();
    b.run_.measure();
    RunValues va, vb;
    run_lanes(a, b, n, va, vb);
    a.finish_run(silent_a, va, held_a);
    b.finish_run(silent_b, vb, held_b);
}

void LevelDetector::run_lanes(LevelDetector& a, LevelDetector& b, std::size_t n, RunValues& va, RunValues& vb) {
    LevelRunArgs k;
    k.tp[0] = a.run_.peaks_left();
    k.tp[1] = a.run_.peaks_right();
    k.tp[2] = b.run_.peaks_left();
    k.tp[3] = b.run_.peaks_right();
    k.x[0] = a.run_.left();
    k.x[1] = a.run_.right();
    k.x[2] = b.run_.left();
    k.x[3] = b.run_.right();
    k.attack = a.attack_;
    k.decay = a.decay_;
    k.floor = level_floor;
    k.square_floor = squared_level_floor;
    const auto coefficients = [](const LowPass2<double>& s, double* c) {
        c[0] = s.b0();
        c[1] = s.a1();
        c[2] = s.a2();
    };
    coefficients(a.rms1_, k.c1);
    coefficients(a.rms2_, k.c2);
    // Section histories in and out: lanes 0, 1 are a's, lanes 2, 3 b's.
    using H = SectionHistory<StereoPair<double>::type>;
    const auto put = [](const H& h, double (*to)[4], int lane) {
        const StereoPair<double>::type* v[4] = {&h.x1, &h.x2, &h.y1, &h.y2};
        for (int j = 0; j < 4; ++j) {
            to[j][lane] = (*v[j])[0];
            to[j][lane + 1] = (*v[j])[1];
        }
    };
    const auto get = [](const double (*from)[4], int lane) {
        return H{{from[0][lane], from[0][lane + 1]},
                 {from[1][lane], from[1][lane + 1]},
                 {from[2][lane], from[2][lane + 1]},
                 {from[3][lane], from[3][lane + 1]}};
    };
    put(a.rms1_.history(), k.h1, 0);
    put(b.rms1_.history(), k.h1, 2);
    put(a.rms2_.history(), k.h2, 0);
    put(b.rms2_.history(), k.h2, 2);
    k.env[0] = a.envelope_[0];
    k.env[1] = a.envelope_[1];
    k.env[2] = b.envelope_[0];
    k.env[3] = b.envelope_[1];
    simd::kernels().level_run(k, n);
    // b first: when b is a, a's lanes are the ones that stay.
    b.rms1_.set_history(get(k.h1, 2));
    b.rms2_.set_history(get(k.h2, 2));
    a.rms1_.set_history(get(k.h1, 0));
    a.rms2_.set_history(get(k.h2, 0));
    const auto values = [&k](int lane) {
        const int m = lane + 1;
        return RunValues{{k.tp_last[lane], k.tp_last[m]}, {k.env[lane], k.env[m]},         {k.ms_last[lane], k.ms_last[m]},
                         {k.tp_max[lane], k.tp_max[m]},   {k.env_max[lane], k.env_max[m]}, {k.ms_max[lane], k.ms_max[m]}};
    };
    va = values(0);
    vb = values(2);
}

LevelReading LevelDetector::finish_run(bool silent, const RunValues& v, std::array<float, 6>& held) {
    envelope_[0] = v.env[0];
    envelope_[1] = v.env[1];
    // Rest: a second silent run in a row that ends on the same mean squares, those within
    // a millionth of the floor's square (not a turning point of the sections' ringing
    // after a loud signal), and the envelopes on the floor.
    if (silent) {
        auto near_floor = [](float ms) { return std::fabs(ms - squared_level_floor) <= 1e-6f * squared_level_floor; };
        at_rest_ = rest_ && v.env[0] == level_floor && v.env[1] == level_floor && v.ms[0] == rest_ms_[0] &&
                   v.ms[1] == rest_ms_[1] && near_floor(v.ms[0]) && near_floor(v.ms[1]);
        rest_ms_[0] = v.ms[0];
        rest_ms_[1] = v.ms[1];
    } else {
        rest_ms_[0] = rest_ms_[1] = -1.0f;
    }
    const float rms_l = std::max(std::sqrt(v.ms_max[0]), level_floor);
    const float rms_r = std::max(std::sqrt(v.ms_max[1]), level_floor);
    const float in[6] = {v.tp_max[0], v.tp_max[1], v.env_max[0], v.env_max[1], rms_l, rms_r};
    for (int k = 0; k < 6; ++k) held[k] = in[k] > held[k] ? in[k] : held[k];
    LevelReading last{};
    last.true_peak[0] = v.tp[0];
    last.true_peak[1] = v.tp[1];
    last.peak_envelope[0] = v.env[0];
    last.peak_envelope[1] = v.env[1];
    last.rms[0] = std::max(std::sqrt(std::max(v.ms[0], 0.0f)), level_floor);
    last.rms[1] = std::max(std::sqrt(std::max(v.ms[1], 0.0f)), level_floor);
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
