#include "params/page_tree.h"

#include "engine/text.h"

namespace torvalen::params {

namespace {

std::string cut_label(std::string_view text) { return std::string(text.substr(0, max_label_chars)); }

std::string describe(std::string_view what, size_t index) {
    return text::build("s u", {what, static_cast<uint32_t>(index)}).value_or(std::string(what));
}

}  // namespace

Widget widget_of(ControlKind kind) {
    switch (kind) {
        case ControlKind::gain_db:
        case ControlKind::integer:
        case ControlKind::band_q:
        case ControlKind::band_gain_db:
        case ControlKind::phase:
        case ControlKind::half_step:
        case ControlKind::scaled: return Widget::slider;
        case ControlKind::list: return Widget::list_switch;
        case ControlKind::frequency:
        case ControlKind::band_frequency: return Widget::frequency;
        case ControlKind::delay: return Widget::delay;
        case ControlKind::level_db: return Widget::level_slider;
        default: return Widget::none;
    }
}

uint32_t width_units_of(ControlKind kind) {
    switch (widget_of(kind)) {
        case Widget::slider:
        case Widget::list_switch: return 1;
        case Widget::frequency:
        case Widget::level_slider: return 2;
        case Widget::delay: return 4;
        case Widget::none: return 0;
    }
    return 0;
}

std::optional<std::vector<std::string>> list_items(const ControlRecord& record) {
    std::vector<std::string> items;
    std::string_view rest = record.text;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        if (items.size() == max_list_items) return std::nullopt;
        items.push_back(cut_label(rest.substr(0, end)));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    if (static_cast<float>(items.size()) != record.display_max + 1.0f) return std::nullopt;
    return items;
}

DefaultMenu default_menu(MenuSpot spot) {
    return DefaultMenu{true, spot == MenuSpot::page_entry, spot == MenuSpot::group_entry};
}

std::vector<std::optional<WindowPosition>> layout_group_windows(std::span<const uint32_t> widths_px,
                                                                uint32_t area_width_px, uint32_t area_height_px) {
    std::vector<std::optional<WindowPosition>> positions(widths_px.size());
    uint32_t x = 0, y = 0;
    for (size_t i = 0; i < widths_px.size(); ++i) {
        const uint32_t width = widths_px[i];
        if (width > area_width_px) continue;
        if (x + width > area_width_px) {
            x = 0;
            y += group_height_px;
        }
        if (y + group_height_px > area_height_px) break;
        positions[i] = WindowPosition{x, y};
        x += width;
    }
    return positions;
}

const ControlNode* PageTree::find(uint32_t index) const {
    for (const PageNode& page : pages)
        for (const GroupNode& group : page.groups)
            for (const ControlNode& control : group.controls)
                if (control.index == index) return &control;
    return nullptr;
}

size_t PageTree::control_count() const {
    size_t count = 0;
    for (const PageNode& page : pages)
        for (const GroupNode& group : page.groups) count += group.controls.size();
    return count;
}

std::optional<PageTree> build_page_tree(std::span<const ControlRecord> table, std::string& error) {
    PageTree tree;
    for (size_t i = 0; i < table.size(); ++i) {
        const ControlRecord& record = table[i];
        const auto index = static_cast<uint32_t>(i);
        if (!known_kind(record.kind)) {
            error = describe("Unknown control kind in record ", i);
            return std::nullopt;
        }
        // Labels become store key and value names, where "\" and "/" separate levels.
        if (record.text.find_first_of("\\/") != std::string_view::npos) {
            error = describe("A label holds \\ or / in record ", i);
            return std::nullopt;
        }
        if (record.kind == ControlKind::page) {
            if (record.text == "Header") {
                error = describe("A page is titled Header in record ", i);
                return std::nullopt;
            }
            if (record.text.empty()) {
                error = describe("A page has no title in record ", i);
                return std::nullopt;
            }
            tree.pages.push_back(PageNode{cut_label(record.text), index, {}});
            continue;
        }
        if (tree.pages.empty()) {
            error = describe("A record comes before any page: record ", i);
            return std::nullopt;
        }
        PageNode& page = tree.pages.back();
        if (record.kind == ControlKind::group) {
            if (record.text.empty()) {
                error = describe("A group has no title in record ", i);
                return std::nullopt;
            }
            page.groups.push_back(GroupNode{cut_label(record.text), index, {}, group_border_px, true});
            continue;
        }
        if (page.groups.empty()) {
            error = describe("A control comes before any group: record ", i);
            return std::nullopt;
        }
        GroupNode& group = page.groups.back();
        ControlNode control;
        control.label = cut_label(record.text);
        control.index = index;
        control.kind = record.kind;
        control.display_min = record.display_min;
        control.display_max = record.display_max;
        control.step = record.step;
        control.default_value = record.default_value;
        control.widget = widget_of(record.kind);
        control.width_units = width_units_of(record.kind);
        control.x_units = 0;
        for (const ControlNode& before : group.controls) control.x_units += before.width_units;
        if (record.kind == ControlKind::list) {
            if (auto items = list_items(record)) control.items = std::move(*items);
            else control.widget = Widget::none;
        }
        if (control.widget == Widget::none) group.displayable = false;
        group.width_px += control.width_units * width_unit_px;
        group.controls.push_back(std::move(control));
    }
    return tree;
}

}  // namespace torvalen::params
