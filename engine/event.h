// Auto-reset events for the engine's hand-shakes.
//
// An EventGroup holds up to 32 auto-reset events in one atomic word. Signalling is
// lock-free and never blocks, so device callbacks and the engine thread may signal.
// Waiting returns the lowest-numbered signalled event of the requested set (the
// events are numbered in order of priority) and resets it.
#pragma once

#include <atomic>
#include <cstdint>

namespace torvalen {

class EventGroup {
public:
    EventGroup() = default;
    EventGroup(const EventGroup&) = delete;
    EventGroup& operator=(const EventGroup&) = delete;

    void signal(unsigned event) {
        bits_.fetch_or(1u << event, std::memory_order_release);
        bits_.notify_all();
    }

    // Resets an event without waiting for it.
    void reset(unsigned event) { bits_.fetch_and(~(1u << event), std::memory_order_acq_rel); }

    bool is_set(unsigned event) const {
        return (bits_.load(std::memory_order_acquire) & (1u << event)) != 0;
    }

    // Blocks until any event in `mask` is signalled; resets and returns the
    // lowest-numbered one.
    unsigned wait_any(uint32_t mask) {
        for (;;) {
            uint32_t bits = bits_.load(std::memory_order_acquire);
            const uint32_t ready = bits & mask;
            if (ready == 0) {
                bits_.wait(bits, std::memory_order_acquire);
                continue;
            }
            const unsigned event = static_cast<unsigned>(__builtin_ctz(ready));
            const uint32_t bit = 1u << event;
            if (bits_.compare_exchange_weak(bits, bits & ~bit, std::memory_order_acq_rel)) {
                return event;
            }
        }
    }

    void wait(unsigned event) { wait_any(1u << event); }

private:
    std::atomic<uint32_t> bits_{0};
};

}  // namespace torvalen
