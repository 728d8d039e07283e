// The multiband kernels compiled for AVX (eight lanes in one vector), used when the
// processor supports it. This file holds nothing but these entry points: everything
// compiled under the AVX target here has internal linkage or is only reached after the
// run-time check.
#if defined(__x86_64__) && defined(__GNUC__)
#pragma GCC target("avx")
#include <immintrin.h>

#include "dsp/multiband_kernels.h"

namespace torvalen::dsp::multiband_detail {

namespace {
struct Avx {
    using V = float __attribute__((vector_size(32)));
    using M = std::int32_t __attribute__((vector_size(32)));
    static V sqrt(V v) { return (V)_mm256_sqrt_ps((__m256)v); }
};
}  // namespace

void compress_enhance_avx(DynamicsState& st, const DynamicsCoefficients& c, float* sub, std::size_t stride,
                          std::size_t count, bool comp, bool enhance) {
    compress_enhance<Avx>(st, c, sub, stride, count, comp, enhance);
}

void interpolate_bands_avx(BandInterpolatorState& st, const float* in_l, const float* in_r, float* sub,
                           std::size_t stride) {
    interpolate_bands<Avx>(st, in_l, in_r, sub, stride);
}

}  // namespace torvalen::dsp::multiband_detail

#else

#include "dsp/multiband_kernels.h"

namespace torvalen::dsp::multiband_detail {
void compress_enhance_avx(DynamicsState&, const DynamicsCoefficients&, float*, std::size_t, std::size_t, bool, bool) {}
void interpolate_bands_avx(BandInterpolatorState&, const float*, const float*, float*, std::size_t) {}
}  // namespace torvalen::dsp::multiband_detail

#endif
