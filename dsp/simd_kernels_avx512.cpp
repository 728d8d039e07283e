// The AVX-512 build of the vector kernels (sixteen lanes, fused multiply-add). Compiled
// with -mavx512f -mavx512vl -mavx2 -mfma (see CMakeLists.txt) and reached only through
// simd::kernels() after the run-time check.
//
// The interpolators hold one 8-float entry per tap, so two neighbouring taps fill one
// 16-lane register: fifteen multiply-adds per band and channel pair, then the two
// halves are added.
#include "dsp/simd_kernels.h"

#if defined(__AVX512F__) && defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>

#include "dsp/simd_kernels_impl.h"

namespace torvalen::dsp::simd {

namespace {
using V16 = float __attribute__((vector_size(64)));
using V8 = float __attribute__((vector_size(32)));

struct Lanes8 {
    using V = V8;
    using M = std::int32_t __attribute__((vector_size(32)));
    static V sqrt(V v) { return (V)_mm256_sqrt_ps((__m256)v); }
    static V fma(V a, V b, V c) { return (V)_mm256_fmadd_ps((__m256)a, (__m256)b, (__m256)c); }
    static bool any(M m) { return _mm256_movemask_ps((__m256)m) != 0; }
};

inline V16 fma16(V16 a, V16 b, V16 c) { return (V16)_mm512_fmadd_ps((__m512)a, (__m512)b, (__m512)c); }
inline V8 fold(V16 v) {
    return __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7) +
           __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15);
}

void dot2(const float* h, const float* a, const float* b, std::size_t n, float& out_a, float& out_b) {
    V16 a0{}, b0{};
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const V16 hk = load_v<V16>(h + k);
        a0 = fma16(hk, load_v<V16>(a + k), a0);
        b0 = fma16(hk, load_v<V16>(b + k), b0);
    }
    V8 a8 = fold(a0), b8 = fold(b0);
    if (k < n) {
        const V8 hk = load_v<V8>(h + k);
        a8 = Lanes8::fma(hk, load_v<V8>(a + k), a8);
        b8 = Lanes8::fma(hk, load_v<V8>(b + k), b8);
    }
    out_a = tree_sum(a8);
    out_b = tree_sum(b8);
}

// Tap 0 from the new frame; taps 1...28 in fourteen pairs; tap 29 alone.
void interpolate_stereo(const float* phases, const float* older, float l, float r, float* entry_a, float* entry_b,
                        float* out) {
    const V8 x = V8{l, l, l, l, r, r, r, r};
    V8 tail = Lanes8::fma(load_v<V8>(phases + 8 * 29), load_v<V8>(older + 8 * 28), load_v<V8>(phases) * x);
    V16 a0{}, a1{};
    for (std::size_t k = 1; k < 29; k += 4) {
        a0 = fma16(load_v<V16>(phases + 8 * k), load_v<V16>(older + 8 * (k - 1)), a0);
        if (k + 2 < 29) a1 = fma16(load_v<V16>(phases + 8 * k + 16), load_v<V16>(older + 8 * (k + 1)), a1);
    }
    store_v(entry_a, x);
    store_v(entry_b, x);
    store_v(out, fold(a0 + a1) + tail);
}

void interpolate_bands(multiband_detail::BandInterpolatorState& st, const float* in_l, const float* in_r, float* sub,
                       std::size_t stride) {
    using multiband_detail::lanes;
    using multiband_detail::taps_per_phase;
    constexpr std::size_t bands = multiband_detail::BandInterpolatorState::bands;
    const std::size_t pos = st.pos;
    // Tap 0 (the new frame, from registers) and tap 29 alone; taps 1...28 in pairs: five
    // independent chains (one per band) of fourteen multiply-adds each.
    V8 x[bands], tail[bands];
    const V8 p0 = load_v<V8>(st.phases[0]), p29 = load_v<V8>(st.phases[29]);
    // Every loop fully unrolled: the per-band values stay in registers.
#pragma GCC unroll 5
    for (std::size_t b = 0; b < bands; ++b) {
        x[b] = V8{in_l[b], in_l[b], in_l[b], in_l[b], in_r[b], in_r[b], in_r[b], in_r[b]};
        tail[b] = Lanes8::fma(p29, load_v<V8>(st.history[b][pos + 29]), p0 * x[b]);
    }
    V16 acc[bands] = {};
#pragma GCC unroll 14
    for (std::size_t k = 1; k < 29; k += 2) {
        const V16 p = load_v<V16>(st.phases[k]);
#pragma GCC unroll 5
        for (std::size_t b = 0; b < bands; ++b) acc[b] = fma16(p, load_v<V16>(st.history[b][pos + k]), acc[b]);
    }
#pragma GCC unroll 5
    for (std::size_t b = 0; b < bands; ++b) {
        store_v(st.history[b][pos], x[b]);
        store_v(st.history[b][pos + taps_per_phase], x[b]);
    }
    V8 r[bands];
#pragma GCC unroll 5
    for (std::size_t b = 0; b < bands; ++b) r[b] = fold(acc[b]) + tail[b];
    multiband_detail::store_band_sub_samples(r, sub, stride);
    st.pos = pos == 0 ? taps_per_phase - 1 : pos - 1;
}

void compress_enhance(multiband_detail::DynamicsState& st, const multiband_detail::DynamicsCoefficients& c,
                      float* sub, std::size_t stride, std::size_t count, bool comp, bool enhance) {
    multiband_detail::compress_enhance<Lanes8>(st, c, sub, stride, count, comp, enhance);
}

// The half-cycle gain hold on all sixteen lanes at once, over a run of calls with the
// state in registers: the same rule as the holder's own code (band_gain_hold.h), but an
// open half-cycle's minimum stays in the state and is written to its slot only when the
// half-cycle closes at a zero crossing. The slot under the cursor is still open when its
// half-cycle is longer than the ring: its minimum then comes from the state.
template <bool smoothed, bool scaled>
void band_gain_hold_run(BandGainHoldState& s, float* samples, const float* requests, const float* rise,
                        const float* scale, std::size_t stride, std::size_t count) {
    using I16 = std::int32_t __attribute__((vector_size(64)));
    constexpr std::size_t entry = BandGainHoldState::entry_floats;
    const __m512 zero = _mm512_setzero_ps(), empty = _mm512_set1_ps(-1.0f);
    const __mmask16 active = static_cast<__mmask16>(s.active_mask);
    const I16 lane = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const I16 spare = I16{} + s.length * static_cast<std::int32_t>(entry);
    const V16 up = smoothed ? load_v<V16>(rise) : V16{};
    __m512i open = _mm512_load_si512(s.open);
    __m512 held = _mm512_load_ps(s.open_min), applied = _mm512_load_ps(s.applied);
    __m512 previous = _mm512_load_ps(s.previous);
    V16 smooth = load_v<V16>(s.smooth);
    const std::int32_t length = s.length;
    std::int32_t at = s.cursor;
    for (std::size_t j = 0; j < count; ++j) {
        float* e = s.ring + static_cast<std::size_t>(at) * entry;
        // The ring (8192 entries of 128 bytes) does not stay in the caches: fetch the entry
        // the cursor reaches sixteen calls on. (Past the ring's end near the wrap: a
        // prefetch never faults.)
        const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(e) + 16 * sizeof(float) * entry;
        _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(ahead + 64), _MM_HINT_T0);
        const __m512i cursor = _mm512_set1_epi32(at);
        const __mmask16 consumed = _mm512_mask_cmpeq_epi32_mask(active, open, cursor);
        const __m512 slot = _mm512_mask_mov_ps(_mm512_loadu_ps(e), consumed, held);
        applied = _mm512_mask_mov_ps(applied, _mm512_cmp_ps_mask(slot, zero, _CMP_GE_OQ), slot);
        const __m512 x = _mm512_loadu_ps(samples + j * stride);
        __m512 g = _mm512_loadu_ps(requests + j * stride);
        if constexpr (scaled)
            g = _mm512_mul_ps(g, _mm512_mask_broadcastss_ps(_mm512_set1_ps(scale[2 * j]), 0xFF00,
                                                            _mm_load_ss(scale + 2 * j + 1)));
        if constexpr (smoothed) {  // min(smooth * rise, request) at or above the smoothed gain, else the request
            const V16 h = (V16)g, raised = smooth * up;
            smooth = h >= smooth ? (raised < h ? raised : h) : h;
            g = (__m512)smooth;
        }
        const __mmask16 x_pos = _mm512_cmp_ps_mask(x, zero, _CMP_GE_OQ);
        const __mmask16 p_pos = _mm512_cmp_ps_mask(previous, zero, _CMP_GE_OQ);
        const __mmask16 crossed = static_cast<__mmask16>(x_pos ^ p_pos);
        const __mmask16 reopen = static_cast<__mmask16>(crossed | _mm512_cmpeq_epi32_mask(open, cursor));
        // Half-cycles closed by a crossing whose slot is not the one just consumed.
        const __mmask16 closed = static_cast<__mmask16>(crossed & active & ~consumed);
        _mm512_storeu_ps(e, empty);
        // At most two lanes close on almost every call: the first two are found by bit
        // scans and their minima stored one by one, into the spare entry past the ring's
        // end where fewer close (a branch on whether any lane closes would be mispredicted
        // often).
        const I16 index = (I16)open * static_cast<std::int32_t>(entry) + lane;
        const I16 target = (I16)_mm512_mask_mov_epi32((__m512i)spare, closed, (__m512i)index);
        const auto store_closed = [&](unsigned l) {
            const I16 pick = I16{} + static_cast<std::int32_t>(l & 15u);  // lane permutes, in registers
            s.ring[__builtin_shuffle(target, pick)[0]] = __builtin_shuffle((V16)held, pick)[0];
        };
        const unsigned first = closed;
        store_closed(static_cast<unsigned>(__builtin_ctz(first | 0x10000u)));
        store_closed(static_cast<unsigned>(__builtin_ctz((first & (first - 1)) | 0x10000u)));
        if (__builtin_popcount(closed) > 2) [[unlikely]]
            _mm512_mask_i32scatter_ps(s.ring, closed, (__m512i)index, held, 4);
        const V16 hv = (V16)held, gv = (V16)g;
        held = _mm512_mask_mov_ps((__m512)(gv < hv ? gv : hv), reopen, g);
        open = _mm512_mask_mov_epi32(open, reopen, cursor);
        previous = x;
        _mm512_storeu_ps(samples + j * stride, _mm512_mul_ps(_mm512_loadu_ps(e + BandGainHoldState::lanes), applied));
        _mm512_storeu_ps(e + BandGainHoldState::lanes, x);
        if (++at == length) at = 0;
    }
    _mm512_store_si512(s.open, open);
    _mm512_store_ps(s.open_min, held);
    _mm512_store_ps(s.applied, applied);
    _mm512_store_ps(s.previous, previous);
    if constexpr (smoothed) store_v(s.smooth, smooth);
    s.cursor = at;
}

void band_gain_hold(BandGainHoldState& s, float* samples, const float* requests, const float* rise,
                    const float* scale, std::size_t stride, std::size_t count) {
    if (rise && scale)
        band_gain_hold_run<true, true>(s, samples, requests, rise, scale, stride, count);
    else if (rise)
        band_gain_hold_run<true, false>(s, samples, requests, rise, scale, stride, count);
    else if (scale)
        band_gain_hold_run<false, true>(s, samples, requests, rise, scale, stride, count);
    else
        band_gain_hold_run<false, false>(s, samples, requests, rise, scale, stride, count);
}

void band_limit(const BandLimitArgs& a, float* bands, float* gains, std::size_t stride, std::size_t count,
                float* sums) {
    simd::band_limit<Lanes8>(a, bands, gains, stride, count, sums);
}

void band_limit_five(const BandLimitFiveArgs& a, float* bands, float* gains, std::size_t stride, std::size_t count,
                     float* sums) {
    simd::band_limit_five<Lanes8>(a, bands, gains, stride, count, sums);
}

struct Lanes16 {
    using V = V16;
    static V fma(V a, V b, V c) { return fma16(a, b, c); }
};

void true_peak_block(const float* p, const float* xl, const float* xr, std::size_t n, float* tp_l, float* tp_r) {
    simd::true_peak_block<Lanes16>(p, xl, xr, n, tp_l, tp_r);
}

// One tap of a 64-output group from five loaded vectors v[0..4] (inputs 16m ... 16m + 15
// past the group's offset): the window that starts R inputs into v[a] is one lane shift
// of v[a] and v[a + 1] away, so the taps need no unaligned load each.
template <int R>
inline void fir_tap(const __m512 (&v)[5], __m512 hk, __m512 (&acc)[4]) {
    for (int a = 0; a < 4; ++a) {
        const __m512 window =
            R == 0 ? v[a]
                   : _mm512_castsi512_ps(_mm512_maskz_alignr_epi32(0xFFFF, _mm512_castps_si512(v[a + 1]),
                                                                   _mm512_castps_si512(v[a]), R));
        acc[a] = _mm512_fmadd_ps(hk, window, acc[a]);
    }
}

// Taps with lane shifts R, R - 1, ... 0 (in that order: the taps in ascending order),
// those above `top` skipped; hk(R) gives a shift's coefficient.
template <int R, typename Coefficient>
inline void fir_taps_down(int top, const __m512 (&v)[5], const Coefficient& hk, __m512 (&acc)[4]) {
    if (R <= top) fir_tap<R>(v, hk(R), acc);
    if constexpr (R > 0) fir_taps_down<R - 1>(top, v, hk, acc);
}

// The block FIRs with adjacent taps (d = 1), in groups of 64 outputs: tap k of output i
// reads x[i + taps - 1 - k]. Per sixteen taps, five loads of the inputs (the last one
// masked to what the taps read, so nothing past the documented input is touched) and
// lane shifts in registers, where one unaligned load per tap and output vector
// (crossing a cache line nearly every time) kept the load ports, not the multiply-adds,
// busy. The sum runs over the streams and taps in the same order as the generic kernel,
// so the outputs are the same.
void fir_block(const float* const* h, const float* const* x, std::size_t streams, std::size_t taps,
               std::size_t d, float* y, std::size_t count) {
    if (d != 1 || taps == 0) {
        simd::fir_block<Lanes16>(h, x, streams, taps, d, y, count);
        return;
    }
    const std::size_t groups = count / 64;
    const int last = static_cast<int>(taps - 1);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t i = 64 * g;
        __m512 acc[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
        for (std::size_t st = 0; st < streams; ++st) {
            const float* base = x[st] + i;
            const float* hs = h[st];
            for (int q = last / 16; q >= 0; --q) {  // taps whose offset taps - 1 - k is 16q + R
                const float* at = base + 16 * q;
                const int top = q == last / 16 ? last % 16 : 15;
                const __m512 v[5] = {_mm512_loadu_ps(at), _mm512_loadu_ps(at + 16), _mm512_loadu_ps(at + 32),
                                     _mm512_loadu_ps(at + 48),
                                     _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << top) - 1u), at + 64)};
                const auto hk = [&](int r) { return _mm512_set1_ps(hs[last - 16 * q - r]); };
                fir_taps_down<15>(top, v, hk, acc);
            }
        }
        for (int a = 0; a < 4; ++a) _mm512_storeu_ps(y + i + 16 * a, acc[a]);
    }
    if (const std::size_t done = 64 * groups; done < count) {  // the rest of the run
        const float* rest[4];
        if (streams > 4) {  // (no caller has more): the whole run the generic way
            simd::fir_block<Lanes16>(h, x, streams, taps, d, y, count);
            return;
        }
        for (std::size_t st = 0; st < streams; ++st) rest[st] = x[st] + done;
        simd::fir_block<Lanes16>(h, rest, streams, taps, d, y + done, count - done);
    }
}

void interpolate_block(const float* p, std::size_t taps, const float* xl, const float* xr, std::size_t n,
                       float* sub_l, float* sub_r) {
    simd::interpolate_block<Lanes16>(p, taps, xl, xr, n, sub_l, sub_r);
}

const Kernels avx512{Level::avx512,    dot2,       interpolate_stereo, interpolate_bands,
                     compress_enhance, band_limit, band_limit_five,    band_gain_hold,
                     true_peak_block,  fir_block,       interpolate_block, level_run};
}  // namespace

const Kernels* avx512_kernels() { return &avx512; }

}  // namespace torvalen::dsp::simd

#else

namespace torvalen::dsp::simd {
const Kernels* avx512_kernels() { return nullptr; }
}  // namespace torvalen::dsp::simd

#endif
