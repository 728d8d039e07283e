// Both processors and Sound In inside a real instance: the engine cycle, the latency
// read-out, a type change while running.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "dsp/processor_five.h"
#include "dsp/processor_one.h"
#include "engine/instance.h"
#include "measure/sound_in.h"
#include "tests/dsp/processor_harness.h"

namespace torvalen::dsp {
namespace {

struct RealFactory : ModuleFactory {
    std::unique_ptr<SoundInModule> create_sound_in(Instance&, SettingsKey key, uint32_t& error) override {
        return measure::SoundIn::create(key, error);
    }
    std::unique_ptr<ProcessorModule> create_processor(ProcessorType type, Instance&, SettingsKey key,
                                                      uint32_t& error) override {
        if (type == processor_five) return ProcessorFive::create(key, error);
        return ProcessorOne::create(key, error);
    }
};

void run_blocks(Instance& instance, int blocks, double amplitude) {
    uint64_t n = 0;
    for (int k = 0; k < blocks; ++k) {
        auto in = instance.input_exchange();
        for (size_t i = 0; i < in.size(); i += 2, ++n)
            in[i] = in[i + 1] = static_cast<float>(amplitude * std::sin(0.031 * static_cast<double>(n)));
        instance.signal_block_ready();
        instance.wait_cycle_done();
    }
}

TEST(ProcessorInInstance, ProcessesReportsLatencyAndChangesType) {
    test::TestStore store;
    RealFactory factory;
    std::string error;
    auto instance = Instance::create(store.store->root(), "Studio", factory, error);
    ASSERT_TRUE(instance) << error;
    EXPECT_EQ(instance->processor_type(), processor_one);
    ASSERT_TRUE(instance->engine_start(48000, 512));
    run_blocks(*instance, 50, 0.1 * test::fs);
    EXPECT_EQ(instance->processor_latency_samples(), 2746u);
    EXPECT_EQ(instance->processor_latency_text(), "57.20 ms");  // floor(100000 * 2746 / 48000) hundredths
    const float* bus4 = instance->buses().data[bus_proc];
    const double peak = *std::max_element(bus4, bus4 + 512, [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    EXPECT_GT(std::fabs(peak), 1e6);

    instance->set_unlocked(true);
    ASSERT_TRUE(instance->change_processor_type(processor_five));
    EXPECT_EQ(instance->processor_type(), processor_five);
    run_blocks(*instance, 20, 0.1 * test::fs);
    EXPECT_EQ(instance->processor_latency_samples(), 2746u);
    auto* sound_in = dynamic_cast<measure::SoundIn*>(instance->sound_in());
    ASSERT_NE(sound_in, nullptr);
    measure::SoundInMeters m{};
    EXPECT_TRUE(sound_in->take_meters(m));
    EXPECT_NEAR(m[0], -20.0f, 0.5f);
    instance->engine_stop();
    Instance::destroy(std::move(instance), false);
    EXPECT_TRUE(store.instance.open("MBL5_Torvalen-v4.0.0"));
    EXPECT_TRUE(store.instance.open("Torvalen One-v1.0.0"));
    EXPECT_TRUE(store.instance.open("Sound In-v1.0.0"));
}

}  // namespace
}  // namespace torvalen::dsp
