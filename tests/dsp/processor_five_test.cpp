// "Torvalen 5": its table, latency, ceiling, two-band AGC and meters, run as the engine
// runs it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "dsp/processor_five.h"
#include "params/page_tree.h"
#include "tests/dsp/processor_harness.h"

namespace torvalen::dsp {
namespace {

using test::TestBuses;
using test::TestStore;

class ProcessorFiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        uint32_t error = 0;
        proc = ProcessorFive::create(store.instance, error);
        ASSERT_TRUE(proc);
        ASSERT_EQ(error, 0u);
        proc->set_unlocked(true);
    }
    void set(std::string_view page, std::string_view group, std::string_view label, float v) {
        const uint32_t i = test::control_index(proc->controls().tree(), page, group, label);
        proc->set_value(i, v);
        float after = 0;
        ASSERT_TRUE(proc->get_value(i, after));
        ASSERT_NEAR(after, v, 1e-4) << label;
    }
    template <typename Fill>
    std::vector<float> run(TestBuses& b, int blocks, Fill&& fill) {
        std::vector<float> out;
        for (int k = 0; k < blocks; ++k) {
            auto& in = b.bus(bus_sound_in);
            for (size_t i = 0; i < in.size(); i += 2) fill(in[i], in[i + 1]);
            proc->process(b.buses, k % 4 == 3);
            out.insert(out.end(), b.bus(bus_proc).begin(), b.bus(bus_proc).end());
        }
        return out;
    }
    TestStore store;
    std::unique_ptr<ProcessorFive> proc;
};

TEST_F(ProcessorFiveTest, TableHas263RecordsBinding198Slots) {
    const auto table = processor_five_table();
    ASSERT_EQ(table.size(), 263u);
    std::set<uint64_t> slots;
    for (const auto& r : table) {
        if (!params::has_value(r.kind)) continue;
        const uint64_t slot = (r.location - params::template_block_start) / 4;
        slots.insert(slot);
        if (r.kind == params::ControlKind::band_frequency)
            for (uint64_t k = 1; k < 6; ++k) slots.insert(slot + k);
    }
    EXPECT_EQ(slots.size(), 198u);
    EXPECT_EQ(*slots.rbegin(), 197u);
    const auto& tree = proc->controls().tree();
    ASSERT_EQ(tree.pages.size(), 13u);
    EXPECT_EQ(tree.pages[7].label, "Band Limiter");
    for (const auto& p : tree.pages)
        for (const auto& g : p.groups) EXPECT_TRUE(g.displayable) << p.label << "/" << g.label;
    float v = 0;
    ASSERT_TRUE(proc->get_value(test::control_index(tree, "Compressor", "Comp Plat Attack", "M1"), v));
    EXPECT_EQ(v, 8.0f);
    ASSERT_TRUE(proc->get_value(test::control_index(tree, "Band Limiter", "MBL Expanfer Release", "M2"), v));
    EXPECT_EQ(v, 13.5f);
    ASSERT_TRUE(proc->get_value(test::control_index(tree, "AGC", "AGC Gate Thresh", "Thresh (dB)"), v));
    EXPECT_NEAR(v, -60.0f, 1e-4);
    ASSERT_TRUE(proc->get_value(test::control_index(tree, "Band Limiter", "MBL Expander Depth (dB)r", "B"), v));
    EXPECT_NEAR(v, -10.0f, 1e-4);
    EXPECT_NEAR(proc->slots()[five_slot::mbl_drive], std::pow(10.0, -16.5 / 20), 1e-6);  // 3.5 on [-30, -10]
    EXPECT_NEAR(proc->slots()[five_slot::agc_max_boost + 1], std::pow(10.0, -15.0 / 20), 1e-6);
    EXPECT_TRUE(store.instance.open("MBL5_Torvalen-v4.0.0"));
}

TEST_F(ProcessorFiveTest, DefaultLatencyMatchesTorvalenOne) {
    TestBuses b;
    run(b, 1, [](float& l, float& r) { l = r = 1000.0f; });
    EXPECT_EQ(proc->latency_samples(), 2746u);
    set("Power Limiter", "Power Limiter Enable", "Off\nOn (Clip On)\nOn (Clip Off)\n", 2);
    run(b, 1, [](float& l, float& r) { l = r = 1000.0f; });
    EXPECT_EQ(proc->latency_samples(), 2746u + 9600u);
}

TEST_F(ProcessorFiveTest, OutputNeverExceedsFullScaleAtTwentyDecibelsOfDrive) {
    set("Input", "Input Level", "Gain (dB)", 0);
    set("Band Limiter", "MBL Platform Enable", "Off\nOn\n", 0);
    std::mt19937 rng(8);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (uint32_t mode = 0; mode < 3; ++mode) {
        set("Power Limiter", "Power Limiter Enable", "Off\nOn (Clip On)\nOn (Clip Off)\n", static_cast<float>(mode));
        set("Limiter", "Lim Timing", "Plat Off\nPlat On\n", static_cast<float>(mode % 2));
        TestBuses b;
        int k = 0;
        const auto out = run(b, 300, [&](float& l, float& r) {
            const float level = (k++ / 15000) % 3 == 2 ? 0.0f : 10.0f * static_cast<float>(test::fs);
            l = level * g(rng);
            r = level * g(rng);
        });
        EXPECT_LE(test::peak_of(out), test::fs) << "mode " << mode;
        EXPECT_GT(test::peak_of(out), 0.05 * test::fs) << "mode " << mode;
    }
}

TEST_F(ProcessorFiveTest, ClosedGateMovesBothAgcGainsTowardUnity) {
    TestBuses b;
    test::PinkNoise pink(3);
    run(b, 600, [&](float& l, float& r) { pink.next(l, r, 0.1 * test::fs); });
    EXPECT_FALSE(proc->agc_gate_closed());
    run(b, 6000, [&](float& l, float& r) { pink.next(l, r, 1e-7 * test::fs); });
    EXPECT_TRUE(proc->agc_gate_closed());
    EXPECT_NEAR(proc->agc_gain_mh() * 9.875001f, 0.9875f, 0.02f);
    EXPECT_NEAR(proc->agc_gain_b() * 9.875001f, 0.9875f, 0.02f);
    ProcessorMeters m;
    ASSERT_TRUE(proc->take_meters(m));
    ASSERT_EQ(m.count, 77u);
    EXPECT_GT(m.value[6], 19.0f);  // B, inverted while the gate is closed
    EXPECT_GT(m.value[7], 19.0f);  // MH
}

TEST_F(ProcessorFiveTest, AgcOffLeavesOnlyTheInputLevelAndMetersZero) {
    set("AGC", "AGC Enable", "Off\nOn\n", 0);
    TestBuses b;
    test::PinkNoise pink(6);
    run(b, 100, [&](float& l, float& r) { pink.next(l, r, 0.01 * test::fs); });
    ProcessorMeters m;
    ASSERT_TRUE(proc->take_meters(m));
    EXPECT_EQ(m.value[6], 0.0f);
    EXPECT_EQ(m.value[7], 0.0f);
    set("Processor Enable", "Processor Enablef", "Off\nOn\n", 0);
    run(b, 4, [&](float& l, float& r) { pink.next(l, r, 0.01 * test::fs); });
    ASSERT_TRUE(proc->take_meters(m));
    EXPECT_EQ(m.value[6], -20.0f);
    EXPECT_EQ(m.value[7], -20.0f);
    EXPECT_EQ(b.bus(bus_proc), b.bus(bus_sound_in));
}

// Quiet programme sits below the expander thresholds: the bands are attenuated, by at
// most the depth; with the expander off the same programme comes out louder.
TEST_F(ProcessorFiveTest, ExpanderAttenuatesQuietBandsByAtMostItsDepth) {
    auto level = [&](bool expander) {
        TestStore s;
        uint32_t error = 0;
        auto p = ProcessorFive::create(s.instance, error);
        p->set_unlocked(true);
        const auto& tree = p->controls().tree();
        p->set_value(test::control_index(tree, "AGC", "AGC Enable", "Off\nOn\n"), 0);
        p->set_value(test::control_index(tree, "Band Limiter", "MBL Expaner Enable", "Off\nOn\n"), expander ? 1 : 0);
        TestBuses b;
        test::PinkNoise pink(12);
        double sum = 0;
        for (int k = 0; k < 600; ++k) {
            auto& in = b.bus(bus_sound_in);
            for (size_t i = 0; i < in.size(); i += 2) pink.next(in[i], in[i + 1], 0.003 * test::fs);
            p->process(b.buses, false);
            if (k >= 300)
                for (float v : b.bus(bus_proc)) sum += double(v) * v;
        }
        return 10 * std::log10(sum);
    };
    const double with = level(true), without = level(false);
    EXPECT_LT(with, without - 3.0);
    EXPECT_GT(with, without - 10.5);
}

}  // namespace
}  // namespace torvalen::dsp
