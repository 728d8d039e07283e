// Sound Out at 192 kHz: ns per output frame (time per iteration / frames per block)
// for the plain bypass path and the full multiplex with pilot, RDS, power control
// and delay, fed from the 48 kHz processor bus through the 4x up-sampler. The RDS
// modulator thread runs as in service; its CPU share is reported as a counter.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "broadcast/sound_out.h"
#include "bench/kernel_level.h"
#include "dsp/simd_kernels.h"
#include "engine/realtime.h"
#include "engine/settings_store.h"

namespace {

using namespace torvalen;
using namespace torvalen::broadcast;

constexpr uint32_t frames = 1024;  // device block at 192 kHz

double process_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void run(benchmark::State& state, bool mpx) {
    enable_flush_to_zero();
    if (!bench::use_kernel_level(state, 0)) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "sound-out-bench.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        state.SkipWithError("no temporary folder");
        return;
    }
    {
        std::string error;
        auto store = SettingsStore::open(std::filesystem::path(pattern) / "settings.db", error);
        uint32_t err = 0;
        SoundOutOptions options;
        options.start_preset_bar = false;
        auto out = SoundOut::create(*store->root().create("Bench"), err, options);
        if (!out) {
            state.SkipWithError("Sound Out could not be created");
            return;
        }
        if (mpx) {
            out->set_value(control_input_mode, 1.0f);
            out->set_value(control_power_on, 1.0f);
            out->set_value(control_delay, 250.0f);
            out->set_value(control_delay_switch, 1.0f);
        }
        std::vector<float> proc(frames / 2), sound_out(2 * frames);
        for (std::size_t i = 0; i < proc.size(); i += 2) {
            const float v = static_cast<float>(6e8 * std::sin(2 * std::numbers::pi * 997.0 * i / 2 / 48000.0));
            proc[i] = v;
            proc[i + 1] = 0.5f * v;
        }
        Buses buses;
        buses.data[bus_proc] = proc.data();
        buses.rate[bus_proc] = 48000;
        buses.count[bus_proc] = static_cast<uint32_t>(proc.size());
        buses.data[bus_sound_out] = sound_out.data();
        buses.rate[bus_sound_out] = 192000;
        buses.count[bus_sound_out] = static_cast<uint32_t>(sound_out.size());
        const uint64_t rds_cpu_start = out->rds_modulator().thread_cpu_ns();
        const double engine_cpu_start = process_cpu_s();
        uint64_t blocks = 0;
        for (auto _ : state) {
            out->process(buses, (blocks & 3) == 0);
            benchmark::DoNotOptimize(sound_out.data());
            ++blocks;
        }
        out->rds_modulator().wait_refills(2000);
        const double engine_cpu = process_cpu_s() - engine_cpu_start;
        const double rds_cpu = (out->rds_modulator().thread_cpu_ns() - rds_cpu_start) * 1e-9;
        const double audio_s = static_cast<double>(blocks) * frames / 192000.0;
        state.counters["ns_per_frame"] =
            benchmark::Counter(static_cast<double>(blocks) * frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
        state.counters["engine_cpu_share"] = engine_cpu / audio_s;  // of one core, in real time
        state.counters["rds_cpu_share"] = rds_cpu / audio_s;
    }
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    dsp::simd::set_level_limit(dsp::simd::Level::avx512);
}

void BM_SoundOutBypass192k(benchmark::State& state) { run(state, false); }
void BM_SoundOutMpxWithRds192k(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_SoundOutBypass192k)->Arg(2)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SoundOutMpxWithRds192k)->Arg(2)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
