#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "params/control_set.h"
#include "params/control_table.h"
#include "test_module.h"

namespace torvalen::params {
namespace {

using testing::TestControls;
using testing::TestModule;

float gain_of_db(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

TEST(ControlRules, StoredValuesFollowTheKindRules) {
    TestModule m;
    // Gain (dB): display -40..0 over stored -35..5 stores 10^((d + 5) / 20).
    EXPECT_TRUE(m.set_parameter(testing::gain_index, -10.0f));
    EXPECT_NEAR(m.params.gain, gain_of_db(-5.0), 1e-6);
    EXPECT_NEAR(m.value(testing::gain_index), -10.0f, 1e-4);

    // A reversed stored range at the display minimum stores exactly 0 dB.
    m.params.attack = 0.25f;
    EXPECT_TRUE(m.set_parameter(testing::attack_index, 0.0f));
    EXPECT_EQ(m.params.attack, 1.0f);
    EXPECT_TRUE(m.set_parameter(testing::attack_index, 20.0f));
    EXPECT_NEAR(m.params.attack, 0.1f, 1e-7);
    EXPECT_NEAR(m.value(testing::attack_index), 20.0f, 1e-4);

    // Half-step integer: display 12.5 over 5..15 -> stored 25 over 10..30.
    EXPECT_TRUE(m.set_parameter(testing::width_index, 12.5f));
    EXPECT_EQ(m.params.width, 25u);
    EXPECT_EQ(m.value(testing::width_index), 12.5f);

    // Delay: 0.5 ms -> trunc(0.5 * 192 + 0.5) = 96 samples; the top is 1920000.
    EXPECT_TRUE(m.set_parameter(testing::delay_index, 0.5f));
    EXPECT_EQ(m.params.delay, 96u);
    EXPECT_NEAR(m.value(testing::delay_index), 0.5f, 1e-6);
    EXPECT_TRUE(m.set_parameter(testing::delay_index, 10000.0f));
    EXPECT_EQ(m.params.delay, 1920000u);

    // Scaled float: "Pilot Amp (%)" stores d / 100.
    EXPECT_TRUE(m.set_parameter(testing::pilot_index, 9.0f));
    EXPECT_NEAR(m.params.pilot, 0.09f, 1e-7);
    EXPECT_NEAR(m.value(testing::pilot_index), 9.0f, 1e-5);

    // Frequency: stored as is.
    EXPECT_TRUE(m.set_parameter(testing::lowpass_index, 15000.0f));
    EXPECT_EQ(m.params.lowpass, 15000.0f);
    EXPECT_EQ(m.value(testing::lowpass_index), 15000.0f);
}

TEST(ControlRules, DisplayValuesAreClampedToTheRange) {
    TestModule m;
    EXPECT_TRUE(m.set_parameter(testing::delay_index, 1e9f));
    EXPECT_EQ(m.params.delay, 1920000u);
    EXPECT_TRUE(m.set_parameter(testing::gain_index, 100.0f));
    EXPECT_NEAR(m.params.gain, gain_of_db(5.0), 1e-6);
    // A stored value outside the stored range reads back at the range's end.
    m.params.pilot = 7.0f;
    EXPECT_NEAR(m.value(testing::pilot_index), 15.0f, 1e-5);
    // A gain of 0 (minus infinity dB) reads as the lowest display value.
    m.params.gain = 0.0f;
    EXPECT_EQ(m.value(testing::gain_index), -40.0f);
}

TEST(ControlRules, ListAndPhaseReportChanges) {
    TestModule m;
    m.params.power = 1;
    EXPECT_FALSE(m.set_parameter(testing::power_index, 1.0f)) << "same item: no change";
    EXPECT_TRUE(m.set_parameter(testing::power_index, 0.0f));
    EXPECT_EQ(m.params.power, 0u);
    EXPECT_EQ(m.value(testing::power_index), 0.0f);

    EXPECT_TRUE(m.set_parameter(testing::phase_index, 90.0f));
    EXPECT_NEAR(m.params.phase[0], 0.0f, 1e-6);
    EXPECT_NEAR(m.params.phase[1], 1.0f, 1e-6);
    EXPECT_TRUE(m.set_parameter(testing::phase_index, 90.0f)) << "a phase always reports a change";
    EXPECT_NEAR(m.value(testing::phase_index), 90.0f, 1e-3);
    EXPECT_TRUE(m.set_parameter(testing::phase_index, -135.0f));
    EXPECT_NEAR(m.value(testing::phase_index), -135.0f, 1e-3);
}

TEST(ControlRules, FilterBandFieldsRecomputeTheCoefficients) {
    TestModule m;
    EXPECT_TRUE(m.set_parameter(testing::band_q_index, 2.0f));
    EXPECT_TRUE(m.set_parameter(testing::band_freq_index, 3000.0f));
    const FilterBand& band = m.params.band;
    EXPECT_EQ(band.frequency_Hz, 3000.0f);
    EXPECT_EQ(band.q, 2.0f);
    const double w = 2.0 * M_PI * 3000.0 / 192000.0;
    const double t = std::tan(w / (2.0 * 2.0));
    const double k2 = 0.5 * (1.0 - t) / (1.0 + t);
    EXPECT_NEAR(band.k2, k2, 1e-5);
    EXPECT_NEAR(band.k1, (0.5 - k2) * 0.5, 1e-5);
    EXPECT_NEAR(band.k3, std::cos(w) * (k2 + 0.5), 1e-5);
    EXPECT_EQ(m.value(testing::band_freq_index), 3000.0f);
    EXPECT_EQ(m.value(testing::band_q_index), 2.0f);

    const float k2_before = band.k2;
    EXPECT_TRUE(m.set_parameter(testing::band_q_index, 4.0f));
    EXPECT_NE(band.k2, k2_before) << "a new Q recomputes the band";
    EXPECT_FALSE(m.set_parameter(testing::band_q_index, 4.0f));

    EXPECT_TRUE(m.set_parameter(testing::band_gain_index, 6.0f));
    EXPECT_NEAR(band.gain_minus_one, gain_of_db(6.0) - 1.0f, 1e-6);
    EXPECT_NEAR(m.value(testing::band_gain_index), 6.0f, 1e-4);
}

TEST(ControlRules, ABandWithoutUsableQKeepsFiniteCoefficients) {
    FilterBand band{1000.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    recompute_band(band);
    const FilterBand good = band;
    band.q = 0.0f;
    recompute_band(band);
    EXPECT_TRUE(std::isfinite(band.k1) && std::isfinite(band.k2) && std::isfinite(band.k3));
    EXPECT_EQ(band.k2, good.k2);
}

TEST(ControlRules, InvalidCallsChangeNothing) {
    TestModule m;
    const testing::TestParams before = m.params;
    float out = 5.0f;
    EXPECT_FALSE(m.set_parameter(0, 1.0f)) << "page";
    EXPECT_FALSE(m.set_parameter(1, 1.0f)) << "group";
    EXPECT_FALSE(m.set_parameter(std::size(testing::test_table), 1.0f)) << "past the table";
    EXPECT_FALSE(m.get_parameter(1, out));
    EXPECT_EQ(out, 0.0f);
    out = 5.0f;
    EXPECT_FALSE(m.get_parameter(999, out));
    EXPECT_EQ(out, 0.0f);
    EXPECT_FALSE(m.set_parameter(testing::gain_index, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(m.set_parameter(testing::delay_index, std::numeric_limits<float>::infinity()));
    EXPECT_EQ(std::memcmp(&before, &m.params, sizeof before), 0);

    // A reserved record reports no value; a value past the block end is refused.
    struct Small { float a; } block{};
    const ControlRecord records[] = {
        {"Spare", ControlKind::reserved, 0, 0, 0, 1, 1, 0, 0, 1},
        {"Far", ControlKind::scaled, 0, sizeof(Small), 0, 1, 1, 0, 0, 1},
        {"Band", ControlKind::band_q, 0, 0, 0, 1, 1, 0, 0, 1},
    };
    auto bytes = std::as_writable_bytes(std::span(&block, 1));
    for (uint32_t i = 0; i < std::size(records); ++i) {
        EXPECT_FALSE(set_by_rule(records, TableStyle::offset, bytes, i, 0.5f)) << i;
        EXPECT_FALSE(get_by_rule(records, TableStyle::offset, bytes, i, out)) << i;
    }
}

TEST(ControlRules, UnsignedKindsSaturateInsteadOfWrapping) {
    uint32_t value = 7;
    const ControlRecord record{"Count", ControlKind::integer, 0, 0, -10, 10, 1, 0, -10, 10};
    EXPECT_TRUE(apply_set(record, reinterpret_cast<std::byte*>(&value), -10.0f));
    EXPECT_EQ(value, 0u);
}

struct ProcParams {
    float drive = 0.0f;
    uint32_t mode = 0;
    FilterBand band;
};
constexpr ControlRecord template_table[] = {
    {"Main", ControlKind::page},
    {"Drive", ControlKind::group},
    {"Drive (dB)", ControlKind::gain_db, 0, template_location(offsetof(ProcParams, drive)), 0, 20, 1, 6, 0, 20},
    {"Mode\nFast\nSlow\n", ControlKind::list, 0, template_location(offsetof(ProcParams, mode)), 0, 2, 1, 2, 0, 2},
    {"Freq", ControlKind::band_frequency, 0, template_location(offsetof(ProcParams, band)), 20, 20000, 1, 500, 20, 20000},
    {"Q", ControlKind::band_q, 0, template_location(offsetof(ProcParams, band) + band_q_offset), 0.5f, 5, 0.1f, 1.5f, 0.5f, 5},
};

TEST(TemplateTables, EachObjectGetsItsOwnRelocatedCopyWithDefaults) {
    ProcParams a, b;
    std::vector<ControlRecord> table_a, table_b;
    auto block_a = std::as_writable_bytes(std::span(&a, 1));
    auto block_b = std::as_writable_bytes(std::span(&b, 1));
    ASSERT_TRUE(copy_template_table(table_a, template_table, block_a));
    ASSERT_TRUE(copy_template_table(table_b, template_table, block_b));
    EXPECT_NEAR(a.drive, gain_of_db(6.0), 1e-6);
    EXPECT_EQ(a.mode, 2u);
    EXPECT_EQ(a.band.frequency_Hz, 500.0f);
    EXPECT_EQ(a.band.q, 1.5f);
    EXPECT_NE(a.band.k3, 0.0f) << "defaults go through the set rule, which recomputes the band";
    EXPECT_EQ(table_a[0].location, 0u) << "pages keep no location";

    EXPECT_TRUE(set_by_rule(table_a, TableStyle::relocated, block_a, 3, 0.0f));
    EXPECT_EQ(a.mode, 0u);
    EXPECT_EQ(b.mode, 2u) << "the other object is untouched";
    float out = 0.0f;
    EXPECT_TRUE(get_by_rule(table_b, TableStyle::relocated, block_b, 3, out));
    EXPECT_EQ(out, 2.0f);
    // One object's table never reaches another object's block.
    EXPECT_FALSE(set_by_rule(table_a, TableStyle::relocated, block_b, 3, 1.0f));
    EXPECT_FALSE(set_by_rule(table_a, TableStyle::relocated, block_a, 0, 1.0f));
}

TEST(TemplateTables, ALocationOutsideTheBlockFailsTheCopy) {
    struct Tiny { float x; } tiny{};
    std::vector<ControlRecord> table;
    EXPECT_FALSE(copy_template_table(table, template_table, std::as_writable_bytes(std::span(&tiny, 1))));
    EXPECT_TRUE(table.empty());
}

struct CountingListener : ChangeListener {
    int calls = 0;
    void parameters_changed() override { ++calls; }
};

TEST(ControlSetWrapper, MarksThePresetModifiedOnlyOnAChange) {
    TestControls t;
    ControlSet& set = *t.controls;
    CountingListener listener;
    set.set_change_listener(&listener);
    EXPECT_FALSE(set.modified()) << "creation applies defaults without marking";
    EXPECT_EQ(t.module.params.power, 1u) << "defaults applied at creation";

    EXPECT_FALSE(set.set(testing::power_index, 1.0f));
    EXPECT_FALSE(set.modified());
    EXPECT_EQ(listener.calls, 0);
    EXPECT_TRUE(set.set(testing::power_index, 0.0f));
    EXPECT_TRUE(set.modified());
    EXPECT_EQ(listener.calls, 1);

    set.set_modified(false);
    EXPECT_TRUE(set.set(testing::phase_index, 0.0f));
    EXPECT_TRUE(set.modified()) << "a phase set always counts as a change";
    set.set_change_listener(nullptr);
}

TEST(ControlSetWrapper, DefaultCommandsResetTheirScopeOnly) {
    TestControls t;
    ControlSet& set = *t.controls;
    TestModule& m = t.module;
    set.set(testing::gain_index, -30.0f);  // page 0, group 0
    set.set(testing::band_q_index, 5.0f);  // page 0, group 1
    set.set(testing::delay_index, 100.0f); // page 1, group 0
    set.set(testing::pilot_index, 1.0f);   // page 1, group 1

    set.set_enabled(false);
    EXPECT_FALSE(set.set_all_to_defaults().ok) << "locked instance";
    EXPECT_FALSE(set.set_group_to_defaults(0, 0).ok);
    EXPECT_NEAR(m.value(testing::gain_index), -30.0f, 1e-4);
    set.set_enabled(true);

    ASSERT_TRUE(set.set_group_to_defaults(1, 0).ok);
    EXPECT_EQ(m.value(testing::delay_index), 0.0f);
    EXPECT_NEAR(m.value(testing::pilot_index), 1.0f, 1e-5) << "other group of the page untouched";

    ASSERT_TRUE(set.set_page_to_defaults(0).ok);
    EXPECT_NEAR(m.value(testing::gain_index), -10.0f, 1e-4);
    EXPECT_NEAR(m.value(testing::band_q_index), 1.0f, 1e-6);
    EXPECT_NEAR(m.value(testing::pilot_index), 1.0f, 1e-5) << "other page untouched";

    ASSERT_TRUE(set.set_all_to_defaults().ok);
    EXPECT_NEAR(m.value(testing::pilot_index), 9.0f, 1e-5);
    EXPECT_FALSE(set.set_page_to_defaults(7).ok);

    const auto values = set.read_group(1, 0);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_NEAR(*values[0], 0.0f, 1e-3);  // phase default
}

}  // namespace
}  // namespace torvalen::params
