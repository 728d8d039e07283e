// Rate tables A and B: the per-sample coefficients behind every attack, release and
// integration time of the processors. A timing control's index selects an entry; a
// coefficient r applied once per sample gives a time constant of about 1/r samples.
// Both tables are compile-time constants; nothing is computed at run time.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

namespace torvalen::dsp {

inline constexpr std::size_t rate_table_size = 52;

namespace detail {
// 2^(-halves/2) in double: powers of two are exact, odd halves take one factor sqrt(1/2).
constexpr double pow2_minus_half_steps(int halves) {
    constexpr double sqrt_half = 0.70710678118654752440;  // 2^(-1/2)
    double v = (halves % 2) ? sqrt_half : 1.0;
    for (int i = 0; i < halves / 2; ++i) v *= 0.5;
    return v;
}

constexpr std::array<float, rate_table_size> make_rate_a() {
    std::array<float, rate_table_size> t{};
    for (int k = 0; k <= 25; ++k) t[k] = static_cast<float>(pow2_minus_half_steps(k));
    // From entry 26 the table skips one step: A[26] = 2^-14, not 2^-13.
    for (int k = 26; k <= 49; ++k) t[k] = static_cast<float>(pow2_minus_half_steps(k + 2));
    return t;  // entries 50 and 51 stay 0 (no movement)
}

constexpr std::array<float, rate_table_size> make_rate_b() {
    std::array<float, rate_table_size> t{};
    t[0] = 1.0f;
    for (int k = 1; k <= 25; ++k) t[k] = static_cast<float>(pow2_minus_half_steps(k + 4));
    // As in table A, entry 26 skips one step: B[26] = 2^-16, not 2^-15.
    for (int k = 26; k <= 49; ++k) t[k] = static_cast<float>(pow2_minus_half_steps(k + 6));
    return t;
}
}  // namespace detail

// Table A: attack, release and integration rates of the processors.
inline constexpr std::array<float, rate_table_size> rate_table_a = detail::make_rate_a();
// Table B: power-limiter and output-stage release rates.
inline constexpr std::array<float, rate_table_size> rate_table_b = detail::make_rate_b();

static_assert(rate_table_a[0] == 1.0f && rate_table_a[2] == 0.5f);
static_assert(rate_table_a[24] == 1.0f / 4096.0f);  // 2^-12, about 85 ms at 48 kHz
static_assert(rate_table_a[26] == 1.0f / 16384.0f);
static_assert(rate_table_a[50] == 0.0f && rate_table_a[51] == 0.0f);
static_assert(rate_table_b[20] == 1.0f / 4096.0f);
static_assert(rate_table_b[26] == 1.0f / 65536.0f);

// Index lookups. Processors add fixed offsets (-2 ... +4) to a control's index, so an
// index can leave the table at the ends of a control's range; it is clamped to the table
// rather than read out of bounds.
constexpr float rate_a(int index) {
    return rate_table_a[static_cast<std::size_t>(std::clamp(index, 0, static_cast<int>(rate_table_size) - 1))];
}
constexpr float rate_b(int index) {
    return rate_table_b[static_cast<std::size_t>(std::clamp(index, 0, static_cast<int>(rate_table_size) - 1))];
}

// A timing control with displayed value v (steps of 0.5) reaches the processor as the
// integer index n = 2v.
constexpr int timing_index(double displayed) { return static_cast<int>(2.0 * displayed + (displayed < 0 ? -0.5 : 0.5)); }

// The three envelope update forms; r is a rate coefficient from table A or B.

// Rise toward a target (also mean-square integration): e <- e + (t - e) r.
template <typename T>
constexpr void envelope_approach(T& e, T target, T r) {
    e += (target - e) * r;
}

// Multiplicative fall toward zero at rate r, never below the current target t.
template <typename T>
constexpr void envelope_fall(T& e, T target, T r) {
    e -= e * r;
    e = std::max(e, target);
}

// Multiplicative rise at rate r, never above the current target t.
template <typename T>
constexpr void envelope_rise(T& e, T target, T r) {
    e *= T(1) + r;
    e = std::min(e, target);
}

}  // namespace torvalen::dsp
