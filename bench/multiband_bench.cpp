// Cost of the multiband section, its stages and the bass enhancer per 48 kHz stereo frame
// (ns/frame = time per iteration).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "dsp/bass_enhancer.h"
#include "dsp/crossover.h"
#include "dsp/hf_clipper.h"
#include "dsp/multiband.h"
#include "engine/realtime.h"

namespace {

using namespace torvalen::dsp;

// One second of stereo programme-like material in int32 scale, at about the level the
// AGC delivers to the section.
struct Material {
    std::vector<float> l, r;
};
const Material& material() {
    static const Material m = [] {
        Material v;
        v.l.resize(48000);
        v.r.resize(48000);
        for (std::size_t n = 0; n < v.l.size(); ++n) {
            const double t = static_cast<double>(n) / 48000.0;
            const double bass = std::sin(2 * std::numbers::pi * 70.0 * t), mid = std::sin(2 * std::numbers::pi * 440.0 * t);
            const double high = std::sin(2 * std::numbers::pi * 5100.0 * t), air = std::sin(2 * std::numbers::pi * 11300.0 * t);
            v.l[n] = static_cast<float>(3.0e7 * bass + 2.0e7 * mid + 1.0e7 * high + 4.0e6 * air);
            v.r[n] = static_cast<float>(3.0e7 * bass - 1.5e7 * mid + 0.8e7 * high - 3.0e6 * air);
        }
        return v;
    }();
    return m;
}

template <typename Step>
void run_frames(benchmark::State& state, Step&& step) {
    torvalen::enable_flush_to_zero();
    const Material& x = material();
    std::size_t n = 0;
    for (auto _ : state) {
        float l = x.l[n], r = x.r[n];
        step(l, r);
        benchmark::DoNotOptimize(l);
        benchmark::DoNotOptimize(r);
        if (++n == x.l.size()) n = 0;
    }
}

// The whole section with compressor and enhancer on, unity pending gains. Args:
// crossover ("Multiband Filter" index), latency ("Multiband Latency" index), pre-emphasis
// clipper on/off.
void BM_MultibandSection(benchmark::State& state) {
    auto mb = std::make_unique<MultibandSection>();
    MultibandParams p = default_multiband_params();
    p.filter = static_cast<CrossoverKind>(state.range(0));
    p.latency = static_cast<MultibandLatency>(state.range(1));
    p.hf_clip = state.range(2) != 0;
    p.comp_enable = true;
    p.st_enh_enable = true;
    mb->configure(p);
    mb->set_wide_kernels(state.range(3) != 0);
    if (state.range(3) != 0 && !mb->wide_kernels()) state.SkipWithError("no AVX on this processor");
    run_frames(state, [&](float& l, float& r) {
        int latency = 0;
        mb->process(l, r, latency);
    });
}
// wide = 1: the AVX kernels chosen at run time (the default where available); 0: the
// SSE2 / NEON baseline.
BENCHMARK(BM_MultibandSection)
    ->ArgNames({"filter", "latency_high", "hf_clip", "wide"})
    ->Args({0, 1, 0, 1})  // defaults: Lin Phase, High latency
    ->Args({0, 1, 0, 0})
    ->Args({0, 0, 0, 1})
    ->Args({0, 0, 0, 0})
    ->Args({1, 1, 0, 1})
    ->Args({1, 0, 0, 1})
    ->Args({2, 1, 0, 1})
    ->Args({2, 0, 0, 1})
    ->Args({0, 1, 1, 1});

// With a stand-in for the processors' limiters: a peak limiter per band writing the
// pending gains (the order of work the processors add per sub-sample).
void BM_MultibandSectionWithLimiterStandIn(benchmark::State& state) {
    auto mb = std::make_unique<MultibandSection>();
    MultibandParams p = default_multiband_params();
    p.comp_enable = true;
    p.st_enh_enable = true;
    mb->configure(p);
    std::array<float, band_lanes> envelope{};
    run_frames(state, [&](float& l, float& r) {
        int latency = 0;
        mb->process(
            l, r,
            LimiterCalls{[&](SubSampleBands* subs, SubSampleGains* gains, std::size_t) {
                for (int j = 0; j < oversampling; ++j) {
                    const BandFrame& bands = subs[0][j];
                    PendingGains& g = gains[0][j];
                    for (int b = 0; b < band_count; ++b) {
                        const float peak = std::max(std::fabs(bands.l[b]), std::fabs(bands.r[b]));
                        envelope[b] = peak > envelope[b] ? peak : envelope[b] * 0.9999f;
                        const float h = envelope[b] > 6.0e6f ? 6.0e6f / envelope[b] : 1.0f;
                        g.l[b] = h;
                        g.r[b] = h;
                    }
                }
            },
                         [](std::size_t, float* g, std::size_t n) { std::fill(g, g + 2 * n, 1.0f); }},
            latency);
    });
}
BENCHMARK(BM_MultibandSectionWithLimiterStandIn);

template <typename Crossover>
void BM_Crossover(benchmark::State& state) {
    auto x = std::make_unique<Crossover>();
    BandFrame bands;
    run_frames(state, [&](float& l, float& r) {
        x->process(l, r, bands);
        l = bands.l[0];
        r = bands.r[4];
    });
}
BENCHMARK_TEMPLATE(BM_Crossover, LinPhaseCrossover);
BENCHMARK_TEMPLATE(BM_Crossover, Garde3rdCrossover);
BENCHMARK_TEMPLATE(BM_Crossover, Garde5thCrossover);

void BM_HighFrequencyClipper(benchmark::State& state) {
    HighFrequencyClipper hf;
    run_frames(state, [&](float& l, float& r) {
        int latency = 0;
        hf.process(l, r, latency);
    });
}
BENCHMARK(BM_HighFrequencyClipper);

void BM_BassEnhancer(benchmark::State& state) {
    auto be = std::make_unique<BassEnhancer>();
    BassEnhancerParams p;
    p.high_latency = state.range(0) != 0;
    run_frames(state, [&](float& l, float& r) { be->process(l, r, p); });
}
BENCHMARK(BM_BassEnhancer)->ArgName("high_latency")->Arg(0)->Arg(1);

}  // namespace
