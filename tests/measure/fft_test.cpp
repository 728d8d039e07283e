#include "measure/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace torvalen::measure {
namespace {

using cd = std::complex<double>;

// Direct DFT of one bin in double, with the angle reduced exactly.
cd direct_bin(const std::vector<float>& x, const std::vector<cd>& roots, std::size_t bin) {
    const std::size_t n = x.size();
    cd sum = 0.0;
    std::size_t k = 0;
    for (std::size_t t = 0; t < n; ++t) {
        sum += static_cast<double>(x[t]) * roots[k];
        k += bin;
        if (k >= n) k -= n;
    }
    return sum;
}

std::vector<cd> roots_of(std::size_t n) {
    std::vector<cd> r(n);
    for (std::size_t k = 0; k < n; ++k) r[k] = std::polar(1.0, -2.0 * std::numbers::pi * k / n);
    return r;
}

// Bin j of a half-complex array.
cd half_complex_bin(const std::vector<float>& h, std::size_t j) {
    const std::size_t n = h.size();
    if (j == 0) return {h[0], 0.0};
    if (n % 2 == 0 && j == n / 2) return {h[n - 1], 0.0};
    return {h[2 * j - 1], h[2 * j]};
}

// Full-scale test material: uniform noise in [-1, 1] plus a full-scale tone.
std::vector<float> material(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> x(n);
    for (std::size_t t = 0; t < n; ++t)
        x[t] = u(rng) + 0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 0.1234567 * t));
    return x;
}

// Largest deviation from the direct DFT over the given bins, relative to N/2: the
// magnitude of a full-scale sine on a bin, which the analyser shows as 0 dB.
double forward_error(std::size_t n, const std::vector<std::size_t>& bins, unsigned seed) {
    RealFft fft(static_cast<uint32_t>(n));
    const std::vector<float> x = material(n, seed);
    std::vector<float> h = x, work(fft.work_size());
    EXPECT_TRUE(fft.forward(h, work));
    const auto roots = roots_of(n);
    double worst = 0.0;
    for (const std::size_t j : bins)
        worst = std::max(worst, std::abs(half_complex_bin(h, j) - direct_bin(x, roots, j)));
    return worst / (0.5 * static_cast<double>(n));
}

std::vector<std::size_t> all_bins(std::size_t n) {
    std::vector<std::size_t> b;
    for (std::size_t j = 0; j <= n / 2; ++j) b.push_back(j);
    return b;
}

// Edges, the middle and a spread of bins in between.
std::vector<std::size_t> sample_bins(std::size_t n) {
    std::vector<std::size_t> b = {0, 1, 2, 3, n / 4, n / 2 - 1, n / 2};
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::size_t> u(0, n / 2);
    for (int i = 0; i < 200; ++i) b.push_back(u(rng));
    return b;
}

std::vector<uint32_t> factors_of(uint32_t n) {
    const RealFft fft(n);
    return {fft.factors().begin(), fft.factors().end()};
}

TEST(RealFft, FactorsRunFoursThenTwoThenThreesThenOthers) {
    EXPECT_EQ(factors_of(4096), (std::vector<uint32_t>{4, 4, 4, 4, 4, 2}));
    EXPECT_EQ(factors_of(2 * 4 * 9 * 5 * 7), (std::vector<uint32_t>{4, 3, 3, 5, 7}));  // complex 1260
    EXPECT_EQ(factors_of(2 * 2 * 3 * 11), (std::vector<uint32_t>{2, 3, 11}));
    EXPECT_EQ(factors_of(65521), (std::vector<uint32_t>{65521}));  // prime: one general pass
}

TEST(RealFft, RefusesLengthsOutOfRangeAndShortSpans) {
    EXPECT_EQ(RealFft(0).size(), 0u);
    EXPECT_EQ(RealFft(65537).size(), 0u);
    RealFft fft(64);
    std::vector<float> data(63), work(fft.work_size());
    EXPECT_FALSE(fft.forward(data, work));
    data.resize(64);
    work.resize(fft.work_size() - 1);
    EXPECT_FALSE(fft.inverse(data, work));
}

TEST(RealFft, EveryShortLengthMatchesTheDirectTransform) {
    for (std::size_t n = 1; n <= 300; ++n)
        ASSERT_LE(forward_error(n, all_bins(n), static_cast<unsigned>(n)), 2e-6) << "n = " << n;
}

TEST(RealFft, FrameLengthsMatchTheDirectTransform) {
    for (const std::size_t n : {4096u, 8192u, 16384u, 32768u, 65536u})
        EXPECT_LE(forward_error(n, sample_bins(n), 1), 1e-5) << "n = " << n;
}

TEST(RealFft, MixedAndPrimeLengthsMatchTheDirectTransform) {
    // 3 * 2^14, 2^5 * 3 * 5^4, 3^10 (odd), 2 * 4099 and 4099 (prime factors).
    for (const std::size_t n : {49152u, 60000u, 59049u, 8198u, 4099u})
        EXPECT_LE(forward_error(n, sample_bins(n), 2), 1e-5) << "n = " << n;
}

TEST(RealFft, InverseIsUnnormalisedAndUndoesForward) {
    for (const std::size_t n : {1u, 2u, 3u, 7u, 12u, 30u, 97u, 4096u, 6144u, 59049u, 65536u}) {
        RealFft fft(static_cast<uint32_t>(n));
        const std::vector<float> x = material(n, 3);
        std::vector<float> y = x, work(fft.work_size());
        ASSERT_TRUE(fft.forward(y, work));
        ASSERT_TRUE(fft.inverse(y, work));
        double worst = 0.0;
        for (std::size_t t = 0; t < n; ++t) worst = std::max(worst, std::abs(y[t] - static_cast<double>(n) * x[t]));
        EXPECT_LE(worst / static_cast<double>(n), 1e-5) << "n = " << n;
    }
}

TEST(RealFft, InverseSynthesisesFromHalfComplexBins) {
    // x[t] = X0 + 2 sum (Re Xj cos - Im Xj sin) + (-1)^t X(n/2), checked directly.
    for (const std::size_t n : {5u, 16u, 18u, 4096u, 16384u}) {
        RealFft fft(static_cast<uint32_t>(n));
        std::vector<float> h = material(n, 4), work(fft.work_size());
        const std::vector<float> spectrum = h;
        ASSERT_TRUE(fft.inverse(h, work));
        double worst = 0.0;
        for (const std::size_t t : {std::size_t{0}, std::size_t{1}, n / 3, n / 2, n - 1}) {
            double sum = spectrum[0];
            for (std::size_t j = 1; 2 * j < n; ++j) {
                const double a = 2.0 * std::numbers::pi * static_cast<double>((j * t) % n) / n;
                sum += 2.0 * (spectrum[2 * j - 1] * std::cos(a) - spectrum[2 * j] * std::sin(a));
            }
            if (n % 2 == 0) sum += (t % 2 == 0 ? 1.0 : -1.0) * spectrum[n - 1];
            worst = std::max(worst, std::abs(sum - h[t]));
        }
        EXPECT_LE(worst / static_cast<double>(n), 1e-5) << "n = " << n;
    }
}

TEST(RealFft, OneTransformServesTwoThreadsWithTheirOwnWork) {
    const RealFft fft(8192);
    const std::vector<float> x = material(8192, 5);
    std::vector<float> a = x, b = x, wa(fft.work_size()), wb(fft.work_size());
    ASSERT_TRUE(fft.forward(a, wa));
    ASSERT_TRUE(fft.forward(b, wb));
    EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace torvalen::measure
