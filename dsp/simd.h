// Four-wide float vectors for the FIR and polyphase loops. A plain float dot product is
// a serial chain of additions the compiler may not reorder (no -ffast-math), so the
// loops here keep several independent vector accumulators instead. GCC/Clang vector
// extensions compile to SSE2 on baseline x86-64 and to NEON on ARM.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE__)
#include <xmmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace torvalen::dsp::simd {

using f4 = float __attribute__((vector_size(16)));
using i4 = std::int32_t __attribute__((vector_size(16)));

inline f4 load(const float* p) {
    f4 v;
    std::memcpy(&v, p, sizeof v);  // unaligned load
    return v;
}

inline void store(float* p, f4 v) { std::memcpy(p, &v, sizeof v); }

inline f4 splat(float x) { return f4{x, x, x, x}; }

inline float sum(f4 v) { return (v[0] + v[2]) + (v[1] + v[3]); }

inline f4 min(f4 a, f4 b) { return a < b ? a : b; }
inline f4 max(f4 a, f4 b) { return a > b ? a : b; }
inline f4 abs(f4 a) { return a < 0.0f ? -a : a; }

// Whether any lane of a comparison result is set.
inline bool any(i4 m) {
#if defined(__SSE__)
    return _mm_movemask_ps((__m128)m) != 0;
#else
    return (m[0] | m[1] | m[2] | m[3]) != 0;
#endif
}

// Lane-wise square root of non-negative values (sqrtps / fsqrt: exact, no errno).
inline f4 sqrt(f4 v) {
#if defined(__SSE__)
    return (f4)_mm_sqrt_ps((__m128)v);
#elif defined(__ARM_NEON) && defined(__aarch64__)
    return vsqrtq_f32(v);
#else
    return f4{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2]), std::sqrt(v[3])};
#endif
}

// Two dot products of one coefficient vector h[0..n) with two windows, n a multiple of
// 8. Four accumulators break the addition chains.
inline void dot2(const float* h, const float* a, const float* b, std::size_t n, float& out_a,
                 float& out_b) {
    f4 a0{}, a1{}, b0{}, b1{};
    for (std::size_t k = 0; k < n; k += 8) {
        const f4 h0 = load(h + k);
        const f4 h1 = load(h + k + 4);
        a0 += h0 * load(a + k);
        a1 += h1 * load(a + k + 4);
        b0 += h0 * load(b + k);
        b1 += h1 * load(b + k + 4);
    }
    out_a = sum(a0 + a1);
    out_b = sum(b0 + b1);
}

constexpr std::size_t round_up8(std::size_t n) { return (n + 7) / 8 * 8; }

}  // namespace torvalen::dsp::simd
