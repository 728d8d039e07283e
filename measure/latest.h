// A lock-free hand-off of the latest value from one writer thread to one reader
// thread (a triple buffer). The writer never waits and never sees the reader; the
// reader polls and gets the newest complete value, or nothing when nothing new was
// published since its last take. Values the reader never took are overwritten.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace torvalen::measure {

template <class T>
class Latest {
public:
    Latest() = default;
    Latest(const Latest&) = delete;
    Latest& operator=(const Latest&) = delete;

    // Writer: fill back(), then publish() it.
    T& back() { return slots_[back_]; }
    void publish() { back_ = state_.exchange(back_ | fresh, std::memory_order_acq_rel) & index_mask; }

    // Reader: copies the newest published value into `out`; false when nothing new.
    bool take(T& out) {
        if ((state_.load(std::memory_order_acquire) & fresh) == 0) return false;
        front_ = state_.exchange(front_, std::memory_order_acq_rel) & index_mask;
        out = slots_[front_];
        return true;
    }

private:
    static constexpr uint32_t fresh = 4;
    static constexpr uint32_t index_mask = 3;
    std::array<T, 3> slots_{};
    uint32_t back_ = 0;               // writer's slot
    uint32_t front_ = 1;              // reader's slot
    std::atomic<uint32_t> state_{2};  // middle slot, plus `fresh` when it is unread
};

}  // namespace torvalen::measure
