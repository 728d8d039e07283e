// Kernel bodies shared by the per-instruction-set builds (see simd_kernels.h). Included
// only by simd_kernels.cpp, simd_kernels_avx2.cpp and simd_kernels_avx512.cpp; every
// function has internal linkage.
#pragma once

#include <cstddef>
#include <cstring>

#ifdef __AVX__
#include <immintrin.h>
#endif

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

// Sum of the lanes as a tree, halves added until one lane is left: three additions deep
// (eight lanes) instead of seven, and no lane extracted on its own.
template <typename V>
inline float tree_sum(V v) {
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    if constexpr (w == 8) {
        using H = float __attribute__((vector_size(16)));
        const H h = __builtin_shufflevector(v, v, 0, 1, 2, 3) + __builtin_shufflevector(v, v, 4, 5, 6, 7);
        const H q = h + __builtin_shufflevector(h, h, 2, 3, 2, 3);
        return q[0] + q[1];
    } else if constexpr (w == 4) {
        const V q = v + __builtin_shufflevector(v, v, 2, 3, 2, 3);
        return q[0] + q[1];
    } else {
        return lane_sum(v);
    }
}

// tree_sum of a and of b into out[0] and out[1], the same additions side by side in
// one vector for eight lanes.
template <typename V>
inline void tree_sum2(V a, V b, float* out) {
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    if constexpr (w == 8) {
        const V h = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11) +
                    __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
        const V q = h + __builtin_shufflevector(h, h, 2, 3, 2, 3, 6, 7, 6, 7);
        const V r = q + __builtin_shufflevector(q, q, 1, 1, 1, 1, 5, 5, 5, 5);
        out[0] = r[0];
        out[1] = r[4];
    } else {
        out[0] = tree_sum(a);
        out[1] = tree_sum(b);
    }
}

// FIRs over a run of samples, summed: y[i] = sum over streams s and k < taps of
// h[s][k] x[s][i + (taps - 1 - k) d], i < count, the taps d samples apart; each x[s]
// holds the (taps - 1) d samples before the run and then the run (one stream: a FIR of
// one channel; four: the phases of a decimator). Outputs go in groups of four vectors (four independent chains of
// multiply-adds, one coefficient broadcast each), the rest one vector at a time; every
// output lane sums its terms in the same order, so an output does not depend on where
// the run starts or ends. x must be readable and y writable up to count rounded up to
// the vector width.
template <typename Ops>
inline void fir_block(const float* const* h, const float* const* x, std::size_t streams, std::size_t taps,
                      std::size_t d, float* y, std::size_t count) {
    using V = typename Ops::V;
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    std::size_t i = 0;
    for (; i + 4 * w <= count; i += 4 * w) {
        V a0{}, a1{}, a2{}, a3{};
        for (std::size_t s = 0; s < streams; ++s) {
            const float* hs = h[s];
            const float* xi = x[s] + i + (taps - 1) * d;
            for (std::size_t k = 0; k < taps; ++k) {
                const V hk = V{} + hs[k];
                const float* xk = xi - k * d;
                a0 = Ops::fma(hk, load_v<V>(xk), a0);
                a1 = Ops::fma(hk, load_v<V>(xk + w), a1);
                a2 = Ops::fma(hk, load_v<V>(xk + 2 * w), a2);
                a3 = Ops::fma(hk, load_v<V>(xk + 3 * w), a3);
            }
        }
        store_v(y + i, a0);
        store_v(y + i + w, a1);
        store_v(y + i + 2 * w, a2);
        store_v(y + i + 3 * w, a3);
    }
    for (; i < count; i += w) {
        V a{};
        for (std::size_t s = 0; s < streams; ++s) {
            const float* hs = h[s];
            const float* xi = x[s] + i + (taps - 1) * d;
            for (std::size_t k = 0; k < taps; ++k) a = Ops::fma(V{} + hs[k], load_v<V>(xi - k * d), a);
        }
        store_v(y + i, a);
    }
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
    out_a = tree_sum(a0 + a1);
    out_b = tree_sum(b0 + b1);
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

// The four phase outputs of a 4x polyphase interpolator (p[4k + j]: tap k of phase j,
// `taps` taps per phase) for the frames i ... i + w - 1 of both channels, consecutive
// frames in the lanes: l[j], r[j]. The eight sums are independent chains, so the work is
// bound by multiply-add throughput rather than by one chain's latency.
template <typename Ops>
inline void polyphase4(const float* p, std::size_t taps, const float* xl, const float* xr, std::size_t i,
                       typename Ops::V (&l)[4], typename Ops::V (&r)[4]) {
    using V = typename Ops::V;
    V l0{}, l1{}, l2{}, l3{}, r0{}, r1{}, r2{}, r3{};
    for (std::size_t k = 0; k < taps; ++k) {
        const V a = load_v<V>(xl + i - k), b = load_v<V>(xr + i - k);
        const V p0 = V{} + p[4 * k], p1 = V{} + p[4 * k + 1], p2 = V{} + p[4 * k + 2], p3 = V{} + p[4 * k + 3];
        l0 = Ops::fma(p0, a, l0);
        r0 = Ops::fma(p0, b, r0);
        l1 = Ops::fma(p1, a, l1);
        r1 = Ops::fma(p1, b, r1);
        l2 = Ops::fma(p2, a, l2);
        r2 = Ops::fma(p2, b, r2);
        l3 = Ops::fma(p3, a, l3);
        r3 = Ops::fma(p3, b, r3);
    }
    l[0] = l0, l[1] = l1, l[2] = l2, l[3] = l3;
    r[0] = r0, r[1] = r1, r[2] = r2, r[3] = r3;
}

// True peaks of a run of frames (see Kernels::true_peak_block): the largest |phase
// output| of each frame.
template <typename Ops>
inline void true_peak_block(const float* p, const float* xl, const float* xr, std::size_t n, float* tp_l,
                            float* tp_r) {
    using V = typename Ops::V;
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    const auto abs = [](V v) { return v < 0.0f ? -v : v; };
    const auto max = [](V a, V b) { return a > b ? a : b; };
    for (std::size_t i = 0; i < n; i += w) {
        V l[4], r[4];
        polyphase4<Ops>(p, multiband_detail::taps_per_phase, xl, xr, i, l, r);
        store_v(tp_l + i, max(max(abs(l[0]), abs(l[1])), max(abs(l[2]), abs(l[3]))));
        store_v(tp_r + i, max(max(abs(r[0]), abs(r[1])), max(abs(r[2]), abs(r[3]))));
    }
}

// 4x interpolation of a run of frames (see Kernels::interpolate_block): the phase
// outputs in sub-sample order.
template <typename Ops>
inline void interpolate_block(const float* p, std::size_t taps, const float* xl, const float* xr, std::size_t n,
                              float* sub_l, float* sub_r) {
    using V = typename Ops::V;
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    for (std::size_t i = 0; i < n; i += w) {
        V l[4], r[4];
        polyphase4<Ops>(p, taps, xl, xr, i, l, r);
        for (std::size_t q = 0; q < w; ++q)
            for (std::size_t j = 0; j < 4; ++j) {
                sub_l[4 * (i + q) + j] = l[j][q];
                sub_r[4 * (i + q) + j] = r[j][q];
            }
    }
}

// The level detector's steps on four lanes (see Kernels::level_run). Per frame: the true
// peak floored; the envelope rises toward it at the attack fraction or decays by its own
// fraction, floored; the square, floored, through the two double RMS sections, rounded
// to float after each. Multiplies and adds are not fused into one rounding here, so
// every level gives the baseline's results to the bit.
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
inline void level_run(LevelRunArgs& a, std::size_t n) {
    using F4 = float __attribute__((vector_size(16)));
    using D4 = double __attribute__((vector_size(32)));
    const auto max4 = [](F4 x, F4 y) { return x < y ? y : x; };
    const auto load4 = [](const float* v) {
        F4 r;
        std::memcpy(&r, v, sizeof r);
        return r;
    };
    // (Four-lane doubles pass by reference: by value they would change these helpers'
    // calling convention in the baseline build.)
    const auto loadd = [](D4& r, const double* v) { std::memcpy(&r, v, sizeof r); };
    const auto stored = [](double* v, const D4& r) { std::memcpy(v, &r, sizeof r); };
    // Conversions between four floats and four doubles: one instruction each where the
    // build has 256-bit vectors (the generic conversion goes through halves).
    const auto widen = [](D4& d, F4 f) {
#ifdef __AVX__
        d = (D4)_mm256_cvtps_pd((__m128)f);
#else
        d = __builtin_convertvector(f, D4);
#endif
    };
    const auto narrow = [](const D4& d) {
#ifdef __AVX__
        return (F4)_mm256_cvtpd_ps((__m256d)d);
#else
        return __builtin_convertvector(d, F4);
#endif
    };
    const F4 floor = F4{} + a.floor, square_floor = F4{} + a.square_floor;
    const float attack = a.attack, decay = a.decay;
    const double b1 = a.c1[0], a11 = a.c1[1], a12 = a.c1[2], b2 = a.c2[0], a21 = a.c2[1], a22 = a.c2[2];
    D4 x11, x12, y11, y12, x21, x22, y21, y22;
    loadd(x11, a.h1[0]);
    loadd(x12, a.h1[1]);
    loadd(y11, a.h1[2]);
    loadd(y12, a.h1[3]);
    loadd(x21, a.h2[0]);
    loadd(x22, a.h2[1]);
    loadd(y21, a.h2[2]);
    loadd(y22, a.h2[3]);
    F4 env = load4(a.env), tp = floor, ms = {}, tp_max = {}, e_max = {}, ms_max = {};
    const float *t0 = a.tp[0], *t1 = a.tp[1], *t2 = a.tp[2], *t3 = a.tp[3];
    const float *s0 = a.x[0], *s1 = a.x[1], *s2 = a.x[2], *s3 = a.x[3];
    for (std::size_t i = 0; i < n; ++i) {
        tp = max4(F4{t0[i], t1[i], t2[i], t3[i]}, floor);
        // Only the decay needs the floor (the rise never falls below the envelope).
        env = tp > env ? env + (tp - env) * attack : max4(env - env * decay, floor);
        const F4 x = {s0[i], s1[i], s2[i], s3[i]};
        D4 u, w;
        widen(u, max4(x * x, square_floor));
        const D4 v1 = b1 * (u + 2.0 * x11 + x12) - a11 * y11 - a12 * y12;
        x12 = x11;
        x11 = u;
        y12 = y11;
        y11 = v1;
        widen(w, narrow(v1));
        const D4 v2 = b2 * (w + 2.0 * x21 + x22) - a21 * y21 - a22 * y22;
        x22 = x21;
        x21 = w;
        y22 = y21;
        y21 = v2;
        ms = narrow(v2);
        tp_max = max4(tp_max, tp);
        e_max = max4(e_max, env);
        ms_max = max4(ms_max, ms);
    }
    stored(a.h1[0], x11);
    stored(a.h1[1], x12);
    stored(a.h1[2], y11);
    stored(a.h1[3], y12);
    stored(a.h2[0], x21);
    stored(a.h2[1], x22);
    stored(a.h2[2], y21);
    stored(a.h2[3], y22);
    std::memcpy(a.env, &env, sizeof env);
    std::memcpy(a.tp_last, &tp, sizeof tp);
    std::memcpy(a.ms_last, &ms, sizeof ms);
    std::memcpy(a.tp_max, &tp_max, sizeof tp_max);
    std::memcpy(a.env_max, &e_max, sizeof e_max);
    std::memcpy(a.ms_max, &ms_max, sizeof ms_max);
}
#pragma GCC pop_options

// Band limiter of `count` consecutive sub-samples, lanes in vectors of any width. Per
// lane: x <- x * drive; pi = max|x|; envelope e rises toward pi at the attack rate, falls
// at the fast-release rate (never below pi), floored at phi * ref; platform P follows e
// up at once and falls at the (fast) release rate, floored at ref; h = ref / P; each
// channel's gain is h, or less where |x| passes the band's clip level. Divisions run only
// where a lane needs one (a platform at its floor gives ref / ref = 1). The state stays
// in registers from one sub-sample to the next.
template <typename Ops>
inline void band_limit(const BandLimitArgs& p, float* bands, float* gains, std::size_t stride, std::size_t count,
                       float* sums) {
    using V = typename Ops::V;
    using M = typename Ops::M;
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    constexpr std::size_t lanes = multiband_detail::lanes;
    constexpr std::size_t nv = lanes / w;
    const V one = V{} + 1.0f;
    V env[nv], plat[nv], ml[nv], mr[nv], mb[nv];
    M fast[nv];
    // The parameters in registers: loaded in the loop they would be loaded again on every
    // sub-sample (the stores to the bands might, as far as the compiler knows, change them).
    V drive[nv], attack[nv], fast_release[nv], release[nv], fast_floor[nv], fast_threshold[nv], reference[nv],
        clip_level[nv];
    const V lim_drive = V{} + p.lim_drive;
    for (std::size_t v = 0; v < nv; ++v) {
        const std::size_t h = v * w;
        drive[v] = load_v<V>(p.drive + h);
        attack[v] = load_v<V>(p.attack + h);
        fast_release[v] = load_v<V>(p.fast_release + h);
        release[v] = load_v<V>(p.release + h);
        fast_floor[v] = load_v<V>(p.fast_floor + h);
        fast_threshold[v] = load_v<V>(p.fast_threshold + h);
        reference[v] = load_v<V>(p.reference + h);
        clip_level[v] = load_v<V>(p.clip + h);
        env[v] = load_v<V>(p.envelope + h);
        plat[v] = load_v<V>(p.platform + h);
        std::memcpy(&fast[v], p.fast + h, sizeof fast[v]);
        ml[v] = load_v<V>(p.meter_l + h);
        mr[v] = load_v<V>(p.meter_r + h);
        mb[v] = load_v<V>(p.meter_both + h);
    }
    for (std::size_t j = 0; j < count; ++j) {
        float* bj = bands + j * stride;
        float* gj = gains + j * stride;
        V acc_l{}, acc_r{};
        for (std::size_t v = 0; v < nv; ++v) {
            const std::size_t h = v * w;
            const V l = load_v<V>(bj + h) * drive[v], r = load_v<V>(bj + lanes + h) * drive[v];
            const V al = l < 0.0f ? -l : l, ar = r < 0.0f ? -r : r;
            const V peak = al > ar ? al : ar;
            // The envelope and platform recursions wait on their own latency from one
            // sub-sample to the next: each step is one fused multiply-add where the
            // wider builds have it.
            V e = env[v];
            const V rise = Ops::fma(peak - e, attack[v], e);
            const V fast_rate = fast_release[v];
            V fall = Ops::fma(e, -fast_rate, e);
            fall = fall > peak ? fall : peak;
            e = peak > e ? rise : fall;
            e = e > fast_floor[v] ? e : fast_floor[v];
            V pl = plat[v];
            M f = fast[v] | (e < fast_threshold[v] * pl);
            const M grow = e > pl;
            const V rate = f != 0 ? fast_rate : release[v];
            pl = grow != 0 ? e : Ops::fma(pl, -rate, pl);
            f = grow != 0 ? M{} : f;
            const V ref = reference[v];
            pl = pl > ref ? pl : ref;
            const V gain = Ops::any(pl > ref) ? ref / pl : one;
            const V clip = clip_level[v];
            V hl = gain, hr = gain;
            if (Ops::any((al >= clip) | (ar >= clip))) {
                const V cl = clip / al, cr = clip / ar;
                hl = al >= clip ? (cl < gain ? cl : gain) : gain;
                hr = ar >= clip ? (cr < gain ? cr : gain) : gain;
            }
            env[v] = e;
            plat[v] = pl;
            fast[v] = f;
            ml[v] = ml[v] < hl ? ml[v] : hl;
            mr[v] = mr[v] < hr ? mr[v] : hr;
            mb[v] = mb[v] < gain ? mb[v] : gain;
            const V xl = l * lim_drive, xr = r * lim_drive;
            store_v(bj + h, xl);
            store_v(bj + lanes + h, xr);
            store_v(gj + h, hl);
            store_v(gj + lanes + h, hr);
            acc_l += hl * xl;
            acc_r += hr * xr;
        }
        tree_sum2(acc_l, acc_r, sums + 2 * j);
    }
    for (std::size_t v = 0; v < nv; ++v) {
        const std::size_t h = v * w;
        store_v(p.envelope + h, env[v]);
        store_v(p.platform + h, plat[v]);
        std::memcpy(p.fast + h, &fast[v], sizeof fast[v]);
        store_v(p.meter_l + h, ml[v]);
        store_v(p.meter_r + h, mr[v]);
        store_v(p.meter_both + h, mb[v]);
    }
}

// "Torvalen 5"'s band limiter of `count` consecutive sub-samples, lanes in vectors of any
// width, the state in registers from one sub-sample to the next. Per lane: x <- x * drive;
// the expander follows the peak (attack up to its level, release down to the peak,
// floored); the wanted gain ref / peak where the peak passes the reference, approached
// by the smoothed gain (attack down, release rise up), under the platform where it is on;
// the expander's share where it is on; each channel cut to its clip level where |x| times
// the gain passes it. min / max as the one-band code takes them (the second argument
// when it is the smaller / larger one, else the first).
template <typename Ops>
inline void band_limit_five(const BandLimitFiveArgs& p, float* bands, float* gains, std::size_t stride,
                            std::size_t count, float* sums) {
    using V = typename Ops::V;
    constexpr std::size_t w = sizeof(V) / sizeof(float);
    constexpr std::size_t lanes = multiband_detail::lanes;
    constexpr std::size_t nv = lanes / w;
    const V one = V{} + 1.0f;
    const auto vmin = [](V a, V b) { return b < a ? b : a; };
    const auto vmax = [](V a, V b) { return a < b ? b : a; };
    const auto vabs = [](V a) { return a < 0.0f ? -a : a; };
    V ex[nv], sm[nv], pl[nv], ml[nv], mr[nv], mb[nv], mp[nv];
    for (std::size_t v = 0; v < nv; ++v) {
        const std::size_t h = v * w;
        ex[v] = load_v<V>(p.expander + h);
        sm[v] = load_v<V>(p.smooth + h);
        pl[v] = load_v<V>(p.platform + h);
        ml[v] = load_v<V>(p.meter_l + h);
        mr[v] = load_v<V>(p.meter_r + h);
        mb[v] = load_v<V>(p.meter_both + h);
        mp[v] = load_v<V>(p.meter_platform + h);
    }
    for (std::size_t j = 0; j < count; ++j) {
        float* bj = bands + j * stride;
        float* gj = gains + j * stride;
        V prod_l[nv], prod_r[nv];
        for (std::size_t v = 0; v < nv; ++v) {
            const std::size_t h = v * w;
            const V drive = load_v<V>(p.drive + h);
            const V l = load_v<V>(bj + h) * drive, r = load_v<V>(bj + lanes + h) * drive;
            const V al = vabs(l), ar = vabs(r);
            const V peak = vmax(al, ar);
            V x = ex[v];
            const V level = load_v<V>(p.expander_level + h);
            const V x_up = vmin(Ops::fma(peak - x, load_v<V>(p.expander_attack + h), x), level);
            const V x_down = vmax(Ops::fma(x, -load_v<V>(p.expander_release + h), x), peak);
            x = vmax(peak > x ? x_up : x_down, load_v<V>(p.expander_floor + h));

            const V ref = load_v<V>(p.reference + h);
            const auto over = peak >= ref;
            const V wanted = Ops::any(over) ? (over ? ref / peak : one) : one;
            V s = sm[v];
            const V sm_up = vmin(s * load_v<V>(p.release_rise + h), wanted);
            const V sm_down = Ops::fma(wanted - s, load_v<V>(p.attack + h), s);
            s = wanted >= s ? sm_up : sm_down;
            V plat = one;
            if (p.platform_on) {
                const V P = pl[v];
                const auto grow = s >= P;
                const V pl_up = vmin(P * load_v<V>(p.plat_release_rise + h), s);
                const V pl_down = vmax(Ops::fma(P, -load_v<V>(p.plat_attack + h), P), s);
                s = grow ? vmin(s, pl_up) : s;
                plat = grow ? pl_up : pl_down;
                pl[v] = plat;
            }
            ex[v] = x;
            sm[v] = s;
            const V hh = vmin(p.expander_on ? s * (x / level) : s, plat);
            V hl = hh, hr = hh;
            if (p.clip_bands) {
                const V clip = load_v<V>(p.clip + h);
                const auto cut_l = al * hh > clip, cut_r = ar * hh > clip;
                if (Ops::any(cut_l | cut_r)) {
                    hl = cut_l ? clip / al : hh;
                    hr = cut_r ? clip / ar : hh;
                }
            }
            ml[v] = vmin(ml[v], hl);
            mr[v] = vmin(mr[v], hr);
            mb[v] = vmin(mb[v], hh);
            mp[v] = vmin(mp[v], plat);
            const V xl = l * p.lim_drive, xr = r * p.lim_drive;
            store_v(bj + h, xl);
            store_v(bj + lanes + h, xr);
            store_v(gj + h, hl);
            store_v(gj + lanes + h, hr);
            prod_l[v] = hl * xl;
            prod_r[v] = hr * xr;
        }
        // The five bands' sums in band order.
        float sum_l = 0.0f, sum_r = 0.0f;
        for (std::size_t b = 0; b < 5; ++b) {
            sum_l += prod_l[b / w][b % w];
            sum_r += prod_r[b / w][b % w];
        }
        sums[2 * j] = sum_l;
        sums[2 * j + 1] = sum_r;
    }
    for (std::size_t v = 0; v < nv; ++v) {
        const std::size_t h = v * w;
        store_v(p.expander + h, ex[v]);
        store_v(p.smooth + h, sm[v]);
        store_v(p.platform + h, pl[v]);
        store_v(p.meter_l + h, ml[v]);
        store_v(p.meter_r + h, mr[v]);
        store_v(p.meter_both + h, mb[v]);
        store_v(p.meter_platform + h, mp[v]);
    }
}

}  // namespace
}  // namespace torvalen::dsp::simd
