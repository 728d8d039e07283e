// The sixteen-lane gain hold against the single-pair half-cycle hold it vectorises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/band_gain_hold.h"
#include "dsp/gain_hold.h"
#include "dsp/simd_kernels.h"

namespace torvalen::dsp {
namespace {

// Sines from 30 Hz to 12 kHz at 192 kHz on lanes 0-4 and 8-12 (so some half-cycles are
// longer than a 192-entry ring, and several lanes cross zero in the same call now and
// then) with random gain requests, through the sixteen-lane hold and through one
// single-pair hold per band, in every vector build. With `rise`, the requests are
// smoothed first (a higher request approached at the lane's rate, a lower one at once),
// in the model as in the holder, and the holder takes the calls in runs of 1 to 37 (one
// crosses the ring's wrap now and then) with a random gain per channel and call that
// scales the requests.
void compare_with_pairs(simd::Level level, const float* rise) {
    simd::set_level_limit(level);
    constexpr std::size_t length = 192;
    BandGainHold lanes(length);
    std::vector<HalfCycleGainHoldMin> pairs(5, HalfCycleGainHoldMin(length));
    float smooth[16];
    std::fill(std::begin(smooth), std::end(smooth), 1.0f);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> gain(0.1f, 1.0f);
    const double f[5] = {30.0, 150.0, 900.0, 4000.0, 12000.0};
    std::vector<float> xs, gs, scales, wants;  // the run's calls, sixteen lanes each
    std::size_t run = 1;
    for (int n = 0; n < 50000; ++n) {
        float x[16] = {}, g[16] = {};
        for (int b = 0; b < 5; ++b) {
            x[b] = static_cast<float>(1e7 * std::sin(2 * std::numbers::pi * f[b] * n / 192000.0));
            x[8 + b] = static_cast<float>(-3e6 * std::sin(2 * std::numbers::pi * f[b] * 1.01 * n / 192000.0 + 1.0));
            g[b] = gain(rng);
            g[8 + b] = gain(rng);
        }
        for (int lane : {5, 6, 7, 13, 14, 15}) g[lane] = 1.0f;
        const float scale[2] = {rise ? gain(rng) : 1.0f, rise ? gain(rng) : 1.0f};
        float held[16];
        for (int lane = 0; lane < 16; ++lane) {
            const float h = g[lane] * scale[lane / 8];
            if (rise) smooth[lane] = h >= smooth[lane] ? std::min(smooth[lane] * rise[lane], h) : h;
            held[lane] = rise ? smooth[lane] : g[lane];
        }
        float want_l[5], want_r[5];
        for (int b = 0; b < 5; ++b) {
            want_l[b] = x[b];
            want_r[b] = x[8 + b];
            pairs[b].process(want_l[b], want_r[b], held[b], held[8 + b]);
        }
        if (!rise) {
            lanes.process(x, g);
            for (int b = 0; b < 5; ++b) {
                ASSERT_EQ(x[b], want_l[b]) << simd::level_name(level) << " sample " << n << " band " << b;
                ASSERT_EQ(x[8 + b], want_r[b]) << simd::level_name(level) << " sample " << n << " band " << b;
            }
            continue;
        }
        xs.insert(xs.end(), x, x + 16);
        gs.insert(gs.end(), g, g + 16);
        scales.insert(scales.end(), scale, scale + 2);
        for (int b = 0; b < 5; ++b) wants.push_back(want_l[b]);
        for (int b = 0; b < 5; ++b) wants.push_back(want_r[b]);
        if (xs.size() < 16 * run) continue;
        lanes.process_smoothed(xs.data(), gs.data(), rise, scales.data(), 16, run);
        for (std::size_t j = 0; j < run; ++j)
            for (int b = 0; b < 5; ++b) {
                ASSERT_EQ(xs[16 * j + b], wants[10 * j + b]) << simd::level_name(level) << " run " << run << " call " << j;
                ASSERT_EQ(xs[16 * j + 8 + b], wants[10 * j + 5 + b]) << simd::level_name(level) << " run " << run;
            }
        xs.clear();
        gs.clear();
        scales.clear();
        wants.clear();
        run = run % 37 + 1;
    }
    simd::set_level_limit(simd::detected_level());
}

TEST(BandGainHold, EveryLaneMatchesTheHalfCycleHold) {
    for (simd::Level level : {simd::Level::sse2, simd::Level::avx512}) compare_with_pairs(level, nullptr);
}

TEST(BandGainHold, SmoothedRequestsAreHeldAsTheSmoothingThenTheHold) {
    float rise[16];
    for (int lane = 0; lane < 16; ++lane) rise[lane] = 1.0f + 0.0005f * static_cast<float>(lane % 8 + 1);
    for (simd::Level level : {simd::Level::sse2, simd::Level::avx512}) compare_with_pairs(level, rise);
}

}  // namespace
}  // namespace torvalen::dsp
