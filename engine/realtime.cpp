#include "engine/realtime.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#include <pmmintrin.h>
#endif

namespace torvalen {

namespace {
uint64_t clock_100ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 10'000'000ull + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

uint64_t mask_from_set(const cpu_set_t& set) {
    uint64_t mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set)) mask |= 1ull << cpu;
    }
    return mask;
}
}  // namespace

uint64_t monotonic_time_100ns() { return clock_100ns(CLOCK_MONOTONIC); }
uint64_t wall_time_100ns() { return clock_100ns(CLOCK_REALTIME); }

void enable_flush_to_zero() {
#if defined(__x86_64__) || defined(__i386__)
    _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
    _MM_SET_DENORMALS_ZERO_MODE(_MM_DENORMALS_ZERO_ON);
#elif defined(__aarch64__)
    uint64_t fpcr;
    asm volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr |= (1ull << 24);  // FZ bit
    asm volatile("msr fpcr, %0" : : "r"(fpcr));
#endif
}

bool flush_to_zero_enabled() {
#if defined(__x86_64__) || defined(__i386__)
    return _MM_GET_FLUSH_ZERO_MODE() == _MM_FLUSH_ZERO_ON &&
           _MM_GET_DENORMALS_ZERO_MODE() == _MM_DENORMALS_ZERO_ON;
#elif defined(__aarch64__)
    uint64_t fpcr;
    asm volatile("mrs %0, fpcr" : "=r"(fpcr));
    return (fpcr & (1ull << 24)) != 0;
#else
    return false;
#endif
}

namespace {
std::atomic<bool> realtime_wanted_{true};
}

void set_realtime_wanted(bool wanted) { realtime_wanted_.store(wanted, std::memory_order_relaxed); }
bool realtime_wanted() { return realtime_wanted_.load(std::memory_order_relaxed); }

bool make_thread_realtime(std::string& why, int priority) {
    // Below the kernel's own real-time threads (which run at the maximum): an engine
    // that overruns must not starve the watchdog or migration threads.
    sched_param param{};
    param.sched_priority = std::min(priority, sched_get_priority_max(SCHED_FIFO));
    int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (rc != 0) {
        why = std::strerror(rc);
        return false;
    }
    return true;
}

uint64_t process_affinity() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    return mask_from_set(set);
}

uint64_t thread_affinity() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) != 0) return 0;
    return mask_from_set(set);
}

uint64_t set_thread_affinity(uint64_t mask) {
    const uint64_t allowed = mask & process_affinity();
    if (allowed == 0) return 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (allowed & (1ull << cpu)) CPU_SET(cpu, &set);
    }
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0) return 0;
    return allowed;
}

}  // namespace torvalen
