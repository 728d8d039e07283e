// The AVX2 build of the vector kernels (eight lanes, fused multiply-add). Compiled with
// -mavx2 -mfma (see CMakeLists.txt) and reached only through simd::kernels() after the
// run-time check.
#include "dsp/simd_kernels.h"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>

#include "dsp/simd_kernels_impl.h"

namespace torvalen::dsp::simd {

namespace {
struct Avx2 {
    using V = float __attribute__((vector_size(32)));
    using M = std::int32_t __attribute__((vector_size(32)));
    static V sqrt(V v) { return (V)_mm256_sqrt_ps((__m256)v); }
    static V fma(V a, V b, V c) { return (V)_mm256_fmadd_ps((__m256)a, (__m256)b, (__m256)c); }
    static bool any(M m) { return _mm256_movemask_ps((__m256)m) != 0; }
};

void dot2(const float* h, const float* a, const float* b, std::size_t n, float& out_a, float& out_b) {
    dot2_8<Avx2>(h, a, b, n, out_a, out_b);
}
void interpolate_stereo(const float* phases, const float* older, float l, float r, float* entry_a, float* entry_b,
                        float* out) {
    interpolate_stereo_8<Avx2>(phases, older, l, r, entry_a, entry_b, out);
}
void interpolate_bands(multiband_detail::BandInterpolatorState& st, const float* in_l, const float* in_r, float* sub,
                       std::size_t stride) {
    multiband_detail::interpolate_bands<Avx2>(st, in_l, in_r, sub, stride);
}
void compress_enhance(multiband_detail::DynamicsState& st, const multiband_detail::DynamicsCoefficients& c,
                      float* sub, std::size_t stride, std::size_t count, bool comp, bool enhance) {
    multiband_detail::compress_enhance<Avx2>(st, c, sub, stride, count, comp, enhance);
}

void band_limit(const BandLimitArgs& a, float* bands, float* gains, std::size_t stride, std::size_t count,
                float* sums) {
    simd::band_limit<Avx2>(a, bands, gains, stride, count, sums);
}

void band_limit_five(const BandLimitFiveArgs& a, float* bands, float* gains, std::size_t stride, std::size_t count,
                     float* sums) {
    simd::band_limit_five<Avx2>(a, bands, gains, stride, count, sums);
}

void true_peak_block(const float* p, const float* xl, const float* xr, std::size_t n, float* tp_l, float* tp_r) {
    simd::true_peak_block<Avx2>(p, xl, xr, n, tp_l, tp_r);
}

void fir_block(const float* const* h, const float* const* x, std::size_t streams, std::size_t taps,
               std::size_t d, float* y, std::size_t count) {
    simd::fir_block<Avx2>(h, x, streams, taps, d, y, count);
}

void interpolate_block(const float* p, std::size_t taps, const float* xl, const float* xr, std::size_t n,
                       float* sub_l, float* sub_r) {
    simd::interpolate_block<Avx2>(p, taps, xl, xr, n, sub_l, sub_r);
}

const Kernels avx2{Level::avx2,     dot2,       interpolate_stereo, interpolate_bands, compress_enhance,
                   band_limit, band_limit_five, nullptr, true_peak_block, fir_block, interpolate_block, level_run};
}  // namespace

const Kernels* avx2_kernels() { return &avx2; }

}  // namespace torvalen::dsp::simd

#else

namespace torvalen::dsp::simd {
const Kernels* avx2_kernels() { return nullptr; }
}  // namespace torvalen::dsp::simd

#endif
