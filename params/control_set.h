// The control set of one module object: its table, page tree, the module's set
// and get callbacks, the modified flag of its current preset and the enabled
// flag (instance unlocked). Every set from a widget or a default command goes
// through set(), which marks the preset modified when the module reports a change.
//
// Threads: the control thread (widgets, default commands) and a preset bar's
// scheduler thread (preset loads, under the bar's lock). The callbacks take the
// module's own lock; nothing here holds a lock while calling them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "params/control_table.h"
#include "params/page_tree.h"

namespace torvalen::params {

// The result of an operation the interface runs: success, or a message and the
// title of the box that shows it. A refusal without a message (for example a
// command while the instance is locked) does nothing visible.
struct Outcome {
    bool ok = true;
    std::string message;
    std::string title;

    static Outcome success() { return {}; }
    static Outcome failure(std::string message, std::string title) {
        return {false, std::move(message), std::move(title)};
    }
    static Outcome refused() { return {false, {}, {}}; }
    explicit operator bool() const { return ok; }
};

// The module's side: both take the module's lock(s) around the conversion (see
// set_by_rule / get_by_rule) and must not allocate or do I/O under them.
class ParameterCallbacks {
public:
    // false for an index past the table, a record without a value; otherwise
    // applies the kind's set rule and returns true when the stored value changed.
    virtual bool set_parameter(uint32_t index, float display) = 0;
    // false under the same conditions and for pages, groups and the reserved
    // kind; otherwise writes the display value.
    virtual bool get_parameter(uint32_t index, float& display) = 0;

protected:
    ~ParameterCallbacks() = default;
};

// Told when a set through the control set changed a value (the preset bar keeps
// its working copy from this). Called on the thread that called set(), with no
// module lock held.
class ChangeListener {
public:
    virtual void parameters_changed() = 0;

protected:
    ~ChangeListener() = default;
};

class ControlSet {
public:
    // Builds the page tree from `table` (which must outlive the set). With
    // `apply_defaults` every control is then set to its default through the
    // module's callback (offset tables; a copied template table already holds
    // them). Nothing when the table is malformed; `error` says why.
    static std::unique_ptr<ControlSet> create(std::span<const ControlRecord> table, ParameterCallbacks& module,
                                              std::string module_name, bool apply_defaults, std::string& error);

    ControlSet(const ControlSet&) = delete;
    ControlSet& operator=(const ControlSet&) = delete;

    // The set wrapper: calls the module's set and marks the preset modified
    // when it reports a change. Refused (false) while the set is not enabled.
    bool set(uint32_t index, float display);
    bool get(uint32_t index, float& display) const;
    // The module's set without the wrapper (preset loads decide the modified
    // flag themselves).
    bool set_unmarked(uint32_t index, float display) { return module_.set_parameter(index, display); }

    // Default commands; refused while the set is not enabled. Page and group
    // are positions in the tree.
    Outcome set_all_to_defaults();
    Outcome set_page_to_defaults(size_t page);
    Outcome set_group_to_defaults(size_t page, size_t group);

    // Every control's display value of a group (nothing where get reports none),
    // for placing widgets after a load.
    std::vector<std::optional<float>> read_group(size_t page, size_t group) const;

    const PageTree& tree() const { return tree_; }
    std::span<const ControlRecord> table() const { return table_; }
    const std::string& module_name() const { return module_name_; }

    bool modified() const { return modified_.load(std::memory_order_acquire); }
    void set_modified(bool modified) { modified_.store(modified, std::memory_order_release); }
    bool enabled() const { return enabled_.load(std::memory_order_acquire); }
    void set_enabled(bool enabled) { enabled_.store(enabled, std::memory_order_release); }

    // One listener (the preset bar), or none.
    void set_change_listener(ChangeListener* listener) { listener_.store(listener, std::memory_order_release); }

private:
    ControlSet(std::span<const ControlRecord> table, ParameterCallbacks& module, std::string module_name,
               PageTree tree);
    void reset_group(const GroupNode& group);

    std::span<const ControlRecord> table_;
    ParameterCallbacks& module_;
    std::string module_name_;
    PageTree tree_;
    std::atomic<bool> modified_{false};
    std::atomic<bool> enabled_{false};
    std::atomic<ChangeListener*> listener_{nullptr};
};

}  // namespace torvalen::params
