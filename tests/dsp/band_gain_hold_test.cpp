// The sixteen-lane gain hold against the single-pair half-cycle hold it vectorises.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/band_gain_hold.h"
#include "dsp/gain_hold.h"

namespace torvalen::dsp {
namespace {

TEST(BandGainHold, EveryLaneMatchesTheHalfCycleHold) {
    // Lanes 0-4 and 8-12 carry ten channels: sines from 30 Hz to 12 kHz at 192 kHz (so
    // some half-cycles are longer than the 192-entry ring) with random gain requests.
    constexpr std::size_t length = 192;
    BandGainHold lanes(length);
    std::vector<HalfCycleGainHoldMin> pairs(5, HalfCycleGainHoldMin(length));
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> gain(0.1f, 1.0f);
    const double f[5] = {30.0, 150.0, 900.0, 4000.0, 12000.0};
    for (int n = 0; n < 50000; ++n) {
        float x[16] = {}, g[16] = {};
        for (int b = 0; b < 5; ++b) {
            x[b] = static_cast<float>(1e7 * std::sin(2 * std::numbers::pi * f[b] * n / 192000.0));
            x[8 + b] = static_cast<float>(-3e6 * std::sin(2 * std::numbers::pi * f[b] * 1.01 * n / 192000.0 + 1.0));
            g[b] = gain(rng);
            g[8 + b] = gain(rng);
        }
        for (int lane : {5, 6, 7, 13, 14, 15}) g[lane] = 1.0f;
        float want_l[5], want_r[5];
        for (int b = 0; b < 5; ++b) {
            want_l[b] = x[b];
            want_r[b] = x[8 + b];
            pairs[b].process(want_l[b], want_r[b], g[b], g[8 + b]);
        }
        lanes.process(x, g);
        for (int b = 0; b < 5; ++b) {
            ASSERT_EQ(x[b], want_l[b]) << "sample " << n << " band " << b;
            ASSERT_EQ(x[8 + b], want_r[b]) << "sample " << n << " band " << b;
        }
    }
}

}  // namespace
}  // namespace torvalen::dsp
