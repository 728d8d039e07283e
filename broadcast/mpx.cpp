#include "broadcast/mpx.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include "dsp/fir_tables.h"
#include "dsp/simd_kernels.h"

namespace torvalen::broadcast {

namespace {
// Prototype pole pairs of the two-section averaging cascade.
constexpr double average_a1 = 0.794, average_b1 = 0.5029;
constexpr double average_a2 = 0.6304, average_b2 = 1.5407;
constexpr double bs1770_offset_dB = -0.691;
constexpr double full_scale_squared = 4611686018427387904.0;  // 2^62

CarrierTables make_carrier_tables() {
    CarrierTables t;
    for (uint32_t n = 0; n < carrier_period; ++n) {
        const double phase = n * 2.0 * std::numbers::pi * pilot_Hz / mpx_rate_Hz;
        t.sin[n] = static_cast<float>(std::sin(phase));
        t.cos[n] = static_cast<float>(std::cos(phase));
    }
    return t;
}
CarrierRuns make_carrier_runs() {
    const CarrierTables& t = carrier_tables();
    CarrierRuns runs;
    for (uint32_t n = 0; n < CarrierRuns::size; ++n) {
        runs.pilot_sin[n] = t.sin[n % carrier_period];
        runs.pilot_cos[n] = t.cos[n % carrier_period];
        runs.sub_sin[n] = t.sin[2 * n % carrier_period];
        runs.rds_sin[n] = t.sin[3 * n % carrier_period];
    }
    return runs;
}
}  // namespace

const CarrierTables& carrier_tables() {
    static const CarrierTables tables = make_carrier_tables();
    return tables;
}

const CarrierRuns& carrier_runs() {
    static const CarrierRuns runs = make_carrier_runs();
    return runs;
}

void MpxUpsampler::process_run(const float* interleaved, std::size_t n, float* l, float* r) {
    n = std::min(n, max_run);
    for (std::size_t i = 0; i < n; ++i) {
        xl_[lead + i] = interleaved[2 * i];
        xr_[lead + i] = interleaved[2 * i + 1];
    }
    // Straight into the caller's arrays: n <= 16 frames round up to one run of 16 at most.
    dsp::simd::kernels().interpolate_block(dsp::fir_tables::mpx_upsampler_prototype.data(), branch, xl_.data() + lead,
                                           xr_.data() + lead, n, l, r);
    // The run's last 36 frames become the history of the next.
    constexpr std::size_t history = branch - 1;
    std::memmove(xl_.data() + lead - history, xl_.data() + lead + n - history, history * sizeof(float));
    std::memmove(xr_.data() + lead - history, xr_.data() + lead + n - history, history * sizeof(float));
}

PowerAverage::PowerAverage(double cutoff_Hz, double rate_Hz) {
    const dsp::LowPass2<double> first(average_a1, average_b1, cutoff_Hz, rate_Hz);
    const dsp::LowPass2<double> second(average_a2, average_b2, cutoff_Hz, rate_Hz);
    first_.b0 = first.b0();
    first_.a1 = first.a1();
    first_.a2 = first.a2();
    second_.b0 = second.b0();
    second_.a1 = second.a1();
    second_.a2 = second.a2();
}

PowerController::PowerController()
    : average_(power_control_cutoff_Hz, mpx_rate_Hz), delay_(power_look_ahead_samples, 0.0f) {}

void LoudnessMeter::finish_block() {
    blocks_[blocks_seen_ % blocks_.size()] = sum_ / block_samples;
    ++blocks_seen_;
    sum_ = 0.0;
    count_ = 0;
    if (blocks_seen_ < blocks_.size()) return;  // no 400 ms yet
    const double mean = (blocks_[0] + blocks_[1] + blocks_[2] + blocks_[3]) / 4.0 / full_scale_squared;
    value_ = static_cast<float>(10.0 * std::log10(std::max(mean, 1e-10)) + bs1770_offset_dB);
}

}  // namespace torvalen::broadcast
