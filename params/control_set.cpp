#include "params/control_set.h"

namespace torvalen::params {

std::unique_ptr<ControlSet> ControlSet::create(std::span<const ControlRecord> table, ParameterCallbacks& module,
                                               std::string module_name, bool apply_defaults, std::string& error) {
    auto tree = build_page_tree(table, error);
    if (!tree) return nullptr;
    std::unique_ptr<ControlSet> set(new ControlSet(table, module, std::move(module_name), std::move(*tree)));
    if (apply_defaults) {
        for (const PageNode& page : set->tree_.pages)
            for (const GroupNode& group : page.groups)
                for (const ControlNode& control : group.controls) module.set_parameter(control.index, control.default_value);
    }
    return set;
}

ControlSet::ControlSet(std::span<const ControlRecord> table, ParameterCallbacks& module, std::string module_name,
                       PageTree tree)
    : table_(table), module_(module), module_name_(std::move(module_name)), tree_(std::move(tree)) {}

bool ControlSet::set(uint32_t index, float display) {
    // A locked instance changes nothing, whoever asks.
    if (!enabled()) return false;
    if (!module_.set_parameter(index, display)) return false;
    modified_.store(true, std::memory_order_release);
    if (ChangeListener* listener = listener_.load(std::memory_order_acquire)) listener->parameters_changed();
    return true;
}

bool ControlSet::get(uint32_t index, float& display) const { return module_.get_parameter(index, display); }

void ControlSet::reset_group(const GroupNode& group) {
    for (const ControlNode& control : group.controls) set(control.index, control.default_value);
}

Outcome ControlSet::set_all_to_defaults() {
    if (!enabled()) return Outcome::refused();
    for (const PageNode& page : tree_.pages)
        for (const GroupNode& group : page.groups) reset_group(group);
    return Outcome::success();
}

Outcome ControlSet::set_page_to_defaults(size_t page) {
    if (!enabled() || page >= tree_.pages.size()) return Outcome::refused();
    for (const GroupNode& group : tree_.pages[page].groups) reset_group(group);
    return Outcome::success();
}

Outcome ControlSet::set_group_to_defaults(size_t page, size_t group) {
    if (!enabled() || page >= tree_.pages.size() || group >= tree_.pages[page].groups.size()) return Outcome::refused();
    reset_group(tree_.pages[page].groups[group]);
    return Outcome::success();
}

std::vector<std::optional<float>> ControlSet::read_group(size_t page, size_t group) const {
    std::vector<std::optional<float>> values;
    if (page >= tree_.pages.size() || group >= tree_.pages[page].groups.size()) return values;
    for (const ControlNode& control : tree_.pages[page].groups[group].controls) {
        float value = 0.0f;
        values.push_back(get(control.index, value) ? std::optional(value) : std::nullopt);
    }
    return values;
}

}  // namespace torvalen::params
