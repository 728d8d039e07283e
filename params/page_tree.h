// The page tree built from a control table: pages in table order, each with its
// groups, each group with its controls and their widget geometry. Presets walk
// it to name stored values (page\group\label), the interface to lay out windows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "params/control_table.h"

namespace torvalen::params {

inline constexpr size_t max_label_chars = 63;
inline constexpr uint32_t width_unit_px = 85;
inline constexpr uint32_t control_height_px = 180;
inline constexpr uint32_t group_height_px = 204;
inline constexpr uint32_t group_border_px = 2;
inline constexpr size_t max_list_items = 9;

enum class Widget { none, slider, list_switch, frequency, delay, level_slider };

Widget widget_of(ControlKind kind);
// Width in units of width_unit_px; 0 for pages, groups and the reserved kind.
uint32_t width_units_of(ControlKind kind);

// The items of a list control: its text split at each "\n" (the last item may
// lack its "\n"), each cut to 63 characters. Nothing when the count is not
// display max + 1 or exceeds 9: such a list gets no widget.
std::optional<std::vector<std::string>> list_items(const ControlRecord& record);

struct ControlNode {
    std::string label;  // cut to 63 characters
    uint32_t index = 0;
    ControlKind kind = ControlKind::reserved;
    float display_min = 0.0f;
    float display_max = 0.0f;
    float step = 0.0f;
    float default_value = 0.0f;
    Widget widget = Widget::none;
    uint32_t width_units = 0;
    uint32_t x_units = 0;  // horizontal position inside the group window
    std::vector<std::string> items;  // list items, when the list is valid
};

struct GroupNode {
    std::string label;
    uint32_t index = 0;
    std::vector<ControlNode> controls;
    uint32_t width_px = group_border_px;  // sum of control widths + 2
    // False when a control cannot get a widget (reserved kind, malformed list):
    // the group window cannot open.
    bool displayable = true;
};

struct PageNode {
    std::string label;
    uint32_t index = 0;
    std::vector<GroupNode> groups;
};

struct PageTree {
    std::vector<PageNode> pages;

    // The control node with table index `index`, or nullptr.
    const ControlNode* find(uint32_t index) const;
    size_t control_count() const;
};

// ---- Control window ----

// What the right-click menu of the page list offers where it was opened.
enum class MenuSpot { outside, page_entry, group_entry };
inline constexpr std::string_view menu_all_defaults = "Set All To Default Values";
inline constexpr std::string_view menu_group_defaults = "Set Group To Default Values";    // every group of the page
inline constexpr std::string_view menu_window_defaults = "Set Window To Default Values";  // the group under the cursor
struct DefaultMenu {
    bool all = true;
    bool group = false;
    bool window = false;
};
DefaultMenu default_menu(MenuSpot spot);

// Open group windows laid out left to right in rows of `area_width_px`,
// wrapping when the next window does not fit. Windows that fit nowhere get no
// position; when not one fits, the interface shows no_room_message ("Warning").
struct WindowPosition {
    uint32_t x_px = 0;
    uint32_t y_px = 0;
};
std::vector<std::optional<WindowPosition>> layout_group_windows(std::span<const uint32_t> widths_px,
                                                                uint32_t area_width_px, uint32_t area_height_px);
inline constexpr std::string_view no_room_message =
    "Unable to display any controls\r\nIThe usual reason is that the application window is too small\r\n"
    "Either masximize icon or  drag the window larger with the icon bottom right";
inline constexpr std::string_view no_room_title = "Warning";

// Builds the tree. Fails (nothing kept, `error` says why) when a group comes
// before any page, a control before any group, a label contains "\" or "/", a
// page is titled "Header", a page or group title is empty (it names a store
// key), or a record has an unknown kind. An empty table gives an empty tree.
std::optional<PageTree> build_page_tree(std::span<const ControlRecord> table, std::string& error);

}  // namespace torvalen::params
