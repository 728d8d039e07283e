// Kernel bodies shared by the per-instruction-set builds (see simd_kernels.h). Included
// only by simd_kernels.cpp, simd_kernels_avx2.cpp and simd_kernels_avx512.cpp; every
// function has internal linkage.
#pragma once

#include <cstddef>
#include <cstring>

#include "dsp/multiband_kernels.h"
#include "dsp/simd_kernels.h"

namespace torvalen::dsp::simd {
namespace {

template <typename V>
inline V load_v(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename V>
inline void store_v(float* p, V v) {
    std::memcpy(p, &v, sizeof v);
}
template <typename V>
inline float lane_sum(V v) {
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    float s = 0.0f;
    for (std::size_t i = 0; i < w; ++i) s += v[i];
    return s;
}

// Eight-lane dot products with fused multiply-adds (AVX2 and the AVX-512 tail).
template <typename Ops>
inline void dot2_8(const float* h, const float* a, const float* b, std::size_t n, float& out_a, float& out_b) {
    using V = typename Ops::V;
    static_assert(sizeof(V) == 8 * sizeof(float));
    V a0{}, a1{}, b0{}, b1{};
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const V h0 = load_v<V>(h + k), h1 = load_v<V>(h + k + 8);
        a0 = Ops::fma(h0, load_v<V>(a + k), a0);
        a1 = Ops::fma(h1, load_v<V>(a + k + 8), a1);
        b0 = Ops::fma(h0, load_v<V>(b + k), b0);
        b1 = Ops::fma(h1, load_v<V>(b + k + 8), b1);
    }
    if (k < n) {
        const V h0 = load_v<V>(h + k);
        a0 = Ops::fma(h0, load_v<V>(a + k), a0);
        b0 = Ops::fma(h0, load_v<V>(b + k), b0);
    }
    out_a = lane_sum(a0 + a1);
    out_b = lane_sum(b0 + b1);
}

// Stereo interpolation on eight lanes {l x4, r x4}, two accumulators; tap 0 from the
// new frame, taps 1...29 from `older` (entry k at older + 8 (k - 1)).
template <typename Ops>
inline void interpolate_stereo_8(const float* phases, const float* older, float l, float r, float* entry_a,
                                 float* entry_b, float* out) {
    using V = typename Ops::V;
    const V x = V{l, l, l, l, r, r, r, r};
    V a0 = load_v<V>(phases) * x, a1{};
    for (std::size_t k = 1; k + 1 < multiband_detail::taps_per_phase; k += 2) {
        a1 = Ops::fma(load_v<V>(phases + 8 * k), load_v<V>(older + 8 * (k - 1)), a1);
        a0 = Ops::fma(load_v<V>(phases + 8 * k + 8), load_v<V>(older + 8 * k), a0);
    }
    a1 = Ops::fma(load_v<V>(phases + 8 * 29), load_v<V>(older + 8 * 28), a1);
    store_v(entry_a, x);
    store_v(entry_b, x);
    store_v(out, a0 + a1);
}

}  // namespace
}  // namespace torvalen::dsp::simd
