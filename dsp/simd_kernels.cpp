// The baseline build of the vector kernels (4-wide: SSE2 on x86-64, NEON on ARM) and the
// run-time choice among the builds.
#include "dsp/simd_kernels.h"

#include <atomic>

#include "dsp/simd.h"
#include "dsp/simd_kernels_impl.h"

namespace torvalen::dsp::simd {

namespace {
struct Baseline {
    using V = f4;
    using M = std::int32_t __attribute__((vector_size(16)));
    static V sqrt(V v) { return simd::sqrt(v); }
    static V fma(V a, V b, V c) { return a * b + c; }  // separate rounding, as written
    static bool any(M m) { return simd::any(m); }
};

void base_dot2(const float* h, const float* a, const float* b, std::size_t n, float& out_a, float& out_b) {
    dot2(h, a, b, n, out_a, out_b);
}

// Left lanes 0-3 and right lanes 4-7 of every entry, even and odd taps in separate
// accumulators.
void base_interpolate_stereo(const float* phases, const float* older, float l, float r, float* entry_a,
                             float* entry_b, float* out) {
    const f4 xl = splat(l), xr = splat(r);
    const f4 p0 = load(phases);
    f4 l0 = p0 * xl, r0 = p0 * xr, l1{}, r1{};
    for (std::size_t k = 1; k < multiband_detail::taps_per_phase; k += 2) {
        const f4 p1 = load(phases + 8 * k);
        l1 += p1 * load(older + 8 * (k - 1));
        r1 += p1 * load(older + 8 * (k - 1) + 4);
        if (k + 1 < multiband_detail::taps_per_phase) {
            const f4 p2 = load(phases + 8 * k + 8);
            l0 += p2 * load(older + 8 * k);
            r0 += p2 * load(older + 8 * k + 4);
        }
    }
    store(entry_a, xl);
    store(entry_a + 4, xr);
    store(entry_b, xl);
    store(entry_b + 4, xr);
    store(out, l0 + l1);
    store(out + 4, r0 + r1);
}

void base_interpolate_bands(multiband_detail::BandInterpolatorState& st, const float* in_l, const float* in_r,
                            float* sub, std::size_t stride) {
    multiband_detail::interpolate_bands<Baseline>(st, in_l, in_r, sub, stride);
}

void base_compress_enhance(multiband_detail::DynamicsState& st, const multiband_detail::DynamicsCoefficients& c,
                           float* sub, std::size_t stride, std::size_t count, bool comp, bool enhance) {
    multiband_detail::compress_enhance<Baseline>(st, c, sub, stride, count, comp, enhance);
}

void base_band_limit(const BandLimitArgs& a, float* bands, float* gains, std::size_t stride, std::size_t count,
                     float* sums) {
    band_limit<Baseline>(a, bands, gains, stride, count, sums);
}

void base_band_limit_five(const BandLimitFiveArgs& a, float* bands, float* gains, std::size_t stride,
                          std::size_t count, float* sums) {
    band_limit_five<Baseline>(a, bands, gains, stride, count, sums);
}

void base_true_peak_block(const float* p, const float* xl, const float* xr, std::size_t n, float* tp_l,
                          float* tp_r) {
    true_peak_block<Baseline>(p, xl, xr, n, tp_l, tp_r);
}

void base_fir_block(const float* const* h, const float* const* x, std::size_t streams, std::size_t taps,
               std::size_t d, float* y, std::size_t count) {
    fir_block<Baseline>(h, x, streams, taps, d, y, count);
}

void base_interpolate_block(const float* p, std::size_t taps, const float* xl, const float* xr, std::size_t n,
                            float* sub_l, float* sub_r) {
    simd::interpolate_block<Baseline>(p, taps, xl, xr, n, sub_l, sub_r);
}

const Kernels baseline{Level::sse2,          base_dot2,       base_interpolate_stereo, base_interpolate_bands,
                       base_compress_enhance, base_band_limit, base_band_limit_five, nullptr,                 base_true_peak_block,
                       base_fir_block,        base_interpolate_block, level_run};

Level detect() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (avx512_kernels() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return Level::avx512;
    if (avx2_kernels() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Level::avx2;
#endif
    return Level::sse2;
}

const Kernels* table(Level level) {
    if (level == Level::avx512 && avx512_kernels()) return avx512_kernels();
    if (level >= Level::avx2 && avx2_kernels()) return avx2_kernels();
    return &baseline;
}

}  // namespace

constinit std::atomic<const Kernels*> detail::kernels_in_use{&baseline};

namespace {
// The widest kernels this processor runs, chosen once at start.
struct ChooseAtStart {
    ChooseAtStart() { detail::kernels_in_use.store(table(detected_level()), std::memory_order_relaxed); }
} choose_at_start;
}  // namespace

Level detected_level() {
    static const Level level = detect();
    return level;
}

void set_level_limit(Level limit) {
    const Level d = detected_level();
    detail::kernels_in_use.store(table(limit < d ? limit : d), std::memory_order_relaxed);
}

const Kernels& kernels_for(Level level) {
    const Level d = detected_level();
    return *table(level < d ? level : d);
}

const char* level_name(Level level) {
    switch (level) {
        case Level::avx512: return "AVX-512";
        case Level::avx2: return "AVX2";
        case Level::sse2: break;
    }
    return "SSE2";
}

}  // namespace torvalen::dsp::simd
