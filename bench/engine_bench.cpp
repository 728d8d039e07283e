// Engine cycle overhead with every module slot empty: the hand-off from the device
// (block ready) to the engine thread and back (cycle done), plus the cycle's own
// copies and load accounting.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "engine/instance.h"
#include "engine/settings_store.h"

namespace {

using namespace torvalen;

void engine_cycle_empty_slots(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    const auto frames = static_cast<uint32_t>(state.range(1));
    const auto dir = std::filesystem::temp_directory_path() / ("torvalen-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string error;
    auto store = SettingsStore::open(dir / "settings.db", error);
    ModuleFactory empty;
    auto instance = Instance::create(*store->root().create("Instances"), "Bench", empty, error);
    if (!instance || !instance->engine_start(rate, 2 * frames)) {
        state.SkipWithError("engine did not start");
        return;
    }
    for (auto _ : state) {
        instance->signal_block_ready();
        instance->wait_cycle_done();
    }
    instance->engine_stop();
    instance.reset();
    store.reset();
    std::filesystem::remove_all(dir);
    state.counters["blocks_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                        benchmark::Counter::kIsRate);
}

BENCHMARK(engine_cycle_empty_slots)->Args({48000, 256})->Args({192000, 1024})->UseRealTime();

}  // namespace
