// The vector kernels a benchmark runs on, taken from one of its arguments
// (0 SSE2, 1 AVX2, 2 AVX-512), so one run compares the instruction sets.
#pragma once

#include <benchmark/benchmark.h>

#include "dsp/simd_kernels.h"

namespace torvalen::bench {

// Chooses the kernels of argument `arg`; false (the run skipped, the widest kernels
// restored) when this processor lacks that instruction set.
inline bool use_kernel_level(benchmark::State& state, int arg) {
    const auto limit = static_cast<dsp::simd::Level>(state.range(arg));
    dsp::simd::set_level_limit(limit);
    if (dsp::simd::kernels().level != limit) {
        dsp::simd::set_level_limit(dsp::simd::Level::avx512);
        state.SkipWithError("this processor lacks that instruction set");
        return false;
    }
    state.SetLabel(dsp::simd::level_name(limit));
    return true;
}

}  // namespace torvalen::bench
