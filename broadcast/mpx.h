// The building blocks of the stereo multiplex at 192 kHz: carrier tables, Sound
// Out's own 4x up-sampler, the MPX power controller and power meter, the variable
// delay line and the loudness ("LKFS") meter. Small value types with explicit
// state; they run on the engine thread inside Sound Out's process() and never
// allocate after construction.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "dsp/detectors.h"
#include "dsp/iir.h"
#include "dsp/rate_convert.h"
#include "dsp/simd.h"

namespace torvalen::broadcast {

inline constexpr double mpx_rate_Hz = 192000.0;
inline constexpr double pilot_Hz = 19000.0;
// 192 samples at 192 kHz are exactly 19 pilot cycles: one table period serves the
// pilot (step 1), the 38 kHz sub-carrier (step 2) and the 57 kHz RDS carrier (step 3).
inline constexpr uint32_t carrier_period = 192;

struct CarrierTables {
    std::array<float, carrier_period> sin{}, cos{};
};
// Entry n = sin (cos) of n 2 pi 19000 / 192000, in double rounded to float. Built
// on first use (Sound Out builds it at creation), immutable afterwards.
const CarrierTables& carrier_tables();

// Sound Out builds the multiplex in runs of up to `mpx_run_frames` frames.
inline constexpr uint32_t mpx_run_frames = 64;

// The carrier values by pilot index n: sin(n), cos(n), sin(2n), sin(3n) of the pilot
// phase step (the pilot, 38 kHz and 57 kHz carriers of frame n all follow from the
// pilot's index, n mod 192). Entries repeat past the period so a run starting at
// any index reads its frames' values contiguously. The same floats as CarrierTables.
struct CarrierRuns {
    static constexpr uint32_t size = carrier_period + mpx_run_frames;
    std::array<float, size> pilot_sin{}, pilot_cos{}, sub_sin{}, rds_sin{};
};
const CarrierRuns& carrier_runs();

// The power reference, 0 dBr: the RMS of a sine whose peak is 19/75 of full scale.
inline constexpr float mpx_power_reference = 384686752.0f;
inline constexpr int power_look_ahead_samples = 19200;  // 100 ms at 192 kHz
inline constexpr float power_min_gain = 0.1f;           // never more than 20 dB of reduction
inline constexpr double power_control_cutoff_Hz = 3.183;
inline constexpr double power_meter_cutoff_Hz = 1.2732;

// Sound Out's 4x up-sampler: the 148-tap prototype in polyphase form, 37 taps per
// output phase over the last 37 input frames. Delay 73.5 samples at 192 kHz. Frames are
// up-sampled in runs, consecutive frames side by side in vector lanes.
class MpxUpsampler {
public:
    static constexpr std::size_t taps = 148;
    static constexpr std::size_t branch = taps / dsp::oversampling;  // 37
    static constexpr std::size_t max_run = mpx_run_frames / dsp::oversampling;  // 16 input frames

    // n <= max_run interleaved stereo frames in; 4n sub-samples per channel out, into l
    // and r, which must hold 4 * max_run floats each (the kernel fills whole vectors).
    void process_run(const float* interleaved, std::size_t n, float* l, float* r);

private:
    static constexpr std::size_t lead = 48;  // frame 0 of a run; the 36 before it are history
    // Room for the kernel's reads up to a whole vector of frames past the run.
    alignas(64) std::array<float, lead + 2 * max_run> xl_{}, xr_{};
};

// Two cascaded double-precision low-pass sections on one channel, the first
// section's output rounded to float before the second: the square-law averaging of
// the power controller and the MPX power meter.
class PowerAverage {
public:
    PowerAverage(double cutoff_Hz, double rate_Hz);

    // Mean-square in, level (root, floored) out.
    float process(float square) { return level(mean_square(square)); }
    // The averaged square alone (a meter holding the largest level can hold the largest
    // square and take one root when it is read: the root is monotonic).
    float mean_square(float square) {
        const float s = static_cast<float>(first_.step(square));
        return static_cast<float>(second_.step(s));
    }
    static float level(float mean_square) { return std::max(std::sqrt(std::max(mean_square, 0.0f)), dsp::level_floor); }
    // mean_square() over a run, in place, with the section states in registers. The
    // second section of sample i waits on the first, but the first section's next
    // sample does not: the two recursions overlap from sample to sample.
    void mean_square_run(float* squares, std::size_t n) {
        Section a = first_, b = second_;
        for (std::size_t i = 0; i < n; ++i) squares[i] = static_cast<float>(b.step(static_cast<float>(a.step(squares[i]))));
        first_ = a;
        second_ = b;
    }
    // mean_square() and level() over a run, in place: the levels.
    void level_run(float* squares, std::size_t n) {
        mean_square_run(squares, n);
        for (std::size_t i = 0; i < n; ++i) squares[i] = level(squares[i]);
    }

private:
    struct Section {
        double b0 = 0, a1 = 0, a2 = 0;
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        double step(double x) {
            const double y = b0 * (x + 2.0 * x1 + x2) - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            return y;
        }
    };
    Section first_, second_;
};

// The MPX power controller (BS.412 kind): a long-term RMS measurement of the
// driven composite with 100 ms of look-ahead, and a gain that attacks at once to
// the target and recovers at the "Release" rate.
class PowerController {
public:
    PowerController();

    // x: composite times Drive. target: Level x reference. rate: recovery rate per
    // sample. Returns the delayed composite times the gain.
    float process(float x, float target, float rate) {
        const float p = average_.process(std::max(x * x, dsp::squared_level_floor));
        const float delayed = delay_[pos_];
        delay_[pos_] = x;
        if (++pos_ == delay_.size()) pos_ = 0;
        gain_ = next_gain(gain_, p >= target ? target / p : 1.0f, rate);
        smallest_ = std::min(smallest_, gain_);
        return gain_ * delayed;
    }

    // process() over a run: x[i] (composite times Drive) becomes the delayed composite
    // times the gain. The averaging runs section by section over a piece of the run
    // first, then the gain and the look-ahead delay, with the gain and position in
    // registers: each loop carries a single recursion.
    void process_run(float* x, std::size_t n, float target, float rate) {
        for (std::size_t done = 0; done < n; done += mpx_run_frames)
            process_piece(x + done, std::min<std::size_t>(n - done, mpx_run_frames), target, rate);
    }

    float gain() const { return gain_; }
    // Smallest gain since the last reset.
    float smallest() const { return smallest_; }
    void reset_smallest() { smallest_ = 1.0f; }

private:
    // The gain toward the wanted gain t: up at the recovery rate (never above 1 or t),
    // down to t at once (never below the floor).
    static float next_gain(float gain, float t, float rate) {
        if (t > gain) return std::min(std::min(gain * (1.0f + rate), 1.0f), t);
        return std::max(t, power_min_gain);
    }

    void process_piece(float* x, std::size_t n, float target, float rate) {
        std::array<float, mpx_run_frames> p;
        for (std::size_t i = 0; i < n; ++i) p[i] = std::max(x[i] * x[i], dsp::squared_level_floor);
        average_.level_run(p.data(), n);
        for (std::size_t i = 0; i < n; ++i) p[i] = p[i] >= target ? target / p[i] : 1.0f;
        float gain = gain_, smallest = smallest_;
        std::size_t pos = pos_;
        float* delay = delay_.data();
        const std::size_t length = delay_.size();
        for (std::size_t i = 0; i < n; ++i) {
            const float delayed = delay[pos];
            delay[pos] = x[i];
            if (++pos == length) pos = 0;
            gain = next_gain(gain, p[i], rate);
            smallest = std::min(smallest, gain);
            x[i] = gain * delayed;
        }
        gain_ = gain;
        smallest_ = smallest;
        pos_ = pos;
    }

    PowerAverage average_;
    std::vector<float> delay_;
    std::size_t pos_ = 0;
    float gain_ = 1.0f;
    float smallest_ = 1.0f;
};

// A stereo delay line whose length may change while it runs: a change neither
// clears the buffer nor moves samples, the position just wraps at the new length.
// Its 17 MB of storage (11 s at 192 kHz) is made, silent, by allocate() on a
// control thread before the delay is first switched on; until then process()
// passes the samples through.
class VariableDelay {
public:
    static constexpr uint32_t capacity_samples = 2133120;

    // Not on the engine thread. False when the memory cannot be had.
    bool allocate() {
        if (allocated()) return true;
        try {
            l_.assign(capacity_samples, 0.0f);
            r_.assign(capacity_samples, 0.0f);
        } catch (const std::bad_alloc&) {
            l_ = {};
            r_ = {};
            return false;
        }
        return true;
    }
    bool allocated() const { return !r_.empty(); }

    void process(float& l, float& r, uint32_t length) {
        if (length == 0 || !allocated()) return;
        if (length > capacity_samples) length = capacity_samples;
        if (pos_ >= length) pos_ = 0;
        std::swap(l, l_[pos_]);
        std::swap(r, r_[pos_]);
        if (++pos_ >= length) pos_ = 0;
    }

    // n frames in place, as n calls of process.
    void process_run(float* l, float* r, std::size_t n, uint32_t length) {
        if (length == 0 || !allocated()) return;
        if (length > capacity_samples) length = capacity_samples;
        if (pos_ >= length) pos_ = 0;
        for (std::size_t i = 0; i < n;) {
            const std::size_t m = std::min<std::size_t>(n - i, length - pos_);  // up to the wrap
            float* dl = l_.data() + pos_;
            float* dr = r_.data() + pos_;
            for (std::size_t j = 0; j < m; ++j) {
                std::swap(l[i + j], dl[j]);
                std::swap(r[i + j], dr[j]);
            }
            i += m;
            pos_ += static_cast<uint32_t>(m);
            if (pos_ >= length) pos_ = 0;
        }
    }

private:
    std::vector<float> l_, r_;
    uint32_t pos_ = 0;
};

// BS.1770 loudness: K-weighted mean square of both channels over 100 ms blocks at
// 48 kHz, averaged over the last four blocks. At 192 kHz the input is first
// decimated by 4.
class LoudnessMeter {
public:
    static constexpr float initial_LKFS = -80.0f;

    explicit LoudnessMeter(bool at_192k) : at_192k_(at_192k) {}

    // Returns the latest result (recomputed every 100 ms).
    float process(float l, float r) {
        if (at_192k_) {
            sub_.l[phase_] = l;
            sub_.r[phase_] = r;
            if (++phase_ < dsp::oversampling) return value_;
            phase_ = 0;
            decimator_.process(sub_, l, r);
        }
        k_.process(l, r);
        sum_ += static_cast<double>(l) * l + static_cast<double>(r) * r;
        if (++count_ == block_samples) finish_block();
        return value_;
    }

    // process() over a run; returns the largest of the results process() returned after
    // each sample (-infinity for an empty run).
    float process_run(const float* l, const float* r, std::size_t n) {
        float largest = -std::numeric_limits<float>::infinity();
        for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, process(l[i], r[i]));
        return largest;
    }

    float value() const { return value_; }

private:
    static constexpr uint32_t block_samples = 4800;
    void finish_block();

    bool at_192k_;
    dsp::Decimator decimator_;
    dsp::SubSamples sub_;
    int phase_ = 0;
    dsp::KWeighting k_;
    double sum_ = 0.0;
    uint32_t count_ = 0;
    std::array<double, 4> blocks_{};
    uint32_t blocks_seen_ = 0;
    float value_ = initial_LKFS;
};

}  // namespace torvalen::broadcast
