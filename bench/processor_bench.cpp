// Offline render speed of the processors: blocks of 256 frames of programme-like noise
// through the whole chain as the engine calls it. The "x_real_time" counter is seconds
// of audio per second of one core; 1 / x_real_time is the share of a core one instance
// takes at 48 kHz (the engine's CPU load, the other modules aside).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/processor_five.h"
#include "dsp/processor_one.h"
#include "bench/kernel_level.h"
#include "dsp/simd_kernels.h"
#include "engine/buses.h"
#include "engine/realtime.h"
#include "engine/settings_store.h"

namespace {

using namespace torvalen;

constexpr uint32_t block_frames = 256;
constexpr double rate_Hz = 48000.0;

// A throw-away settings store for the processors' keys.
struct Store {
    std::filesystem::path dir;
    std::unique_ptr<SettingsStore> store;
    SettingsKey instance;
    Store() {
        std::string pattern = (std::filesystem::temp_directory_path() / "torvalen-bench.XXXXXX").string();
        if (::mkdtemp(pattern.data())) dir = pattern;
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        if (store) instance = *store->root().create("Bench");
    }
    ~Store() {
        store.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

// Ten seconds of stereo noise with a falling spectrum and level steps, at programme level.
const std::vector<float>& material() {
    static const std::vector<float> m = [] {
        std::vector<float> v(2 * 480000);
        std::mt19937 rng(1);
        std::normal_distribution<float> g(0.0f, 1.0f);
        float yl = 0, yr = 0;
        for (std::size_t i = 0; i < v.size(); i += 2) {
            const float level = ((i / 96000) % 3 == 0 ? 2.0e8f : 6.0e7f);
            yl = 0.9f * yl + g(rng);
            yr = 0.9f * yr + 0.5f * g(rng) + 0.5f * yl * 0.1f;
            v[i] = level * yl * 0.3f;
            v[i + 1] = level * yr * 0.3f;
        }
        return v;
    }();
    return m;
}

struct BusSet {
    std::array<std::vector<float>, bus_count> storage;
    Buses buses;
    BusSet() {
        const std::array<uint32_t, bus_count> rates = {48000, 48000, 192000, 192000, 48000, 48000};
        for (unsigned b = 0; b < bus_count; ++b) {
            storage[b].assign(bus_float_count(48000, 2 * block_frames, rates[b]), 0.0f);
            buses.data[b] = storage[b].data();
            buses.rate[b] = rates[b];
            buses.count[b] = static_cast<uint32_t>(storage[b].size());
        }
    }
};

template <typename Processor>
void render(benchmark::State& state, Processor& proc) {
    enable_flush_to_zero();
    if (!bench::use_kernel_level(state, 1)) return;
    BusSet b;
    const std::vector<float>& x = material();
    std::size_t at = 0;
    uint64_t blocks = 0;
    for (auto _ : state) {
        std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(at), 2 * block_frames, b.storage[bus_sound_in].begin());
        at += 2 * block_frames;
        if (at + 2 * block_frames > x.size()) at = 0;
        proc.process(b.buses, ++blocks % 4 == 0);
        benchmark::DoNotOptimize(b.storage[bus_proc].data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(blocks * block_frames));
    state.counters["x_real_time"] =
        benchmark::Counter(static_cast<double>(blocks * block_frames) / rate_Hz, benchmark::Counter::kIsRate);
}

// Arg: 0 defaults; 1 with power limiter (R128-23, delay on), pre-emphasis Pure 50 us,
// compressor and stereo enhancer on.
template <typename Processor>
void set_busy(Processor& proc, uint32_t pre_emphasis_slot) {
    const auto& tree = proc.controls().tree();
    auto set = [&](std::string_view page, std::string_view group, std::string_view label, float v) {
        for (const auto& p : tree.pages)
            if (p.label == page)
                for (const auto& g : p.groups)
                    if (g.label == group)
                        for (const auto& c : g.controls)
                            if (c.label == label) proc.set_value(c.index, v);
    };
    proc.set_unlocked(true);
    set("Power Limiter", "Power Limiter Enable", "Off\nOn (Clip On)\nOn (Clip Off)\n", 1);
    set("Pre Emphasis", "Pre Emphasis", "25us\n50us\n75us\n", 1);
    set("Pre Emphasis", "Pre Emphasis", "Off\nPure\nBoost\n", 1);
    set("Compressor", "Comp Enable", "Off\nOn\n", 1);
    set("Stereo Enhancer", "St Enh Enable", "Off\nOn\n", 1);
    (void)pre_emphasis_slot;
}

void BM_TorvalenOne(benchmark::State& state) {
    Store store;
    uint32_t error = 0;
    auto proc = dsp::ProcessorOne::create(store.instance, error);
    if (!proc) {
        state.SkipWithError("processor not created");
        return;
    }
    if (state.range(0) == 1) set_busy(*proc, dsp::one_slot::pre_emphasis);
    render(state, *proc);
    dsp::simd::set_level_limit(dsp::simd::Level::avx512);
}
BENCHMARK(BM_TorvalenOne)->ArgsProduct({{0, 1}, {2, 1, 0}})->Unit(benchmark::kMicrosecond);


void BM_TorvalenFive(benchmark::State& state) {
    Store store;
    uint32_t error = 0;
    auto proc = dsp::ProcessorFive::create(store.instance, error);
    if (!proc) {
        state.SkipWithError("processor not created");
        return;
    }
    if (state.range(0) == 1) set_busy(*proc, dsp::five_slot::pre_emphasis);
    render(state, *proc);
    dsp::simd::set_level_limit(dsp::simd::Level::avx512);
}
BENCHMARK(BM_TorvalenFive)->ArgsProduct({{0, 1}, {2, 1, 0}})->Unit(benchmark::kMicrosecond);

}  // namespace
