// Per-sub-sample kernels of the multiband section, written once for any vector width:
// the five bands sit in eight lanes, processed as two 4-wide vectors (SSE2 / NEON, the
// baseline) or one 8-wide vector (AVX2 and AVX-512 builds, chosen at run time; see
// simd_kernels.h). The wider builds use fused multiply-adds in the interpolation, so
// they round slightly differently from the baseline.
//
// This header is included by simd_kernels.cpp (baseline) and the per-instruction-set
// kernel files; everything here has internal linkage, so no copy of a function built
// for a wider machine can be picked by the linker for the baseline code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace torvalen::dsp::multiband_detail {

inline constexpr std::size_t lanes = 8;  // five bands and three padding lanes
inline constexpr std::size_t taps_per_phase = 30;

// Derived per-band coefficients (one value per lane).
struct alignas(32) DynamicsCoefficients {
    float rms_rate[lanes], ms_floor[lanes], drive[lanes], fast_threshold[lanes];
    float attack[lanes], release[lanes], fast_release[lanes], reference[lanes];
    float enh_attack[lanes], enh_release[lanes], enh_plat[lanes], width_minus_1[lanes], max_width[lanes];
    float comp_output;
};

struct alignas(32) DynamicsState {
    float ms[lanes] = {}, envelope[lanes] = {};
    std::int32_t fast[lanes] = {};  // all ones when set
    float enh_fast[lanes] = {}, platform[lanes] = {};
    float comp_meter[lanes] = {1, 1, 1, 1, 1, 1, 1, 1}, width_meter[lanes] = {1, 1, 1, 1, 1, 1, 1, 1};
};

// Band interpolators: for each band a doubled history of frames, each entry the left
// sample four times and the right sample four times, so one polyphase step is a plain
// vector multiply-add with the four phases (duplicated for the right channel).
struct alignas(64) BandInterpolatorState {
    static constexpr std::size_t bands = 5;
    float phases[taps_per_phase][lanes];                     // p[4k..4k+3] twice
    float history[bands][2 * taps_per_phase][lanes] = {};    // {l x4, r x4}
    std::size_t pos = 0;
};

namespace {

template <typename V>
inline V vload(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename V>
inline void vstore(float* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// Compressor and stereo enhancer of `count` consecutive sub-samples. Sub-sample j's band
// samples are at sub + j * stride: eight left lanes, then eight right lanes; changed in
// place. The state stays in registers across the sub-samples.
//
// Three stages, each one short recursion with feed-forward work beside it: the
// compressor's mean square and its root, the compressor's envelope and gain, the
// enhancer. They run skewed in one loop, the envelope `skew` sub-samples behind the mean
// square and the enhancer another `skew` behind, so the three recursions overlap and each
// stage finds the results it needs (the roots, the compressed samples) long computed.
// Taking each sub-sample through all three in turn, the processor waited on one long
// chain of dependent steps. The arithmetic is the same.
template <typename Ops>
inline void compress_enhance(DynamicsState& st, const DynamicsCoefficients& c, float* sub, std::size_t stride,
                             std::size_t count, bool comp, bool enhance) {
    using V = typename Ops::V;
    using M = typename Ops::M;
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    constexpr std::size_t chunk = 64;
    constexpr std::size_t skew = 8;
    constexpr float platform_floor = 33554.434f;  // 2^25 / 1000
    const V one = V{} + 1.0f;
    for (std::size_t i = 0; i < lanes; i += w) {
        V ms = vload<V>(st.ms + i), env = vload<V>(st.envelope + i);
        M fast;
        std::memcpy(&fast, st.fast + i, sizeof fast);
        V f = vload<V>(st.enh_fast + i), p = vload<V>(st.platform + i);
        V comp_meter = vload<V>(st.comp_meter + i), width_meter = vload<V>(st.width_meter + i);
        const V rms_rate = vload<V>(c.rms_rate + i), ms_floor = vload<V>(c.ms_floor + i);
        const V drive = vload<V>(c.drive + i), fast_threshold = vload<V>(c.fast_threshold + i);
        const V attack = vload<V>(c.attack + i), release = vload<V>(c.release + i);
        const V fast_release = vload<V>(c.fast_release + i), ref = vload<V>(c.reference + i);
        const V enh_attack = vload<V>(c.enh_attack + i), enh_release = vload<V>(c.enh_release + i);
        const V enh_plat = vload<V>(c.enh_plat + i), width_minus_1 = vload<V>(c.width_minus_1 + i);
        const V max_width = vload<V>(c.max_width + i);
        const V gain_out = V{} + c.comp_output;
        for (std::size_t start = 0; start < count; start += chunk) {
            const std::size_t n = count - start < chunk ? count - start : chunk;
            float* first = sub + start * stride + i;
            V rho[chunk];
            // Stage 1: the mean square of sub-sample j and its root.
            const auto mean_square = [&](std::size_t j) {
                const V L = vload<V>(first + j * stride), R = vload<V>(first + j * stride + lanes);
                ms += (L * L + R * R - ms) * rms_rate;
                ms = ms > ms_floor ? ms : ms_floor;
                rho[j] = Ops::sqrt(ms);
            };
            // Stage 2: the envelope and the gain. Both falls are computed and one picked
            // (the fast flag comes late), and the floor at the reference is taken on the
            // fall only: a rise from an envelope at or above it stays above it.
            const auto envelope = [&](std::size_t j) {
                float* l = first + j * stride;
                float* r = l + lanes;
                const V t = rho[j] * drive;
                const V t_floor = t > ref ? t : ref;
                fast = (t * fast_threshold < env) | fast;
                const M rise = t > env;
                V risen = env + (t - env) * attack;
                risen = risen > ref ? risen : ref;
                const V fall_fast = env - env * fast_release, fall_slow = env - env * release;
                V fallen = fast ? fall_fast : fall_slow;
                fallen = fallen > t_floor ? fallen : t_floor;
                env = rise ? risen : fallen;
                fast = rise ? M{} : fast;
                const V k = rho[j] >= env ? env / rho[j] : one;
                comp_meter = comp_meter < k ? comp_meter : k;
                vstore(l, vload<V>(l) * k * gain_out);
                vstore(r, vload<V>(r) * k * gain_out);
            };
            // Stage 3: the stereo enhancer.
            const auto enhancer = [&](std::size_t j) {
                float* l = first + j * stride;
                float* r = l + lanes;
                const V L = vload<V>(l), R = vload<V>(r);
                const V m = L + R;
                V side = L - R;
                V a = m < 0.0f ? -m : m;
                a = a > one ? a : one;
                const V fall = f - f * enh_release;
                f = a > f ? f + (a - f) * enh_attack : (fall > a ? fall : a);
                const V target = f > platform_floor ? f : V{} + platform_floor;
                p += (target - p) * enh_plat;
                p = f < p ? f : p;
                V width = width_minus_1 * (f / p - 1.0f) + 1.0f;
                width = width < max_width ? width : max_width;
                width_meter = width_meter > width ? width_meter : width;
                side *= width;
                vstore(l, (m + side) * 0.5f);
                vstore(r, (m - side) * 0.5f);
            };
            if (comp && enhance) {
                for (std::size_t j = 0; j < n + 2 * skew; ++j) {
                    if (j < n) mean_square(j);
                    if (j >= skew && j < n + skew) envelope(j - skew);
                    if (j >= 2 * skew) enhancer(j - 2 * skew);
                }
            } else if (comp) {
                for (std::size_t j = 0; j < n + skew; ++j) {
                    if (j < n) mean_square(j);
                    if (j >= skew) envelope(j - skew);
                }
            } else if (enhance) {
                for (std::size_t j = 0; j < n; ++j) enhancer(j);
            }
        }
        vstore(st.ms + i, ms);
        vstore(st.envelope + i, env);
        std::memcpy(st.fast + i, &fast, sizeof fast);
        vstore(st.enh_fast + i, f);
        vstore(st.platform + i, p);
        vstore(st.comp_meter + i, comp_meter);
        vstore(st.width_meter + i, width_meter);
    }
}

// Stores the interpolators' results in the sub-sample layout: band b's result r[b] is
// {l of sub-samples 0-3, r of sub-samples 0-3}; sub-sample j gets {l of bands 0-4, three
// zeros} at sub + j * stride and {r of bands 0-4, three zeros} eight floats on (the
// padding lanes leave as zeros: the stages after this one run all eight lanes). An 8x8
// transpose with rows 5-7 zero, then eight vector stores.
template <typename V8>
inline void store_band_sub_samples(const V8 (&r)[5], float* sub, std::size_t stride) {
    static_assert(sizeof(V8) == 8 * sizeof(float));
    const V8 z{};
    const V8 t0 = __builtin_shufflevector(r[0], r[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const V8 t1 = __builtin_shufflevector(r[0], r[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const V8 t2 = __builtin_shufflevector(r[2], r[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const V8 t3 = __builtin_shufflevector(r[2], r[3], 2, 10, 3, 11, 6, 14, 7, 15);
    const V8 u[8] = {
        __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13),
        __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15),
        __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13),
        __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15),
        __builtin_shufflevector(r[4], z, 0, 8, 8, 8, 4, 8, 8, 8),
        __builtin_shufflevector(r[4], z, 1, 8, 8, 8, 5, 8, 8, 8),
        __builtin_shufflevector(r[4], z, 2, 8, 8, 8, 6, 8, 8, 8),
        __builtin_shufflevector(r[4], z, 3, 8, 8, 8, 7, 8, 8, 8),
    };
    for (std::size_t j = 0; j < 4; ++j) {
        const V8 l = __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        const V8 rr = __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
        std::memcpy(sub + j * stride, &l, sizeof l);
        std::memcpy(sub + j * stride + lanes, &rr, sizeof rr);
    }
}

// 4x interpolation of the five bands of one frame (in_l[b], in_r[b]). Sub-sample j is
// written to sub + j * stride: lane b of its first eight floats (left) and of the next
// eight (right). The five bands run interleaved, two accumulators each, so the additions
// form ten independent chains.
template <typename Ops>
inline void interpolate_bands(BandInterpolatorState& st, const float* in_l, const float* in_r, float* sub,
                              std::size_t stride) {
    using V = typename Ops::V;
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    constexpr std::size_t bands = BandInterpolatorState::bands;
    const std::size_t pos = st.pos;
    // Tap 0 is the new frame, taken from registers (a vector load overlapping a value
    // stored just before would wait for the store); the entries are stored afterwards.
    float acc[bands][lanes];
    for (std::size_t i = 0; i < lanes; i += w) {
        V a0[bands], a1[bands] = {}, x[bands] = {};
        const V p0 = vload<V>(st.phases[0] + i);
#pragma GCC unroll 5
        for (std::size_t b = 0; b < bands; ++b) {
            for (std::size_t q = 0; q < w; ++q) x[b][q] = i + q < 4 ? in_l[b] : in_r[b];  // {l x4, r x4}
            a0[b] = p0 * x[b];
        }
        for (std::size_t k = 1; k < taps_per_phase; k += 2) {
            const V p1 = vload<V>(st.phases[k] + i);
#pragma GCC unroll 5
            for (std::size_t b = 0; b < bands; ++b) a1[b] = Ops::fma(p1, vload<V>(st.history[b][pos + k] + i), a1[b]);
            if (k + 1 < taps_per_phase) {
                const V p2 = vload<V>(st.phases[k + 1] + i);
#pragma GCC unroll 5
                for (std::size_t b = 0; b < bands; ++b)
                    a0[b] = Ops::fma(p2, vload<V>(st.history[b][pos + k + 1] + i), a0[b]);
            }
        }
#pragma GCC unroll 5
        for (std::size_t b = 0; b < bands; ++b) {
            vstore(acc[b] + i, a0[b] + a1[b]);
            vstore(st.history[b][pos] + i, x[b]);
            vstore(st.history[b][pos + taps_per_phase] + i, x[b]);
        }
    }
    if constexpr (w == 8) {
        V r[bands];
#pragma GCC unroll 5
        for (std::size_t b = 0; b < bands; ++b) r[b] = vload<V>(acc[b]);
        store_band_sub_samples(r, sub, stride);
    } else {
        for (std::size_t b = 0; b < bands; ++b) {
            for (std::size_t j = 0; j < 4; ++j) {
                sub[j * stride + b] = acc[b][j];
                sub[j * stride + lanes + b] = acc[b][4 + j];
            }
        }
        // The padding lanes leave as zeros: the stages after this one run all eight lanes.
        for (std::size_t b = bands; b < lanes; ++b) {
            for (std::size_t j = 0; j < 4; ++j) sub[j * stride + b] = sub[j * stride + lanes + b] = 0.0f;
        }
    }
    st.pos = pos == 0 ? taps_per_phase - 1 : pos - 1;
}

}  // namespace

}  // namespace torvalen::dsp::multiband_detail
