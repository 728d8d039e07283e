// The analyser's real FFT per frame length (ns per transform = time per iteration),
// side by side with FFTW's single-precision real-to-complex transform in the same run.
//
// FFTW is reached at run time (dlopen of libfftw3f.so.3), so the benchmark program
// needs no link line for it; without the library or its header only our own
// transform is measured.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "engine/realtime.h"
#include "measure/fft.h"

#if __has_include(<fftw3.h>) && __has_include(<dlfcn.h>)
#define TORVALEN_BENCH_FFTW 1
#include <dlfcn.h>
#include <fftw3.h>
#endif

namespace {

using torvalen::measure::RealFft;

std::vector<float> programme(std::size_t n) {
    std::vector<float> x(n);
    for (std::size_t t = 0; t < n; ++t)
        x[t] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 0.01234 * t) +
                                  0.25 * std::sin(2 * std::numbers::pi * 0.3 * t));
    return x;
}

void BM_RealFftForward(benchmark::State& state) {
    torvalen::enable_flush_to_zero();
    const auto n = static_cast<uint32_t>(state.range(0));
    const RealFft fft(n);
    const std::vector<float> x = programme(n);
    std::vector<float> data = x, work(fft.work_size());
    for (auto _ : state) {
        data = x;
        benchmark::ClobberMemory();
        const auto start = std::chrono::steady_clock::now();
        fft.forward(data, work);
        benchmark::ClobberMemory();
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    state.SetLabel("manual time: the transform only");
}

// Forward without restoring the input between runs: the values grow, but the cost
// of the arithmetic does not depend on them, and there is no timer pause to skew it.
void BM_RealFftForwardInPlace(benchmark::State& state) {
    torvalen::enable_flush_to_zero();
    const auto n = static_cast<uint32_t>(state.range(0));
    const RealFft fft(n);
    std::vector<float> data = programme(n), work(fft.work_size());
    for (auto _ : state) {
        fft.forward(data, work);
        fft.inverse(data, work);
        for (float& v : data) v *= 1.0f / static_cast<float>(n);
        benchmark::ClobberMemory();
    }
    state.SetLabel("forward + inverse + rescale");
}

void BM_RealFftInverse(benchmark::State& state) {
    torvalen::enable_flush_to_zero();
    const auto n = static_cast<uint32_t>(state.range(0));
    const RealFft fft(n);
    std::vector<float> data = programme(n), work(fft.work_size());
    for (auto _ : state) {
        fft.inverse(data, work);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_RealFftForward)->RangeMultiplier(2)->Range(4096, 65536)->UseManualTime();
BENCHMARK(BM_RealFftForwardInPlace)->RangeMultiplier(2)->Range(4096, 65536);
BENCHMARK(BM_RealFftInverse)->RangeMultiplier(2)->Range(4096, 65536);
BENCHMARK(BM_RealFftForward)->Arg(49152)->Arg(59049)->Arg(60000)->UseManualTime();

#ifdef TORVALEN_BENCH_FFTW
// The few FFTW entry points we use, looked up once.
struct Fftw {
    decltype(&fftwf_plan_dft_r2c_1d) plan_r2c = nullptr;
    decltype(&fftwf_execute) execute = nullptr;
    decltype(&fftwf_destroy_plan) destroy = nullptr;
    decltype(&fftwf_malloc) allocate = nullptr;
    decltype(&fftwf_free) release = nullptr;
    bool ok = false;

    Fftw() {
        void* lib = dlopen("libfftw3f.so.3", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return;
        plan_r2c = reinterpret_cast<decltype(plan_r2c)>(dlsym(lib, "fftwf_plan_dft_r2c_1d"));
        execute = reinterpret_cast<decltype(execute)>(dlsym(lib, "fftwf_execute"));
        destroy = reinterpret_cast<decltype(destroy)>(dlsym(lib, "fftwf_destroy_plan"));
        allocate = reinterpret_cast<decltype(allocate)>(dlsym(lib, "fftwf_malloc"));
        release = reinterpret_cast<decltype(release)>(dlsym(lib, "fftwf_free"));
        ok = plan_r2c && execute && destroy && allocate && release;
    }
};

const Fftw& fftw() {
    static const Fftw f;
    return f;
}

void fftw_forward(benchmark::State& state, unsigned flags) {
    const Fftw& f = fftw();
    if (!f.ok) {
        state.SkipWithError("libfftw3f.so.3 not found");
        return;
    }
    const int n = static_cast<int>(state.range(0));
    auto* in = static_cast<float*>(f.allocate(sizeof(float) * n));
    auto* out = static_cast<fftwf_complex*>(f.allocate(sizeof(fftwf_complex) * (n / 2 + 1)));
    fftwf_plan plan = f.plan_r2c(n, in, out, flags);
    const std::vector<float> x = programme(static_cast<std::size_t>(n));
    std::copy(x.begin(), x.end(), in);
    for (auto _ : state) {
        f.execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    f.destroy(plan);
    f.release(out);
    f.release(in);
}

void BM_FftwR2cMeasure(benchmark::State& state) { fftw_forward(state, FFTW_MEASURE); }
void BM_FftwR2cEstimate(benchmark::State& state) { fftw_forward(state, FFTW_ESTIMATE); }

BENCHMARK(BM_FftwR2cMeasure)->RangeMultiplier(2)->Range(4096, 65536);
BENCHMARK(BM_FftwR2cEstimate)->RangeMultiplier(2)->Range(4096, 65536);
BENCHMARK(BM_FftwR2cMeasure)->Arg(49152)->Arg(59049)->Arg(60000);
#endif

}  // namespace
