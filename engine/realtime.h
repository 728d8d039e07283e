// Real-time thread helpers: clocks, priority, CPU affinity and denormal handling.
// Called by every thread that runs audio code (engine threads, device threads,
// worker threads that run DSP primitives).
#pragma once

#include <cstdint>
#include <string>

namespace torvalen {

// Monotonic clock in 100-ns units, for durations and load measurement.
uint64_t monotonic_time_100ns();

// Wall-clock time in 100-ns units since 1970-01-01 UTC.
uint64_t wall_time_100ns();

// Sets flush-to-zero and denormals-are-zero for the calling thread, so decaying
// filter states never fall into slow denormal arithmetic.
void enable_flush_to_zero();

// True when flush-to-zero and denormals-are-zero are both set on the calling thread.
bool flush_to_zero_enabled();

// SCHED_FIFO priorities: engine and device threads high, but below the kernel's own
// real-time threads; threads that prepare data the engine consumes a little later
// (the RDS modulator) below the engine, which must never wait for them.
inline constexpr int engine_thread_priority = 80;
inline constexpr int feeder_thread_priority = 70;

// Raises the calling thread to SCHED_FIFO at `priority` (limited to the system's
// maximum). Returns false (thread left at normal priority) when the system refuses;
// `why` then says what the system answered.
bool make_thread_realtime(std::string& why, int priority = engine_thread_priority);

// Whether this process's audio threads ask for real-time priority (yes unless
// switched off). Offline work (the render command, --freewheel) switches it off at
// start: it then never competes with a live processor on the same machine, whose
// engine would otherwise wait for a whole offline cycle at the same priority.
void set_realtime_wanted(bool wanted);
bool realtime_wanted();

// Pins the calling thread to the CPUs set in `mask` (bit k = CPU k), limited to
// the CPUs this process may use. An empty intersection leaves the thread as it is.
// Returns the mask actually applied (0 when nothing was applied).
uint64_t set_thread_affinity(uint64_t mask);

// CPU mask of the calling thread, and of the process (CPUs it may use).
uint64_t thread_affinity();
uint64_t process_affinity();

}  // namespace torvalen
