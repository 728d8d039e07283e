// The meter panel model: layouts, hand-off, positions, ballistics, group settings.
#include "measure/meter_panel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/settings_store.h"
#include "tests/support/temp_dir.h"

namespace torvalen::measure {
namespace {

TEST(MeterLayout, ProcessorLayoutsCarryTheirValueCounts) {
    EXPECT_EQ(processor_one_meter_layout().size(), 34u);
    EXPECT_EQ(processor_five_meter_layout().size(), 35u);
    EXPECT_EQ(layout_value_count(processor_one_meter_layout()), 76u);
    EXPECT_EQ(layout_value_count(processor_five_meter_layout()), 77u);
    MeterPanel one(processor_one_meter_layout()), five(processor_five_meter_layout());
    ASSERT_TRUE(one.valid());
    ASSERT_TRUE(five.valid());
    EXPECT_EQ(one.groups().size(), 9u);  // eight meter groups and the equaliser graphs
    const auto items = five.items();
    EXPECT_EQ(items[1].name, "B");
    EXPECT_EQ(items[2].name, "MH");
    EXPECT_EQ(items[2].first_value, 7u);
    EXPECT_EQ(items.back().first_value, 73u);  // the last equaliser graph
    // A layout whose group claims more items than follow is refused.
    const MeterRecord broken[] = {{"Meters", MeterKind::root, 1, 0}, {"Input", MeterKind::meter_group, 2, 40},
                                  {"Lvl", MeterKind::level, 6, 40}};
    EXPECT_FALSE(MeterPanel(broken).valid());
}

TEST(MeterPanel, HandOffOnlyWhenTheCountsMatch) {
    MeterPanel one(processor_one_meter_layout());
    std::vector<float> v76(76, -3.0f), v77(77, -3.0f);
    EXPECT_FALSE(one.hand_off(v77));
    EXPECT_EQ(one.values()[0], 0.0f);
    EXPECT_TRUE(one.hand_off(v76));
    EXPECT_EQ(one.values()[0], -3.0f);
}

TEST(MeterPanel, Positions) {
    EXPECT_EQ(level_position(-50.0f, 40.0f), 1.0f);  // below the range: at the bottom
    EXPECT_EQ(level_position(0.0f, 40.0f), 0.0f);
    EXPECT_FLOAT_EQ(level_position(-10.0f, 40.0f), 0.25f);
    EXPECT_FLOAT_EQ(width_position(5.0f, 20.0f), 0.25f);
    for (float range : {20.0f, 40.0f, 80.0f}) {
        EXPECT_FLOAT_EQ(agc_position(-20.0f, range), 0.5f);  // total AGC gain 0 dB
        EXPECT_FLOAT_EQ(agc_position(20.0f, range), 0.5f);   // same, gate closed
    }
}

TEST(MeterPanel, GainReductionMarkerHoldsThenDecays) {
    MeterPanel one(processor_one_meter_layout());
    ASSERT_TRUE(one.set_hold(5, 2));  // "Limiter" group
    ASSERT_TRUE(one.set_decay(5, 0.1f));
    std::vector<float> v(76, 0.0f);
    // Limiter values 47-52: -6 dB on hL (range 20 -> 0.3), the rest 0 dB.
    v[47] = -6.0f;
    one.hand_off(v);
    one.tick();
    auto find = [&] {
        for (const auto& it : one.items())
            if (it.first_value == 47) return it;
        return ItemState{};
    };
    ItemState gr = find();
    EXPECT_FLOAT_EQ(gr.marker, 0.3f);
    EXPECT_FLOAT_EQ(gr.bar[0][2], 0.3f);
    EXPECT_FLOAT_EQ(gr.bar[0][0], 0.0f);  // innermost layer empty (always 0 dB)
    v[47] = 0.0f;
    one.hand_off(v);
    one.tick();
    one.tick();
    EXPECT_FLOAT_EQ(find().marker, 0.3f);  // held for two ticks
    one.tick();
    EXPECT_NEAR(find().marker, 0.2f, 1e-6);
    for (int i = 0; i < 5; ++i) one.tick();
    EXPECT_EQ(find().marker, 0.0f);
}

TEST(MeterPanel, LevelMarkersFollowPeaksAndStopAtTheRms) {
    MeterPanel one(processor_one_meter_layout());
    std::vector<float> v(76, -100.0f);
    // Input: peak -6, envelope -8, RMS -20 on both channels (range 40).
    for (int ch = 0; ch < 2; ++ch) {
        v[ch] = -6.0f;
        v[2 + ch] = -8.0f;
        v[4 + ch] = -20.0f;
    }
    one.hand_off(v);
    one.tick();
    ItemState in = one.items()[0];
    EXPECT_FLOAT_EQ(in.envelope_marker[0], 0.2f);
    EXPECT_FLOAT_EQ(in.peak_marker[0], 0.15f);
    // Silence: after the hold (8 ticks) the markers fall by 0.02 a tick, to the RMS bar.
    for (int ch = 0; ch < 2; ++ch) v[ch] = v[2 + ch] = v[4 + ch] = -200.0f;
    one.hand_off(v);
    for (int i = 0; i < 8; ++i) one.tick();
    EXPECT_FLOAT_EQ(one.items()[0].envelope_marker[0], 0.2f);
    one.tick();
    EXPECT_NEAR(one.items()[0].envelope_marker[0], 0.22f, 1e-6);
    for (int i = 0; i < 100; ++i) one.tick();
    EXPECT_EQ(one.items()[0].envelope_marker[0], 1.0f);
    EXPECT_EQ(one.items()[0].peak_marker[1], 1.0f);
}

TEST(MeterPanel, AgcGateTravelsInTheSignAndGraphsNoticeChanges) {
    MeterPanel five(processor_five_meter_layout());
    std::vector<float> v(77, 0.0f);
    v[6] = 20.0f;
    v[7] = -26.0f;
    v[73] = 1000.0f;
    five.hand_off(v);
    five.tick();
    auto items = five.items();
    EXPECT_TRUE(items[1].gate_closed);
    EXPECT_FALSE(items[2].gate_closed);
    EXPECT_FLOAT_EQ(items[2].bar[0][0], 0.5f + 6.0f / 40.0f);
    EXPECT_TRUE(items.back().graph_changed);
    five.tick();
    EXPECT_FALSE(five.items().back().graph_changed);
}

TEST(MeterPanel, GroupSettingsLoadAndSaveUnderTheModuleKey) {
    torvalen::testing::TempDir dir("torvalen-meters");
    std::string error;
    auto store = SettingsStore::open(dir / "settings.db", error);
    ASSERT_TRUE(store) << error;
    const SettingsKey key = *store->root().create("Torvalen One-v1.0.0");
    {
        const auto g = key.create("MeterGroupVarialbes");
        const auto zero = g->create("0");
        zero->write_dword("Decay", 30);  // not an accepted value
        zero->write_dword("Hold", 16);
        const float range = 80.0f;
        zero->write_binary("Range", std::as_bytes(std::span(&range, 1)));
        g->create("1")->write_dword("Decay", 80);
        key.create("MeterClassVarialbes")->create("ClassVariables")->write_dword("Current", 3);
    }
    MeterPanel one(processor_one_meter_layout());
    one.load(key);
    auto groups = one.groups();
    EXPECT_EQ(groups[0].settings.decay, 0.02f);
    EXPECT_EQ(groups[0].settings.hold_ticks, 16u);
    EXPECT_EQ(groups[0].settings.range_dB, 80.0f);
    EXPECT_EQ(groups[1].settings.decay, 0.08f);
    EXPECT_EQ(groups[2].settings.range_dB, 20.0f);  // missing: the layout's range
    EXPECT_EQ(groups[2].settings.hold_ticks, 8u);
    EXPECT_EQ(one.current_class(), 3u);

    ASSERT_TRUE(one.set_range(3, 10.0f));
    ASSERT_TRUE(one.save(key));
    MeterPanel again(processor_one_meter_layout());
    again.load(key);
    EXPECT_EQ(again.groups()[3].settings.range_dB, 10.0f);
    EXPECT_EQ(again.groups()[1].settings.decay, 0.08f);
    uint32_t decay = 0;
    ASSERT_TRUE(key.open("MeterGroupVarialbes")->open("0")->read_dword("Decay", decay));
    EXPECT_EQ(decay, 20u);
}

}  // namespace
}  // namespace torvalen::measure
