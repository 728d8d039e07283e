// The RDS modulator: a thread that builds one group per refill request,
// differentially encodes its 104 bits, forms biphase symbols at 9500 Hz (8 samples
// per bit), shapes them with the 208-tap RDS data filter and resamples them with
// libsamplerate to 192 kHz into a ring of banks, one group per bank. Sound Out
// reads one sample per output sample and multiplies it onto its 57 kHz carrier.
//
// Lead: the thread keeps every bank but the one being read filled, so the engine
// has between rds_bank_count - 2 and rds_bank_count - 1 groups (175 to 263 ms)
// of waveform ahead of it. A modulator thread that is held off for less than that
// (a busy machine, a content lock held by a slow writer) loses nothing on air.
// The thread runs at real-time priority below the engine's when the system allows.
//
// Threads:
// - engine thread: next_sample()/next_samples() only; reads the current bank, moves to the next
//   and signals refill. No lock, no allocation.
// - modulator thread: builds groups (under the content lock) and fills the banks
//   ahead of the engine. Bank samples are relaxed atomics: if the thread falls
//   behind, the engine reads a repeated or partly refreshed group, never torn data,
//   and counts it (groups_late()).
// - control thread: create, destroy, content changes under the content lock.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "broadcast/rds_content.h"
#include "broadcast/rds_encoder.h"
#include "engine/event.h"

typedef struct SRC_STATE_tag SRC_STATE;

namespace torvalen::broadcast {

inline constexpr double rds_symbol_rate_Hz = 9500.0;
inline constexpr uint32_t rds_samples_per_bit = 8;
inline constexpr uint32_t rds_group_samples = rds_group_bits * rds_samples_per_bit;  // 832
inline constexpr uint32_t rds_shaping_taps = 208;
// One group of 832 symbol samples becomes exactly 16815 samples at 192 kHz.
inline constexpr uint32_t rds_output_per_group = 16815;
inline constexpr double rds_resample_ratio = static_cast<double>(rds_output_per_group) / rds_group_samples;
inline constexpr uint32_t rds_bank_capacity = 20000;
// Banks in the ring: the engine reads one, the thread keeps the others filled.
inline constexpr uint32_t rds_bank_count = 4;
inline constexpr float rds_symbol_amplitude = 4.0f;

// The 208 shaping taps: the RDS data spectrum H0(f) = cos(pi f td / 4) up to 2/td,
// sampled at 9500 Hz (the ideal response at half-sample offsets) under a Tukey
// window (taper 0.5) and scaled to sum 1. Linear phase.
const std::array<float, rds_shaping_taps>& rds_shaping_filter();

// Owns a libsamplerate converter.
class SampleRateConverter {
public:
    SampleRateConverter() = default;
    explicit SampleRateConverter(int converter_type);
    ~SampleRateConverter();
    SampleRateConverter(const SampleRateConverter&) = delete;
    SampleRateConverter& operator=(const SampleRateConverter&) = delete;

    bool valid() const { return state_ != nullptr; }
    bool set_ratio(double ratio);
    // Converts all of `in`; returns the number of samples written to `out`.
    long process(const float* in, long in_count, float* out, long out_capacity, double ratio);

private:
    SRC_STATE* state_ = nullptr;
};

class RdsModulator {
public:
    // Starts the thread. Nothing (and bit 0 of `error` set) when the converter
    // cannot be made. `content` must outlive the modulator.
    static std::unique_ptr<RdsModulator> create(RdsContent& content, uint32_t& error);
    // Stops the thread and waits for it.
    ~RdsModulator();

    RdsModulator(const RdsModulator&) = delete;
    RdsModulator& operator=(const RdsModulator&) = delete;

    // ---- Engine thread ----
    float next_sample() {
        if (pos_ >= length_) next_bank();
        if (pos_ >= valid_) {  // this bank was never filled: silence
            ++pos_;
            return 0.0f;
        }
        return banks_[current_][pos_++].load(std::memory_order_relaxed);
    }
    // next_sample() for out[0...n).
    void next_samples(float* out, std::size_t n) {
        std::size_t i = 0;
        while (i < n) {
            if (pos_ >= length_) next_bank();
            const uint32_t end = pos_ + static_cast<uint32_t>(std::min<std::size_t>(length_ - pos_, n - i));
            const std::atomic<float>* bank = banks_[current_].data();
            const uint32_t filled = std::min(end, std::max(valid_, pos_));
            // The position in a local: the loads are atomic, and the compiler would
            // otherwise store it back after each one.
            uint32_t p = pos_;
            for (; p < filled; ++p) out[i++] = bank[p].load(std::memory_order_relaxed);
            for (; p < end; ++p) out[i++] = 0.0f;  // never filled: silence
            pos_ = p;
        }
    }

    // ---- Diagnostics and tests ----
    uint64_t refills_requested() const { return requested_.load(std::memory_order_acquire); }
    uint64_t refills_done() const { return done_.load(std::memory_order_acquire); }
    // Waits (up to `max_ms`) until the thread has refilled every bank the engine
    // freed so far; false on time-out.
    bool wait_refills(int max_ms) const;
    // The groups built so far, in order (tests); kept only when recording is on.
    void record_groups(bool on) { recording_.store(on, std::memory_order_release); }
    std::vector<RdsGroup> recorded_groups();
    uint64_t bank_fill(int bank) const { return counts_[bank].load(std::memory_order_acquire); }
    // Filled samples ahead of the engine's read position. Reads the engine's
    // position: call only between engine blocks (tests).
    uint64_t lead_samples() const;
    // Banks the engine reached before the thread had filled them (a repeated or
    // partly refreshed group went on air).
    uint64_t groups_late() const { return late_.load(std::memory_order_relaxed); }
    // SCHED_FIFO priority of the modulator thread; 0 at normal priority.
    int thread_priority() const;
    // CPU time the modulator thread has used, in ns.
    uint64_t thread_cpu_ns() const { return cpu_ns_.load(std::memory_order_relaxed); }

private:
    RdsModulator(RdsContent& content);

    void next_bank();
    void thread_main();
    void fill_ahead();
    void fill(uint32_t bank);

    enum Event : unsigned { event_stop = 0, event_refill = 1 };

    RdsContent& content_;
    GroupScheduler scheduler_;

    // Modulator thread.
    uint32_t diff_bit_ = 0;
    std::array<float, rds_shaping_taps> taps_{};
    std::array<float, 2 * rds_shaping_taps> history_{};
    uint32_t history_pos_ = 0;
    uint64_t built_ = 0;  // groups built (read by the destructor after the join)
    std::array<float, rds_group_samples> symbols_{};
    std::vector<float> converted_;
    SampleRateConverter converter_;

    // Shared: the banks and their valid counts. Group g (counted from 1) goes into
    // bank g % rds_bank_count; group 0 is the silent start.
    std::array<std::vector<std::atomic<float>>, rds_bank_count> banks_;
    std::array<std::atomic<uint32_t>, rds_bank_count> counts_{};
    std::atomic<uint64_t> reading_{0};  // the group the engine reads
    std::atomic<uint64_t> written_{0};  // the last group the thread filled

    // Engine thread.
    uint64_t read_ = 0;
    uint32_t current_ = 0;
    uint32_t pos_ = 0;
    uint32_t length_ = 0;  // samples of the current bank (at least one group of silence)
    uint32_t valid_ = 0;   // filled samples of the current bank

    std::atomic<uint64_t> requested_{0};
    std::atomic<uint64_t> done_{0};
    std::atomic<uint64_t> late_{0};
    std::atomic<uint64_t> cpu_ns_{0};
    std::atomic<bool> recording_{false};
    std::mutex record_lock_;
    std::vector<RdsGroup> recorded_;

    EventGroup events_;
    std::thread thread_;
};

}  // namespace torvalen::broadcast
