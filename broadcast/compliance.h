// The multiplex figures of the compliance log: the engine thread sums the power
// and holds the largest deviation of the multiplex it builds; the control thread
// closes a period (once a minute) and takes what the period held.
//
// Threads: add()/begin_block() on the engine thread only; close_period()/take()
// on one other thread. Nothing waits: the closing is a counter the engine thread
// looks at once per block, the closed period comes back through a Latest.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "measure/latest.h"

namespace torvalen::broadcast {

struct CompliancePeriod {
    double square_sum = 0.0;    // sum of multiplex samples squared (engine scale)
    uint64_t frames = 0;        // multiplex frames summed (0: no multiplex ran)
    float max_deviation = 0.0f; // largest deviation value (1 = full scale, 100 kHz)
    float pilot = 0.0f;         // pilot amplitude, fraction of full scale (0 with stereo off)
    bool rds = false;           // RDS was on in some block of the period
};

// 0 dBr: the power of a sine whose peak is 19/75 of full scale (the engine's 2^31).
inline constexpr double compliance_reference_power = 0.5 * (19.0 / 75.0 * 2147483648.0) * (19.0 / 75.0 * 2147483648.0);

// The mean power of a period in dBr (-200 for a silent or empty one).
inline double period_power_dBr(const CompliancePeriod& p) {
    if (p.frames == 0 || p.square_sum <= 0.0) return -200.0;
    return 10.0 * std::log10(p.square_sum / static_cast<double>(p.frames) / compliance_reference_power);
}

class ComplianceMeter {
public:
    // ---- Engine thread ----
    // At the start of a block that builds the multiplex.
    void begin_block(float pilot, bool rds) {
        const uint32_t asked = close_requests_.load(std::memory_order_acquire);
        if (asked != closed_) {
            closed_ = asked;
            done_.back() = current_;
            done_.publish();
            current_ = CompliancePeriod{};
        }
        current_.pilot = pilot;
        current_.rds = current_.rds || rds;
    }
    void add_sample(float mpx) {
        current_.square_sum += static_cast<double>(mpx) * static_cast<double>(mpx);
        ++current_.frames;
    }
    // add_sample() for each of mpx[0...n).
    void add_samples(const float* mpx, std::size_t n) {
        double sum = current_.square_sum;
        for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(mpx[i]) * static_cast<double>(mpx[i]);
        current_.square_sum = sum;
        current_.frames += n;
    }
    void add_deviation(float deviation) {
        if (deviation > current_.max_deviation) current_.max_deviation = deviation;
    }

    // ---- Control thread ----
    // Ends the running period; it comes back through take() with the engine's next block.
    void close_period() { close_requests_.fetch_add(1, std::memory_order_acq_rel); }
    bool take(CompliancePeriod& period) { return done_.take(period); }

private:
    std::atomic<uint32_t> close_requests_{0};
    uint32_t closed_ = 0;  // engine thread
    CompliancePeriod current_;
    measure::Latest<CompliancePeriod> done_;
};

}  // namespace torvalen::broadcast
