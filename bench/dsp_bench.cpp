// Cost of the DSP primitives per 48 kHz stereo frame (ns/frame = time per iteration),
// and the denormal check: decaying filters fed silence after a loud passage.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "dsp/detectors.h"
#include "dsp/fir.h"
#include "dsp/fir_tables.h"
#include "dsp/gain_hold.h"
#include "dsp/iir.h"
#include "dsp/rate_convert.h"
#include "engine/realtime.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#include <pmmintrin.h>
#endif

namespace {

using namespace torvalen::dsp;

// One second of programme-like material in int32 scale.
const std::vector<float>& material() {
    static const std::vector<float> x = [] {
        std::vector<float> v(48000);
        for (std::size_t n = 0; n < v.size(); ++n)
            v[n] = static_cast<float>(4.0e8 * std::sin(2 * std::numbers::pi * 440.0 * n / 48000.0) +
                                      1.0e8 * std::sin(2 * std::numbers::pi * 5100.0 * n / 48000.0));
        return v;
    }();
    return x;
}

template <typename Step>
void run_frames(benchmark::State& state, Step&& step) {
    torvalen::enable_flush_to_zero();
    const auto& x = material();
    std::size_t n = 0;
    for (auto _ : state) {
        float l = x[n], r = -x[n];
        step(l, r);
        benchmark::DoNotOptimize(l);
        benchmark::DoNotOptimize(r);
        if (++n == x.size()) n = 0;
    }
}

template <std::size_t N>
void BM_Fir(benchmark::State& state, const std::array<float, N>& table) {
    Fir<N> f(table);
    run_frames(state, [&](float& l, float& r) { f.process(l, r); });
}
BENCHMARK_CAPTURE(BM_Fir, fir21, fir_tables::lin_phase_top_21);
BENCHMARK_CAPTURE(BM_Fir, fir53, fir_tables::fm_band_limit_53);
BENCHMARK_CAPTURE(BM_Fir, fir57, fir_tables::hf_clip_path_57);
BENCHMARK_CAPTURE(BM_Fir, fir101, fir_tables::hd_band_limit_101);
BENCHMARK_CAPTURE(BM_Fir, fir211, fir_tables::am_5k_211);

void BM_SparseFir(benchmark::State& state) {
    SparseFir f(fir_tables::lin_phase_prototype_27, static_cast<std::size_t>(state.range(0)));
    run_frames(state, [&](float& l, float& r) { f.process(l, r); });
}
BENCHMARK(BM_SparseFir)->Arg(2)->Arg(8)->Arg(32);

void BM_HighPass2Double(benchmark::State& state) {
    auto s = design_high_pass2_48k(0.2784, 0.2596, 50.0);
    run_frames(state, [&](float& l, float& r) { s.process(l, r); });
}
BENCHMARK(BM_HighPass2Double);

void BM_LowPass2Float(benchmark::State& state) {
    LowPass2<float> s(0.7071, 0.7071, 6000.0, 48000.0);
    run_frames(state, [&](float& l, float& r) { s.process(l, r); });
}
BENCHMARK(BM_LowPass2Float);

void BM_FirstOrderAllPass(benchmark::State& state) {
    auto s = design_first_order<float>(2400.0, 48000.0);
    run_frames(state, [&](float& l, float& r) { s.all_pass(l, r); });
}
BENCHMARK(BM_FirstOrderAllPass);

void BM_ResonatorDouble(benchmark::State& state) {
    auto s = design_resonator_48k(100.0, 11.5379505);
    run_frames(state, [&](float& l, float& r) { s.band_pass(l, r); });
}
BENCHMARK(BM_ResonatorDouble);

void BM_DelayLine(benchmark::State& state) {
    DelayLine d(2028);
    run_frames(state, [&](float& l, float& r) { d.process(l, r); });
}
BENCHMARK(BM_DelayLine);

void BM_Interpolator(benchmark::State& state) {
    Interpolator up;
    run_frames(state, [&](float& l, float& r) {
        const SubSamples s = up.process(l, r);
        benchmark::DoNotOptimize(s);
    });
}
BENCHMARK(BM_Interpolator);

void BM_Decimator(benchmark::State& state) {
    Decimator down;
    SubSamples s;
    run_frames(state, [&](float& l, float& r) {
        s.l = {l, l, l, l};
        s.r = {r, r, r, r};
        down.process(s, l, r);
    });
}
BENCHMARK(BM_Decimator);

void BM_SinglePhaseDecimator(benchmark::State& state) {
    SinglePhaseDecimator down;
    run_frames(state, [&](float& l, float& r) { down.process(l, r, l, r); });
}
BENCHMARK(BM_SinglePhaseDecimator);

void BM_InterpolateDecimate(benchmark::State& state) {
    Interpolator up;
    Decimator down;
    run_frames(state, [&](float& l, float& r) { down.process(up.process(l, r), l, r); });
}
BENCHMARK(BM_InterpolateDecimate);

// Per 192 kHz sub-sample (four per frame in the oversampled sections).
void BM_HalfCycleGainHold8192(benchmark::State& state) {
    HalfCycleGainHoldMin h(8192);
    run_frames(state, [&](float& l, float& r) { h.process(l, r, 0.9f, 0.8f); });
}
BENCHMARK(BM_HalfCycleGainHold8192);

void BM_BlockMinSmoother(benchmark::State& state) {
    BlockMinSmoother s;
    run_frames(state, [&](float& l, float& r) { s.process(l, r, 0.9f, 0.8f); });
}
BENCHMARK(BM_BlockMinSmoother);

// Per frame, measured as the meters run it: frames gathered, measured per 256-frame block.
void BM_LevelDetector(benchmark::State& state) {
    LevelDetector d;
    std::array<float, 6> held{};
    std::size_t frames = 0;
    run_frames(state, [&](float& l, float& r) {
        d.push(l, r, held);
        if (++frames % 256 == 0) d.flush(held);
    });
    benchmark::DoNotOptimize(held);
}
BENCHMARK(BM_LevelDetector);

void BM_LoudnessDetector(benchmark::State& state) {
    PowerDetector d(true);
    int latency = 0;
    run_frames(state, [&](float& l, float& r) {
        const float level = d.process(l, r, level_floor, true, latency);
        benchmark::DoNotOptimize(level);
    });
}
BENCHMARK(BM_LoudnessDetector);

// Denormal check: a slow float low-pass cascade (1.79 Hz, as in the power detector) is
// driven by a loud passage and left to decay until its output is just above the
// denormal range (1e-36); each iteration then runs one second of silence from that
// state, which carries it through the denormal range. Arg 1 runs with flush-to-zero and
// denormals-are-zero (as the engine thread does); arg 0 clears both for comparison.
std::array<LowPass2<float>, 2> decayed_cascade() {
    std::array<LowPass2<float>, 2> c{LowPass2<float>(0.794, 0.5029, 1.79, 48000.0),
                                     LowPass2<float>(0.6304, 1.5407, 1.79, 48000.0)};
    for (float v : material()) {
        float l = v, r = v;
        for (auto& s : c) s.process(l, r);
    }
    for (int n = 0; n < 600 * 48000; ++n) {
        float l = 0, r = 0;
        for (auto& s : c) s.process(l, r);
        if (std::fabs(l) < 1e-36f) break;
    }
    return c;
}

void BM_SilenceAfterLoud(benchmark::State& state) {
    const auto start = decayed_cascade();
    if (state.range(0) != 0) {
        torvalen::enable_flush_to_zero();
    } else {
#if defined(__x86_64__)
        _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_OFF);
        _MM_SET_DENORMALS_ZERO_MODE(_MM_DENORMALS_ZERO_OFF);
#endif
    }
    constexpr int frames = 48000;
    for (auto _ : state) {
        auto c = start;
        for (int n = 0; n < frames; ++n) {
            float l = 0, r = 0;
            for (auto& s : c) s.process(l, r);
            benchmark::DoNotOptimize(l);
        }
    }
    torvalen::enable_flush_to_zero();
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_SilenceAfterLoud)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// The same cascade on loud material, per frame.
void BM_LoudForComparison(benchmark::State& state) {
    LowPass2<float> a(0.794, 0.5029, 1.79, 48000.0), b(0.6304, 1.5407, 1.79, 48000.0);
    run_frames(state, [&](float& l, float& r) {
        a.process(l, r);
        b.process(l, r);
    });
}
BENCHMARK(BM_LoudForComparison);

}  // namespace
