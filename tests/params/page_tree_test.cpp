#include <gtest/gtest.h>

#include <cmath>

#include "params/page_tree.h"
#include "params/widgets.h"
#include "test_module.h"

namespace torvalen::params {
namespace {

using K = ControlKind;

TEST(PageTree, FollowsTheTableWithIndicesCountingPagesAndGroups) {
    std::string error;
    const auto tree = build_page_tree(testing::test_table, error);
    ASSERT_TRUE(tree) << error;
    ASSERT_EQ(tree->pages.size(), 2u);
    EXPECT_EQ(tree->pages[0].label, "Input");
    ASSERT_EQ(tree->pages[0].groups.size(), 2u);
    const GroupNode& levels = tree->pages[0].groups[0];
    ASSERT_EQ(levels.controls.size(), 3u);
    EXPECT_EQ(levels.controls[0].index, testing::gain_index);
    EXPECT_EQ(levels.controls[2].label, "Off\nOn\n");
    EXPECT_EQ(levels.controls[2].items, (std::vector<std::string>{"Off", "On"}));
    EXPECT_EQ(levels.width_px, 3 * 85u + 2);
    const GroupNode& stereo = tree->pages[1].groups[0];
    // Phase (1 unit), delay (4 units), half step (1 unit).
    EXPECT_EQ(stereo.width_px, 6 * 85u + 2);
    EXPECT_EQ(stereo.controls[1].widget, Widget::delay);
    EXPECT_EQ(stereo.controls[2].x_units, 5u);
    EXPECT_EQ(tree->pages[1].groups[1].controls[1].widget, Widget::frequency);
    EXPECT_EQ(tree->control_count(), 11u);
    ASSERT_NE(tree->find(testing::width_index), nullptr);
    EXPECT_EQ(tree->find(testing::width_index)->label, "Width");
    EXPECT_EQ(tree->find(1), nullptr) << "groups are not controls";
}

TEST(PageTree, MalformedTablesFailToBuild) {
    const ControlRecord control_first[] = {{"P", K::page}, {"Gain", K::scaled, 0, 0, 0, 1, 1, 0, 0, 1}};
    const ControlRecord group_first[] = {{"G", K::group}, {"P", K::page}};
    const ControlRecord backslash[] = {{"P", K::page}, {"G", K::group}, {"In\\Out", K::scaled, 0, 0, 0, 1, 1, 0, 0, 1}};
    const ControlRecord slash[] = {{"P", K::page}, {"A/B", K::group}};
    const ControlRecord header_page[] = {{"Header", K::page}};
    const ControlRecord unknown_kind[] = {{"P", K::page}, {"G", K::group}, {"X", static_cast<K>(16)}};
    const ControlRecord untitled_group[] = {{"P", K::page}, {"", K::group}};
    for (auto table : {std::span<const ControlRecord>(control_first), std::span<const ControlRecord>(group_first),
                       std::span<const ControlRecord>(backslash), std::span<const ControlRecord>(slash),
                       std::span<const ControlRecord>(header_page), std::span<const ControlRecord>(unknown_kind),
                       std::span<const ControlRecord>(untitled_group)}) {
        std::string error;
        EXPECT_FALSE(build_page_tree(table, error)) << table.front().text;
        EXPECT_FALSE(error.empty());
    }
    std::string error;
    const auto empty = build_page_tree({}, error);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->pages.empty());
}

TEST(PageTree, LongLabelsAreCutAndBadGroupsCannotOpen) {
    const std::string long_label(80, 'x');
    const ControlRecord table[] = {
        {"P", K::page},
        {"G", K::group},
        {long_label, K::scaled, 0, 0, 0, 1, 1, 0, 0, 1},
        {"Spare", K::reserved},
        {"Fine", K::group},
        {"A\nB\nC\n", K::list, 0, 0, 0, 1, 1, 0, 0, 1},  // three items, display max says two
    };
    std::string error;
    const auto tree = build_page_tree(table, error);
    ASSERT_TRUE(tree) << error;
    EXPECT_EQ(tree->pages[0].groups[0].controls[0].label, std::string(63, 'x'));
    EXPECT_FALSE(tree->pages[0].groups[0].displayable) << "a reserved control has no widget";
    EXPECT_FALSE(tree->pages[0].groups[1].displayable);
    EXPECT_EQ(tree->pages[0].groups[1].controls[0].widget, Widget::none);
}

TEST(ListItems, CountMustMatchDisplayMaxAndStayWithinNine) {
    ControlRecord list{"Off\nOn\n", K::list, 0, 0, 0, 1};
    EXPECT_EQ(list_items(list), (std::vector<std::string>{"Off", "On"}));
    list.text = "Off\nOn";  // the last item without its line break still counts
    EXPECT_TRUE(list_items(list));
    list.display_max = 2;
    EXPECT_FALSE(list_items(list));
    list.text = "1\n2\n3\n4\n5\n6\n7\n8\n9\n";
    list.display_max = 8;
    EXPECT_EQ(list_items(list)->size(), 9u);
    list.text = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n";
    list.display_max = 9;
    EXPECT_FALSE(list_items(list)) << "ten items";
}

TEST(SliderLogic, SnapsFormatsAndSpacesMarks) {
    EXPECT_EQ(snap_to_step(2.25f, 0.5f, -10, 10), 2.5f) << "half away from zero";
    EXPECT_EQ(snap_to_step(-2.25f, 0.5f, -10, 10), -2.5f);
    EXPECT_EQ(snap_to_step(12.0f, 1.0f, -10, 10), 10.0f);
    EXPECT_EQ(step_decimals(0.5f), 1u);
    EXPECT_EQ(step_decimals(0.1f), 1u);
    EXPECT_EQ(step_decimals(0.01f), 2u);
    EXPECT_EQ(step_decimals(1.0f), 0u);
    EXPECT_EQ(step_decimals(10.0f), 0u);
    EXPECT_EQ(slider_text(-3.5f, 0.5f), "-3.5");
    EXPECT_EQ(slider_text(0.07f, 0.01f), "0.07");
    EXPECT_EQ(slider_text(12.0f, 1.0f), "12");
    EXPECT_EQ(mark_spacing_steps(0, 20, 1), 1u);
    EXPECT_EQ(mark_spacing_steps(-40, 0, 0.5f), 5u);  // 80 steps
    EXPECT_EQ(mark_spacing_steps(0, 10000, 1), 20u);
}

TEST(FrequencyControlLogic, ShowingAValueSelectsItsRange) {
    FrequencyControl control;
    control.show(30000.0f);
    EXPECT_EQ(control.range(), 5u);
    EXPECT_EQ(control.value(), 24000.0f);
    EXPECT_EQ(frequency_ranges[control.range()].label, "20k-100k");
    control.show(5.0f);
    EXPECT_EQ(control.range(), 0u);
    EXPECT_EQ(control.value(), 10.0f);
    control.show(199.0f);
    EXPECT_EQ(control.range(), 1u);
    control.show(200.0f);
    EXPECT_EQ(control.range(), 2u);
    control.show(19999.0f);
    EXPECT_EQ(control.range(), 4u);

    // Switching ranges applies what each range last held.
    EXPECT_EQ(control.select_range(3), 2000.0f);
    EXPECT_EQ(control.move_slider(3333.0f), 3300.0f);
    EXPECT_EQ(control.select_range(4), 19999.0f);
    EXPECT_EQ(control.select_range(3), 3300.0f);
    EXPECT_EQ(control.move_slider(9000.0f), 5000.0f) << "clamped to the range";
}

TEST(DelayControlLogic, FourSlidersSumToMilliseconds) {
    EXPECT_EQ(compose_delay_ms({2.0f, 0.3f, 40.0f, 5.0f}), 2345.0f);
    const DelayParts parts = decompose_delay_ms(2345.0f);
    EXPECT_EQ(parts.seconds, 2.0f);
    EXPECT_NEAR(parts.tenths_s, 0.3f, 1e-6);
    EXPECT_EQ(parts.tens_ms, 40.0f);
    EXPECT_EQ(parts.ms, 5.0f);
    for (float ms : {0.0f, 1.0f, 999.0f, 1000.0f, 9999.0f, 10000.0f}) {
        EXPECT_EQ(compose_delay_ms(decompose_delay_ms(ms)), ms) << ms;
    }
    EXPECT_EQ(delay_caption(2345.0f), "MPX Delay 2.345 s");
    EXPECT_EQ(delay_caption(5.0f), "MPX Delay 0.005 s");
}

}  // namespace
}  // namespace torvalen::params

namespace torvalen::params {
namespace {

TEST(ControlWindow, DefaultMenuAndGroupWindowRows) {
    EXPECT_TRUE(default_menu(MenuSpot::outside).all);
    EXPECT_FALSE(default_menu(MenuSpot::outside).group || default_menu(MenuSpot::outside).window);
    EXPECT_TRUE(default_menu(MenuSpot::page_entry).group);
    EXPECT_FALSE(default_menu(MenuSpot::page_entry).window);
    EXPECT_TRUE(default_menu(MenuSpot::group_entry).window);
    EXPECT_FALSE(default_menu(MenuSpot::group_entry).group);

    const uint32_t widths[] = {87, 257, 172, 87};
    const auto rows = layout_group_windows(widths, 400, 500);
    ASSERT_TRUE(rows[0] && rows[1] && rows[2] && rows[3]);
    EXPECT_EQ(rows[1]->x_px, 87u);
    EXPECT_EQ(rows[2]->x_px, 0u) << "wraps when the next window does not fit";
    EXPECT_EQ(rows[2]->y_px, group_height_px);
    EXPECT_EQ(rows[3]->x_px, 172u);
    const auto one_row = layout_group_windows(widths, 400, 300);
    EXPECT_TRUE(one_row[1]);
    EXPECT_FALSE(one_row[2]) << "no room for a second row";
    const auto none = layout_group_windows(widths, 80, 500);
    EXPECT_TRUE(std::none_of(none.begin(), none.end(), [](const auto& p) { return p.has_value(); }));
}

}  // namespace
}  // namespace torvalen::params
