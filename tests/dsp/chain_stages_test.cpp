// The stages shared by both processors, measured on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "dsp/chain_stages.h"
#include "dsp/gain_hold.h"
#include "dsp/iir.h"
#include "tests/dsp/signal_helpers.h"

namespace torvalen::dsp {
namespace {

// The block-minimum smoother as a plain ring of 128 slots scanned every call, the way
// the primitive is defined; the fast sliding minimum must match it exactly.
struct RingModel {
    std::array<float, 128> l, r;
    std::size_t slot = 0;
    std::array<LowPass2<float>, 3> smooth{LowPass2<float>(0.7019, 0.4322, 328.25705, 48000.0),
                                          LowPass2<float>(0.6667, 1.2931, 328.25705, 48000.0),
                                          LowPass2<float>(0.4479, 2.1363, 328.25705, 48000.0)};
    std::array<float, 256> audio{};
    std::size_t pos = 0;
    RingModel() {
        l.fill(1.0f);
        r.fill(1.0f);
    }
    void process(float& xl, float& xr, float gl, float gr) {
        l[slot] = std::min(l[slot], gl);
        r[slot] = std::min(r[slot], gr);
        slot = slot == 0 ? 127 : slot - 1;
        l[slot] = r[slot] = 1.0e10f;
        float sl = *std::min_element(l.begin(), l.end()), sr = *std::min_element(r.begin(), r.end());
        for (auto& s : smooth) s.process(sl, sr);
        const float dl = audio[2 * pos], dr = audio[2 * pos + 1];
        audio[2 * pos] = xl;
        audio[2 * pos + 1] = xr;
        if (++pos == 128) pos = 0;
        xl = dl * sl;
        xr = dr * sr;
    }
};

TEST(BlockMinSmoother, SlidingMinimumMatchesTheRingExactly) {
    BlockMinSmoother fast;
    RingModel ring;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 9);
    for (int n = 0; n < 20000; ++n) {
        // Mostly unity, runs of reductions, occasional deep ones.
        const float gl = pick(rng) < 7 ? 1.0f : u(rng), gr = pick(rng) < 8 ? 1.0f : 0.5f + 0.5f * u(rng);
        float al = 1e9f * std::sin(0.01f * n), ar = -al;
        float bl = al, br = ar;
        fast.process(al, ar, gl, gr);
        ring.process(bl, br, gl, gr);
        ASSERT_EQ(al, bl) << n;
        ASSERT_EQ(ar, br) << n;
    }
}

TEST(OutputStage, SafetyClipperHoldsADenseOverloadAtFullScale) {
    OutputStage out;
    OutputParams p;  // FM low-pass, power limiter off
    double peak = 0, late_peak = 0;
    int latency = 0;
    for (int n = 0; n < 48000; ++n) {
        // Section output 6 dB over its level: x64 puts the peaks 6 dB over full scale.
        float l = static_cast<float>(2 * 33554432.0 * std::sin(2 * 3.14159265 * 997.0 * n / 48000.0));
        float r = static_cast<float>(2 * 33554432.0 * std::sin(2 * 3.14159265 * 3001.0 * n / 48000.0));
        latency = 0;
        out.process(l, r, p, latency);
        peak = std::max({peak, std::fabs(double(l)), std::fabs(double(r))});
        if (n > 24000) late_peak = std::max(late_peak, std::fabs(double(l)));
    }
    EXPECT_EQ(latency, 26 + 61);
    EXPECT_LE(peak, 2147483648.0);
    EXPECT_GT(late_peak, 0.9 * 2147483648.0);  // limited, not muted
}

// De-emphasis is a bilinear first-order low-pass: its corner sits at 1/(2 pi tau) and
// its response is the analog one with the frequency axis warped, w_a = 2 fs tan(w / 2).
TEST(OutputStage, DeEmphasisFollowsItsTimeConstant) {
    for (uint32_t mode : {1u, 2u}) {
        const double tau = mode == 1 ? 50e-6 : 75e-6;
        const double corner_Hz = 1.0 / (2 * 3.14159265358979 * tau);
        for (double f : {1000.0, 5000.0, 10000.0}) {
            OutputStage out;
            OutputParams p;
            p.de_emphasis = mode;
            p.low_pass = 3;  // HD: flat to 20 kHz
            auto stage = [&](float& l, float& r) {
                int lat = 0;
                l /= 64.0f;
                r /= 64.0f;
                out.process(l, r, p, lat);
            };
            const auto m = test::measure_sine(stage, f, 48000.0, 4000, 9600, 1.0e8);
            const double warped = std::tan(3.14159265358979 * f / 48000.0) / std::tan(3.14159265358979 * corner_Hz / 48000.0);
            EXPECT_NEAR(m.gain_dB, -10 * std::log10(1 + warped * warped), 0.15) << f << " Hz, mode " << mode;
        }
    }
}

TEST(PowerTarget, StandardAndCustomLevels) {
    OutputParams p;
    EXPECT_NEAR(20 * std::log10(power_target(p) / 2147483648.0), -23.0, 0.01);
    p.power_level = 1;
    EXPECT_NEAR(20 * std::log10(power_target(p) / 2147483648.0), -18.0, 0.01);
    p.custom_level = true;
    p.level = 0.1f;
    EXPECT_NEAR(20 * std::log10(power_target(p) / 2147483648.0), -20.0, 0.01);
}

TEST(ParametricEq, BoostsItsBandAndLeavesZeroDecibelBandsAlone) {
    std::array<params::FilterBand, 4> bands{};
    for (auto& b : bands) {
        b.frequency_Hz = 50;
        b.q = 3;
        params::recompute_band(b);
    }
    bands[1].frequency_Hz = 2000;
    bands[1].q = 2;
    bands[1].gain_minus_one = std::pow(10.0f, 6.0f / 20.0f) - 1.0f;
    params::recompute_band(bands[1]);
    ParametricEq eq;
    eq.configure(bands);
    auto stage = [&](float& l, float& r) {
        int lat = 0;
        eq.process(l, r, lat);
    };
    const double boosted = test::measure_sine(stage, 2000, 48000, 4000, 9600).gain_dB;
    ParametricEq flat;
    for (auto& b : bands) b.gain_minus_one = 0;
    flat.configure(bands);
    auto stage_flat = [&](float& l, float& r) {
        int lat = 0;
        flat.process(l, r, lat);
    };
    const double through = test::measure_sine(stage_flat, 2000, 48000, 4000, 9600).gain_dB;
    EXPECT_NEAR(through, 0.0, 0.2);  // the 4x round trip alone
    EXPECT_NEAR(boosted - through, 6.0, 0.1);
}

}  // namespace
}  // namespace torvalen::dsp
