// The DSP primitives measured against their design values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "dsp/fir.h"
#include "dsp/fir_tables.h"
#include "dsp/iir.h"
#include "dsp/rate_convert.h"
#include "dsp/rate_tables.h"
#include "dsp/simd_kernels.h"
#include "tests/dsp/signal_helpers.h"

namespace torvalen::dsp {
namespace {

using test::measure_sine;
constexpr double fs_Hz = 48000.0;

// --- rate tables and envelope forms ---------------------------------------------------

TEST(RateTables, BoundaryEntries) {
    EXPECT_FLOAT_EQ(rate_table_a[1], 0.70710683f);
    EXPECT_FLOAT_EQ(rate_table_a[25], 0.000172633503f);
    EXPECT_FLOAT_EQ(rate_table_a[25], static_cast<float>(std::exp2(-12.5)));
    EXPECT_EQ(rate_table_a[26], static_cast<float>(std::exp2(-14.0)));
    EXPECT_FLOAT_EQ(rate_table_a[49], 2.10734257e-08f);
    EXPECT_FLOAT_EQ(rate_table_b[1], 0.176776707f);
    EXPECT_FLOAT_EQ(rate_table_b[25], static_cast<float>(std::exp2(-14.5)));
    EXPECT_EQ(rate_table_b[26], 1.52587891e-05f);
    EXPECT_FLOAT_EQ(rate_table_b[49], static_cast<float>(std::exp2(-27.5)));
    EXPECT_EQ(rate_table_b[50], 0.0f);
    EXPECT_EQ(rate_table_b[51], 0.0f);
}

TEST(RateTables, NeighboursDifferByHalfOctaveExceptAt26) {
    for (int k = 0; k + 1 < 50; ++k) {
        const double step = std::log2(rate_table_a[k] / rate_table_a[k + 1]);
        EXPECT_NEAR(step, k == 25 ? 1.5 : 0.5, 1e-6) << "A " << k;
        if (k >= 1) {
            const double step_b = std::log2(rate_table_b[k] / rate_table_b[k + 1]);
            EXPECT_NEAR(step_b, k == 25 ? 1.5 : 0.5, 1e-6) << "B " << k;
        }
    }
    EXPECT_EQ(rate_a(-3), rate_table_a[0]);  // clamped at the ends
    EXPECT_EQ(rate_a(99), 0.0f);
}

TEST(Envelope, ApproachReachesOneMinusExpMinus23_4InOneSecond) {
    const double r = rate_a(22);  // 2^-11
    ASSERT_EQ(r, std::exp2(-11.0));
    double e = 0.0;
    for (int n = 0; n < 48000; ++n) envelope_approach(e, 1.0, r);
    EXPECT_NEAR(-std::log(1.0 - e), 23.44, 0.01);  // 48000 * 2^-11 = 23.4375 time constants
}

TEST(Envelope, FallAndRiseStopAtTarget) {
    float e = 1000.0f;
    for (int n = 0; n < 100000; ++n) envelope_fall(e, 10.0f, rate_a(10));
    EXPECT_EQ(e, 10.0f);
    float g = 0.1f;
    for (int n = 0; n < 100000; ++n) envelope_rise(g, 1.0f, rate_a(20));
    EXPECT_EQ(g, 1.0f);
    float h = 1.0f;
    envelope_rise(h, 2.0f, 0.25f);
    EXPECT_FLOAT_EQ(h, 1.25f);
}

// --- IIR sections -----------------------------------------------------------------------

constexpr double butterworth_a = 0.70710678, butterworth_b = 0.70710678;  // 2nd-order pole pair

TEST(SecondOrder, ButterworthHighAndLowPassCorners) {
    for (double fc : {50.0, 1000.0, 6000.0}) {
        auto hp = design_high_pass2<double>(butterworth_a, butterworth_b, fc, fs_Hz);
        LowPass2<double> lp(butterworth_a, butterworth_b, fc, fs_Hz);
        const int settle = static_cast<int>(20 * fs_Hz / fc);
        auto p = [&](auto& s) { return [&](float& l, float& r) { s.process(l, r); }; };
        EXPECT_NEAR(measure_sine(p(hp), fc, fs_Hz, settle, 48000).gain_dB, -3.01, 0.02) << fc;
        EXPECT_NEAR(measure_sine(p(lp), fc, fs_Hz, settle, 48000).gain_dB, -3.01, 0.02) << fc;
        // Two octaves below: the bilinear-transformed Butterworth magnitude
        // 1 / sqrt(1 + (K_f / K_c)^-4) and 1 / sqrt(1 + (K_f / K_c)^4), K = tan(pi f / fs).
        const double ratio = std::tan(std::numbers::pi * fc / 4 / fs_Hz) / std::tan(std::numbers::pi * fc / fs_Hz);
        const double hp_dB = -10 * std::log10(1 + std::pow(ratio, -4));
        const double lp_dB = -10 * std::log10(1 + std::pow(ratio, 4));
        EXPECT_NEAR(measure_sine(p(hp), fc / 4, fs_Hz, settle, 48000).gain_dB, hp_dB, 0.02) << fc;
        EXPECT_NEAR(measure_sine(p(lp), fc / 4, fs_Hz, settle, 48000).gain_dB, lp_dB, 0.002) << fc;
    }
}

TEST(SecondOrder, FixedRateHighPassMatchesGeneralDesign) {
    auto a = design_high_pass2_48k(0.2784, 0.2596, 50.0);
    auto b = design_high_pass2<double>(0.2784, 0.2596, 50.0, fs_Hz);
    EXPECT_NEAR(a.b0(), b.b0(), 1e-9);
    EXPECT_NEAR(a.a1(), b.a1(), 1e-9);
    EXPECT_NEAR(a.a2(), b.a2(), 1e-9);
}

TEST(SecondOrder, LowPassRedesignKeepsPrototype) {
    LowPass2<float> lp(butterworth_a, butterworth_b, 1000.0, fs_Hz);
    lp.set_cutoff(4000.0, fs_Hz);
    auto m = measure_sine([&](float& l, float& r) { lp.process(l, r); }, 4000, fs_Hz, 2000, 48000);
    EXPECT_NEAR(m.gain_dB, -3.01, 0.02);
}

TEST(FirstOrder, StoredCoefficientsAreTheDesignFormula) {
    struct Case { double fc, fs, b, a; };
    const Case cases[] = {{150, 48000, 0.00972234054505452, -0.9805553189098909},
                          {600, 48000, 0.0378047526, -0.924390495},
                          {2400, 48000, 0.136728734, -0.726542532},
                          {6000, 48000, 0.292893231, -0.414213568},
                          {6000, 192000, 0.0896606073, -0.820678771},
                          {200, 48000, 0.012921564, -0.97415686}};
    for (const auto& c : cases) {
        auto s = design_first_order<double>(c.fc, c.fs);
        EXPECT_NEAR(s.b(), c.b, 3e-8) << c.fc;  // the stored values carry 9 digits
        EXPECT_NEAR(s.a(), c.a, 3e-8) << c.fc;
    }
}

TEST(FirstOrder, LowHighAllPassResponses) {
    auto lp = design_first_order<float>(1000, fs_Hz);
    auto hp = design_first_order<float>(1000, fs_Hz);
    auto ap = design_first_order<float>(1000, fs_Hz);
    EXPECT_NEAR(measure_sine([&](float& l, float& r) { lp.low_pass(l, r); }, 1000, fs_Hz, 4800, 48000).gain_dB,
                -3.01, 0.02);
    EXPECT_NEAR(measure_sine([&](float& l, float& r) { hp.high_pass(l, r); }, 1000, fs_Hz, 4800, 48000).gain_dB,
                -3.01, 0.02);
    for (double f : {100.0, 1000.0, 10000.0}) {
        auto m = measure_sine([&](float& l, float& r) { ap.all_pass(l, r); }, f, fs_Hz, 4800, 48000);
        EXPECT_NEAR(m.gain_dB, 0.0, 0.01) << f;
    }
    // All-pass phase is -90 degrees at its corner.
    auto ap2 = design_first_order<double>(1000, fs_Hz);
    auto m = measure_sine([&](float& l, float& r) { ap2.all_pass(l, r); }, 1000, fs_Hz, 4800, 48000);
    EXPECT_NEAR(m.phase_rad, -std::numbers::pi / 2, 0.01);
}

TEST(Resonator, BandPassUnityAtCentreAllPassFlatPeakingGain) {
    auto bp = design_resonator_48k(1000.0, 2.0);
    EXPECT_NEAR(measure_sine([&](float& l, float& r) { bp.band_pass(l, r); }, 1000, fs_Hz, 9600, 48000).gain_dB,
                0.0, 0.01);
    // Bandwidth f / Q = 500 Hz: upper half-power point at f (sqrt(1 + 1/4Q^2) + 1/2Q).
    const double f_upper = 1000.0 * (std::sqrt(1.0 + 1.0 / 16.0) + 0.25);
    auto bp2 = design_resonator_48k(1000.0, 2.0);
    EXPECT_NEAR(measure_sine([&](float& l, float& r) { bp2.band_pass(l, r); }, f_upper, fs_Hz, 9600, 48000).gain_dB,
                -3.01, 0.1);
    auto ap = design_all_pass_q0618(600.0);
    for (double f : {60.0, 600.0, 6000.0}) {
        auto m = measure_sine([&](float& l, float& r) { ap.all_pass(l, r); }, f, fs_Hz, 9600, 48000);
        EXPECT_NEAR(m.gain_dB, 0.0, 0.01) << f;
    }
    auto pk = design_peaking_192k(2000.0f, 1.0f);
    const double g = std::pow(10.0, 6.0 / 20.0);
    auto m = measure_sine([&](float& l, float& r) { pk.peaking(l, r, g); }, 2000, 192000, 19200, 192000);
    EXPECT_NEAR(m.gain_dB, 6.0, 0.02);
    m = measure_sine([&](float& l, float& r) { pk.peaking(l, r, g); }, 50, 192000, 19200, 192000);
    EXPECT_NEAR(m.gain_dB, 0.0, 0.05);
}

// --- FIR, sparse FIR, delay ------------------------------------------------------------

TEST(Fir, ImpulseResponseIsTheTableAndCornerIsMinus3dB) {
    Fir<53> fir(fir_tables::fm_band_limit_53);
    for (int n = 0; n < 60; ++n) {
        float l = n == 0 ? 1.0f : 0.0f, r = n == 0 ? -2.0f : 0.0f;
        fir.process(l, r);
        const float expect = n < 53 ? fir_tables::fm_band_limit_53[n] : 0.0f;
        EXPECT_NEAR(l, expect, 1e-7) << n;
        EXPECT_NEAR(r, -2.0f * expect, 2e-7) << n;
    }
    Fir<53> fir2(fir_tables::fm_band_limit_53);
    auto m = measure_sine([&](float& l, float& r) { fir2.process(l, r); }, 16450, fs_Hz, 200, 48000);
    EXPECT_NEAR(m.gain_dB, -3.0, 0.05);
}

// Uniform noise in [-1, 1) from a linear congruential generator.
float next_noise(std::uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
}

TEST(Fir, BlocksAreTheConvolutionWhateverTheirSplit) {
    // Noise through the 211-tap filter in blocks of uneven lengths (runs of the vector
    // FIR cut anywhere, and the history carried between them), against the convolution
    // in double precision, in every vector build; and the same samples, bit for bit,
    // whether the blocks are long or a frame each.
    std::vector<float> x(2 * 1500);
    std::uint32_t seed = 12345;
    for (float& v : x) v = next_noise(seed);
    const auto& h = fir_tables::am_5k_211;
    for (simd::Level level : {simd::Level::sse2, simd::Level::avx2, simd::Level::avx512}) {
        simd::set_level_limit(level);
        Fir<211> blocks(h), frames(h);
        std::vector<float> a = x, b = x;
        const std::size_t lengths[] = {1, 63, 64, 65, 200, 7, 130};
        std::size_t start = 0;
        for (std::size_t k = 0; start < 1500; ++k) {
            const std::size_t n = std::min<std::size_t>(lengths[k % 7], 1500 - start);
            blocks.process_block(a.data() + 2 * start, n);
            for (std::size_t i = start; i < start + n; ++i) frames.process_block(b.data() + 2 * i, 1);
            start += n;
        }
        ASSERT_EQ(a, b) << simd::level_name(level);
        for (std::size_t n = 0; n < 1500; ++n)
            for (std::size_t c = 0; c < 2; ++c) {
                double y = 0.0;
                for (std::size_t k = 0; k < 211 && k <= n; ++k) y += double(h[k]) * x[2 * (n - k) + c];
                ASSERT_NEAR(a[2 * n + c], y, 1e-5) << simd::level_name(level) << " frame " << n;
            }
    }
    simd::set_level_limit(simd::detected_level());
}

TEST(SparseFir, MinusSixDbPointsAtStrides2_8_32) {
    const std::pair<std::size_t, double> cases[] = {{2, 3114.0}, {8, 778.0}, {32, 195.0}};
    for (auto [stride, f] : cases) {
        SparseFir s(fir_tables::lin_phase_prototype_27, stride);
        auto m = measure_sine([&](float& l, float& r) { s.process(l, r); }, f, fs_Hz, 2000, 96000);
        EXPECT_NEAR(m.gain_dB, -6.0, 0.1) << stride;
        EXPECT_EQ(s.delay_frames(), static_cast<int>(13 * stride));
    }
}

TEST(SparseFir, ImpulseTapsAreStrideApart) {
    SparseFir s(fir_tables::lin_phase_prototype_27, 8);
    for (int n = 0; n < 27 * 8 + 8; ++n) {
        float l = n == 0 ? 1.0f : 0.0f, r = 0.0f;
        s.process(l, r);
        const float expect = (n % 8 == 0 && n / 8 < 27) ? fir_tables::lin_phase_prototype_27[n / 8] : 0.0f;
        EXPECT_FLOAT_EQ(l, expect) << n;
    }
}

TEST(DelayLine, ReturnsInputOfLCallsEarlier) {
    DelayLine d(7);
    std::vector<float> out;
    for (int n = 0; n < 30; ++n) {
        float l = static_cast<float>(n + 1), r = -static_cast<float>(n + 1);
        d.process(l, r);
        EXPECT_EQ(l, n >= 7 ? static_cast<float>(n - 6) : 0.0f);
        EXPECT_EQ(r, -l);
    }
    DelayLine wide(5, 3);
    for (int n = 0; n < 20; ++n) {
        float l[3] = {float(n), float(n) + 0.25f, float(n) + 0.5f};
        float r[3] = {-l[0], -l[1], -l[2]};
        wide.process(l, r);
        if (n >= 5) {
            EXPECT_EQ(l[0], float(n - 5));
            EXPECT_EQ(l[2], float(n - 5) + 0.5f);
            EXPECT_EQ(r[1], -(float(n - 5) + 0.25f));
        }
    }
    DelayLine none(0);
    float l = 3, r = 4;
    none.process(l, r);
    EXPECT_EQ(l, 3.0f);
}

// --- rate conversion ------------------------------------------------------------------

TEST(RateConversion, ConstantGainsAreUnityBranchSums) {
    Interpolator up;
    Decimator down;
    SinglePhaseDecimator single;
    const float x = 1.0e9f;
    SubSamples s;
    float dl = 0, dr = 0, sl = 0, sr = 0;
    for (int n = 0; n < 100; ++n) {
        s = up.process(x, -x);
        down.process(s, dl, dr);
        single.process(SubSamples{{x, 0, 0, 0}, {-x, 0, 0, 0}}, sl, sr);
    }
    for (int j = 0; j < 4; ++j) {
        EXPECT_NEAR(s.l[j] / x, 0.99619, 2e-5) << j;
        EXPECT_NEAR(s.r[j] / -x, 0.99619, 2e-5) << j;
    }
    EXPECT_NEAR(dl / x, 0.9924, 1e-4);
    EXPECT_NEAR(dr / -x, 0.9924, 1e-4);
    EXPECT_NEAR(sl / x, 0.99619, 2e-5);
}

TEST(RateConversion, RoundTripDelayIs29Frames) {
    Interpolator up;
    Decimator down;
    const double f = 500.0;  // period of 96 frames: the phase of a 29-frame delay is unambiguous
    auto m = measure_sine([&](float& l, float& r) { down.process(up.process(l, r), l, r); }, f, fs_Hz, 480, 48000);
    EXPECT_NEAR(m.gain_dB, test::dB(0.9924), 0.21);  // pass-band ripple of +-0.1 dB each way
    const double delay_frames = -m.phase_rad / (2 * std::numbers::pi * f / fs_Hz);
    EXPECT_NEAR(delay_frames, interpolate_decimate_delay_frames, 1e-3);
    EXPECT_EQ(interpolate_decimate_delay_frames, 29);
}

// Runs of uneven lengths (a full run, one frame, odd lengths), about 600 frames in all,
// in every vector build: a fresh state from make() for each build, then run(state,
// level, n) for each run of n frames.
template <typename Make, typename Run>
void in_uneven_runs(Make make, Run run) {
    for (simd::Level level : {simd::Level::sse2, simd::Level::avx2, simd::Level::avx512}) {
        simd::set_level_limit(level);
        auto state = make();
        const std::size_t lengths[] = {64, 1, 17, 63, 40};
        for (std::size_t k = 0, done = 0; done < 600; done += lengths[k % 5], ++k) run(*state, level, lengths[k % 5]);
    }
    simd::set_level_limit(simd::detected_level());
}

TEST(RateConversion, BlockDecimatorIsTheDecimatorInRunsOfAnyLength) {
    // Noise sub-samples through the per-frame decimator and through the block one: the
    // same outputs to rounding (the delay and the phases' order included), and the same
    // to the bit for any split.
    struct State {
        Decimator frames;
        BlockDecimator runs, single;
        std::uint32_t seed = 99;
    };
    in_uneven_runs([] { return std::make_unique<State>(); }, [](State& st, simd::Level level, std::size_t n) {
        std::vector<float> expect(2 * n), got(2 * n), one(2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            SubSamples s;
            for (int j = 0; j < oversampling; ++j) {
                s.l[j] = next_noise(st.seed);
                s.r[j] = -0.5f * s.l[j];
            }
            st.frames.process(s, expect[2 * i], expect[2 * i + 1]);
            st.runs.put(i, s);
            st.single.put(0, s);
            st.single.run(one.data() + 2 * i, 1);
        }
        st.runs.run(got.data(), n);
        ASSERT_EQ(got, one) << simd::level_name(level);
        for (std::size_t i = 0; i < 2 * n; ++i) ASSERT_NEAR(got[i], expect[i], 2e-6) << simd::level_name(level);
    });
}

TEST(RateConversion, BlockInterpolatorIsTheInterpolatorInRunsOfAnyLength) {
    // Noise frames through the per-frame interpolator and through the block one: the same
    // sub-samples to rounding (phase order and channels included), and the same to the
    // bit for any split.
    struct State {
        Interpolator frames;
        BlockInterpolator runs, single;
        std::uint32_t seed = 7;
    };
    in_uneven_runs([] { return std::make_unique<State>(); }, [](State& st, simd::Level level, std::size_t n) {
        std::vector<float> x(2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            x[2 * i] = next_noise(st.seed);
            x[2 * i + 1] = 0.25f - 0.5f * x[2 * i];
        }
        st.runs.run(x.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            const SubSamples expect = st.frames.process(x[2 * i], x[2 * i + 1]);
            st.single.run(x.data() + 2 * i, 1);
            const SubSamples got = st.runs.at(i), one = st.single.at(0);
            ASSERT_EQ(got.l, one.l) << simd::level_name(level);
            ASSERT_EQ(got.r, one.r) << simd::level_name(level);
            for (int j = 0; j < oversampling; ++j) {
                ASSERT_NEAR(got.l[j], expect.l[j], 2e-6) << simd::level_name(level);
                ASSERT_NEAR(got.r[j], expect.r[j], 2e-6) << simd::level_name(level);
            }
        }
    });
}

TEST(RateConversion, InterpolatorImagesAreSuppressed) {
    // A 10 kHz tone: its first image at 38 kHz lies in the stop band.
    Interpolator up;
    const double f = 10000.0, w = 2 * std::numbers::pi * f / fs_Hz;
    std::complex<double> tone{}, image{};
    const int frames = 4800;
    for (int n = 0; n < frames + 100; ++n) {
        SubSamples s = up.process(static_cast<float>(1e9 * std::sin(w * n)), 0.0f);
        if (n < 100) continue;
        for (int j = 0; j < 4; ++j) {
            const double t = 4.0 * n + j;  // sub-sample index at 192 kHz
            tone += double(s.l[j]) * std::polar(1.0, -2 * std::numbers::pi * f * t / 192000);
            image += double(s.l[j]) * std::polar(1.0, -2 * std::numbers::pi * (48000 - f) * t / 192000);
        }
    }
    EXPECT_LT(test::dB(std::abs(image) / std::abs(tone)), -120.0);
}

}  // namespace
}  // namespace torvalen::dsp
