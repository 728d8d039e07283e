// The bass enhancer measured: its linear response at 0 dB boost against the transfer
// function of its sections, the boost of the upper octave, and the high-latency delays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

#include "dsp/bass_enhancer.h"
#include "dsp/rate_tables.h"
#include "tests/dsp/signal_helpers.h"

namespace torvalen::dsp {
namespace {

using test::measure_sine;
using cplx = std::complex<double>;
constexpr double fs_Hz = 48000.0;
constexpr double pi = std::numbers::pi;

// Transfer functions of the sections at z = e^{jw}.
cplx second_order(double b0, double a1, double a2, double mid, cplx zi) {
    return b0 * (1.0 + mid * zi + zi * zi) / (1.0 + a1 * zi + a2 * zi * zi);
}
template <typename S>
cplx high_pass(const S& s, cplx zi) { return second_order(s.b0(), s.a1(), s.a2(), -2.0, zi); }
template <typename S>
cplx low_pass(const S& s, cplx zi) { return second_order(s.b0(), s.a1(), s.a2(), 2.0, zi); }
cplx first_order_low(double b, double a, cplx zi) { return b * (1.0 + zi) / (1.0 + a * zi); }
cplx band_pass(const Resonator<double>& s, cplx zi) {
    return 2.0 * s.alpha() * (1.0 - zi * zi) / (1.0 - 2.0 * s.gamma() * zi + 2.0 * s.beta() * zi * zi);
}

// hi + sum of the sixteen band-passes of lo, after the 50 Hz high-pass, with the upper
// eight band-passes scaled by `upper_gain`: the enhancer's response with fixed gains.
cplx expected_response(double f, double upper_gain = 1.0) {
    const cplx zi = std::polar(1.0, -2 * pi * f / fs_Hz);
    const double hp50[3][2] = {{0.2784, 0.2596}, {0.2037, 0.7091}, {0.07459, 0.9687}};
    const double split[3][2] = {{0.901, 0.4339}, {0.6235, 0.7818}, {0.2225, 0.9749}};
    cplx h50 = 1.0, hi = 1.0, lo = 1.0;
    for (int k = 0; k < 3; ++k) {
        h50 *= high_pass(design_high_pass2<double>(hp50[k][0], hp50[k][1], 50.0, fs_Hz), zi);
        hi *= high_pass(design_high_pass2<double>(split[k][0], split[k][1], 200.0, fs_Hz), zi);
        lo *= low_pass(LowPass2<double>(split[k][0], split[k][1], 200.0, fs_Hz), zi);
    }
    const cplx real_pole = first_order_low(0.012921564, -0.97415686, zi);
    hi *= 1.0 - real_pole;
    lo *= real_pole;
    cplx bank = 0.0;
    for (int i = 0; i < BassEnhancer::bands; ++i)
        bank += (i < 8 ? 1.0 : upper_gain) * band_pass(design_resonator_48k(50.0 * std::pow(2.0, i / 8.0), 11.5379505), zi);
    return h50 * (hi + lo * bank);
}

TEST(BassEnhancer, BandCentresAreEighthOctavesFrom50Hz) {
    EXPECT_DOUBLE_EQ(BassEnhancer::band_centre_Hz(0), 50.0);
    EXPECT_NEAR(BassEnhancer::band_centre_Hz(8), 100.0, 1e-4);
    EXPECT_NEAR(BassEnhancer::band_centre_Hz(15), 183.4, 0.05);
}

TEST(BassEnhancer, ZeroBoostReproducesHiPlusTheBandSum) {
    BassEnhancerParams p;
    p.boost = 1.0f;  // 0 dB
    for (double f : {20.0, 35.0, 50.0, 57.0, 75.0, 91.7, 100.0, 130.0, 160.0, 183.4, 200.0, 260.0, 1000.0, 8000.0}) {
        auto be = std::make_unique<BassEnhancer>();
        const auto m = measure_sine([&](float& l, float& r) { be->process(l, r, p); }, f, fs_Hz, 48000, 48000);
        const cplx want = expected_response(f);
        const cplx got = std::polar(m.gain, m.phase_rad);
        EXPECT_LT(std::abs(got - want), 2e-3 * std::max(1.0, std::abs(want))) << f << " Hz: " << m.gain_dB << " dB vs " << test::dB(std::abs(want));
    }
    // Content below 50 Hz is removed.
    EXPECT_LT(test::dB(std::abs(expected_response(20.0))), -40.0);
}

// Amplitude of frequency f in y over its last `n` samples (Hann window, so a louder tone
// nearby does not leak into the reading).
double component(const std::vector<float>& y, double f, int n) {
    cplx acc = 0.0;
    double weight = 0.0;
    for (int i = 0; i < n; ++i) {
        const std::size_t k = y.size() - n + i;
        const double w = 0.5 - 0.5 * std::cos(2 * pi * (i + 0.5) / n);
        acc += w * double(y[k]) * std::polar(1.0, -2 * pi * f * k / fs_Hz);
        weight += w;
    }
    return 2.0 * std::abs(acc) / weight;
}

std::vector<float> run(const BassEnhancerParams& p, double f_low, double a_low, double f_high, double a_high, int frames) {
    auto be = std::make_unique<BassEnhancer>();
    std::vector<float> y(frames);
    for (int n = 0; n < frames; ++n) {
        float l = static_cast<float>(a_low * std::sin(2 * pi * f_low * n / fs_Hz) + a_high * std::sin(2 * pi * f_high * n / fs_Hz));
        float r = l;
        be->process(l, r, p);
        EXPECT_EQ(l, r);
        y[n] = l;
    }
    return y;
}

TEST(BassEnhancer, UpperBandIsRaisedByAtMostTheBoost) {
    // Band 2 (59.5 Hz) 20 dB above band 10 (118.9 Hz): with "Boost" 6 dB every upper band
    // is raised by the full 6 dB, so at 118.9 Hz the response is that of the bank with
    // its upper half doubled (the lower bands and hi, which also reach 118.9 Hz, keep
    // their gain).
    const double f2 = BassEnhancer::band_centre_Hz(2), f10 = BassEnhancer::band_centre_Hz(10);
    BassEnhancerParams flat, boosted;
    flat.boost = 1.0f;
    boosted.boost = static_cast<float>(std::pow(10.0, 6.0 / 20.0));
    constexpr int frames = 96000, window = 48000;
    const auto y0 = run(flat, f2, 1.0e7, f10, 1.0e6, frames);
    const auto y6 = run(boosted, f2, 1.0e7, f10, 1.0e6, frames);
    const double want = std::abs(expected_response(f10, 2.0)) / std::abs(expected_response(f10));
    EXPECT_NEAR(test::dB(component(y6, f10, window) / component(y0, f10, window)), test::dB(want), 0.1);
    EXPECT_GT(test::dB(want), 5.0);
}

TEST(BassEnhancer, UpperBandRisesTowardTheOctaveBelow) {
    // Band 2 6 dB above band 10 and a boost limit of 15 dB: the upper tone is raised by
    // about the 6 dB that separates the two bands' levels.
    const double f2 = BassEnhancer::band_centre_Hz(2), f10 = BassEnhancer::band_centre_Hz(10);
    BassEnhancerParams flat, boosted;
    flat.boost = 1.0f;
    constexpr int frames = 96000, window = 48000;
    const auto y0 = run(flat, f2, 2.0e6, f10, 1.0e6, frames);
    const auto y15 = run(boosted, f2, 2.0e6, f10, 1.0e6, frames);
    EXPECT_NEAR(test::dB(component(y15, f10, window) / component(y0, f10, window)), 6.0, 1.0);
    // Quiet programme (below the level 1 floor of the bands) is not boosted.
    const auto q0 = run(flat, f2, 0.2, f10, 0.1, frames);
    const auto q15 = run(boosted, f2, 0.2, f10, 0.1, frames);
    EXPECT_NEAR(test::dB(component(q15, f10, window) / component(q0, f10, window)), 0.0, 0.05);
}

TEST(BassEnhancer, HighLatencyDelaysTheRestBy2028Frames) {
    // A 1 kHz tone lives entirely in hi, which passes the 2028-frame delay line. (Its
    // onset makes the band-passes ring for a while; they lag 2048 frames, so the
    // comparison starts once the ringing has died away.)
    BassEnhancerParams low, high;
    high.high_latency = true;
    const auto yl = run(low, 1000.0, 1.0e8, 0.0, 0.0, 30000);
    const auto yh = run(high, 1000.0, 1.0e8, 0.0, 0.0, 30000);
    for (int n = 20000; n < 30000; ++n) ASSERT_NEAR(yh[n], yl[n - 2028], 1e-5 * 1.0e8) << n;
    EXPECT_EQ(BassEnhancer::delay_frames(true), 2028);
    EXPECT_EQ(BassEnhancer::delay_frames(false), 0);
}

}  // namespace
}  // namespace torvalen::dsp
