// The three five-band crossovers, measured: band sums, delays, split points.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/crossover.h"
#include "dsp/simd_kernels.h"
#include "tests/dsp/signal_helpers.h"

namespace torvalen::dsp {
namespace {

using test::measure_sine;
constexpr double fs_Hz = 48000.0;

template <typename Crossover>
auto band_of(Crossover& x, int band) {
    return [&x, band](float& l, float& r) {
        BandFrame f;
        x.process(l, r, f);
        l = f.l[band];
        r = f.r[band];
    };
}

template <typename Crossover>
auto band_sum(Crossover& x) {
    return [&x](float& l, float& r) {
        BandFrame f;
        x.process(l, r, f);
        l = r = 0.0f;
        for (int b = 0; b < band_count; ++b) {
            l += f.l[b];
            r += f.r[b];
        }
    };
}

TEST(LinPhaseCrossover, BandsSumToTheInputDelayed556) {
    LinPhaseCrossover x;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> noise(-1.0e9f, 1.0e9f);
    constexpr int delay = 556, frames = 6000;
    std::vector<float> in(frames);
    double worst = 0.0;
    for (int n = 0; n < frames; ++n) {
        in[n] = noise(rng);
        BandFrame f;
        x.process(in[n], -0.5f * in[n], f);
        for (std::size_t lane = band_count; lane < band_lanes; ++lane) ASSERT_EQ(f.l[lane], 0.0f);
        float sl = 0, sr = 0;
        for (int b = 0; b < band_count; ++b) {
            sl += f.l[b];
            sr += f.r[b];
        }
        const float want = n >= delay ? in[n - delay] : 0.0f;
        worst = std::max(worst, std::fabs(double(sl) - want));
        EXPECT_NEAR(sr, -0.5f * want, 1e-6 * 1.0e9);
    }
    EXPECT_EQ(LinPhaseCrossover::latency_frames, delay);
    EXPECT_LT(worst, 1e-6 * 1.0e9);  // float rounding of the telescoping differences only
}

TEST(LinPhaseCrossover, RunsOfAnyLengthGiveTheFramesBands) {
    // Noise through one crossover in runs of uneven lengths (its filters run over whole
    // runs, their histories carried from run to run) and through another frame by frame:
    // every band of every frame the same to the bit, in every vector build.
    for (simd::Level level : {simd::Level::sse2, simd::Level::avx2, simd::Level::avx512}) {
        simd::set_level_limit(level);
        auto runs = std::make_unique<LinPhaseCrossover>(), frames = std::make_unique<LinPhaseCrossover>();
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> noise(-1e7f, 1e7f);
        const std::size_t lengths[] = {64, 5, 1, 63, 33};
        for (std::size_t k = 0, done = 0; done < 3000; ++k) {
            const std::size_t n = lengths[k % 5];
            std::vector<float> x(2 * n);
            for (float& v : x) v = noise(rng);
            runs->process_run(x.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                BandFrame f;
                frames->process(x[2 * i], x[2 * i + 1], f);
                for (int b = 0; b < band_count; ++b) {
                    ASSERT_EQ(runs->band(b, 0)[i], f.l[b]) << simd::level_name(level) << " frame " << done + i;
                    ASSERT_EQ(runs->band(b, 1)[i], f.r[b]) << simd::level_name(level) << " frame " << done + i;
                }
            }
            done += n;
        }
    }
    simd::set_level_limit(simd::detected_level());
}

TEST(LinPhaseCrossover, EveryBandIsLinearPhaseAbout556) {
    LinPhaseCrossover x;
    constexpr int frames = 1200, centre = 556;
    std::vector<std::array<float, band_count>> h(frames);
    for (int n = 0; n < frames; ++n) {
        BandFrame f;
        x.process(n == 0 ? 1.0f : 0.0f, 0.0f, f);
        for (int b = 0; b < band_count; ++b) h[n][b] = f.l[b];
    }
    for (int b = 0; b < band_count; ++b) {
        double energy = 0;
        for (int k = 0; k < centre; ++k) {
            EXPECT_NEAR(h[centre - k][b], h[centre + k][b], 1e-6) << "band " << b << " k " << k;
            energy += double(h[centre + k][b]) * h[centre + k][b];
        }
        EXPECT_GT(energy, 1e-4) << b;
        for (int n = 2 * centre + 1; n < frames; ++n) EXPECT_EQ(h[n][b], 0.0f) << b;
    }
}

TEST(LinPhaseCrossover, NeighbouringBandsMeetAtMinus6dB) {
    // At each split point the band above and the band below carry half the input each.
    const std::pair<int, double> splits[] = {{band_h2, 7752}, {band_h1, 3114}, {band_m2, 778}, {band_m1, 195}};
    for (auto [upper, f] : splits) {
        LinPhaseCrossover a, b;
        const int settle = 1200;
        const auto up = measure_sine(band_of(a, upper), f, fs_Hz, settle, 48000);
        const auto down = measure_sine(band_of(b, upper + 1), f, fs_Hz, settle, 48000);
        EXPECT_NEAR(up.gain_dB, -6.0, 0.15) << f;
        EXPECT_NEAR(down.gain_dB, -6.0, 0.15) << f;
    }
    // Well inside a band almost everything lands in it.
    LinPhaseCrossover c;
    EXPECT_NEAR(measure_sine(band_of(c, band_m2), 1500, fs_Hz, 1200, 48000).gain_dB, 0.0, 0.1);
    LinPhaseCrossover d;
    EXPECT_NEAR(measure_sine(band_of(d, band_b), 60, fs_Hz, 1200, 48000).gain_dB, 0.0, 0.1);
}

// Frequencies across the audio band, dense around the split points.
std::vector<double> sweep_frequencies() {
    std::vector<double> f;
    for (double v = 25.0; v < 20000.0; v *= std::pow(2.0, 1.0 / 6.0)) f.push_back(v);
    for (double s : {150.0, 600.0, 2400.0, 6000.0}) {
        f.push_back(s);
        f.push_back(s * 0.8);
        f.push_back(s * 1.25);
    }
    return f;
}

template <typename Crossover>
void expect_sum_is_all_pass() {
    // The 6000 Hz split runs through the 4x rate converter, so the whole sum carries its
    // response; the tree itself must add nothing but phase.
    for (double f : sweep_frequencies()) {
        Crossover x;
        Interpolator up;
        Decimator down;
        const int settle = 9600;  // the 150 Hz sections settle within 0.2 s
        const auto sum = measure_sine(band_sum(x), f, fs_Hz, settle, 48000);
        const auto rc = measure_sine([&](float& l, float& r) { down.process(up.process(l, r), l, r); }, f, fs_Hz,
                                     settle, 48000);
        EXPECT_NEAR(sum.gain_dB - rc.gain_dB, 0.0, 0.1) << f << " Hz";
    }
}

TEST(GardeCrossover, ThirdOrderBandsSumToAnAllPass) { expect_sum_is_all_pass<Garde3rdCrossover>(); }
TEST(GardeCrossover, FifthOrderBandsSumToAnAllPass) { expect_sum_is_all_pass<Garde5thCrossover>(); }

template <typename Crossover>
void expect_butterworth_corners(int order) {
    // At a split frequency both sides of an odd-order Butterworth pair are -3 dB; an
    // octave away the stop-band side has fallen by about 6 * order dB. The neighbouring
    // splits are two octaves away, so their effect at the corner is small.
    const std::pair<int, double> splits[] = {{band_h2, 6000}, {band_h1, 2400}, {band_m2, 600}, {band_m1, 150}};
    for (auto [upper, f] : splits) {
        Crossover a, b, c;
        const int settle = 9600;
        const double up = measure_sine(band_of(a, upper), f, fs_Hz, settle, 48000).gain_dB;
        const double down = measure_sine(band_of(b, upper + 1), f, fs_Hz, settle, 48000).gain_dB;
        EXPECT_NEAR(up, -3.01, 0.35) << f;
        EXPECT_NEAR(down, -3.01, 0.35) << f;
        const double octave_down = measure_sine(band_of(c, upper), f / 2, fs_Hz, settle, 48000).gain_dB;
        EXPECT_NEAR(octave_down, -10.0 * std::log10(1.0 + std::pow(2.0, 2 * order)), 1.0) << f;
    }
}

TEST(GardeCrossover, ThirdOrderCornersAreButterworth) { expect_butterworth_corners<Garde3rdCrossover>(3); }
TEST(GardeCrossover, FifthOrderCornersAreButterworth) { expect_butterworth_corners<Garde5thCrossover>(5); }

TEST(GardeCrossover, PairSumAllPassMatchesTheFifthOrderPair) {
    // The compensation section must equal low + high of a fifth-order pair (with its
    // sign): run both on the same sine and compare amplitude and phase.
    for (double f : {60.0, 150.0, 600.0, 2400.0, 9000.0}) {
        auto ap = design_pair_sum_all_pass<double>(2400.0);
        GardeCrossover<5>::Split<double> pair(2400.0, fs_Hz);
        const auto a = measure_sine(
            [&](float& l, float& r) {
                ap.all_pass(l, r);
                l = -l;
                r = -r;
            },
            f, fs_Hz, 4800, 48000);
        const auto p = measure_sine(
            [&](float& l, float& r) {
                float hl, hr;
                pair.process(l, r, hl, hr);
                l += hl;
                r += hr;
            },
            f, fs_Hz, 4800, 48000);
        EXPECT_NEAR(a.gain_dB, 0.0, 0.01) << f;
        EXPECT_NEAR(p.gain_dB, 0.0, 0.01) << f;
        EXPECT_NEAR(std::remainder(a.phase_rad - p.phase_rad, 2 * std::numbers::pi), 0.0, 0.005) << f;
    }
}

}  // namespace
}  // namespace torvalen::dsp
