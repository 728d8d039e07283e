// Level, loudness and power detectors.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "dsp/fir.h"
#include "dsp/iir.h"
#include "dsp/rate_convert.h"

namespace torvalen::dsp {

inline constexpr double full_scale = 2147483648.0;            // 2^31, int32 scale
inline constexpr float level_floor = 21.474836f;              // 2^31 * 10^-8, -160 dB
inline constexpr float squared_level_floor = 461.1686f;       // level_floor^2
inline constexpr double chain_rate_Hz = 48000.0;

// dB relative to digital full scale of a level in int32 scale.
double level_dBFS(double level);

struct LevelReading {
    float true_peak[2];      // L, R
    float peak_envelope[2];  // L, R
    float rms[2];            // L, R
};

// True peaks (4x interpolation, the largest |sub-sample| of each frame) of a stream
// measured in runs: `add` gathers frames, and `measure` interpolates the whole run in
// vector lanes, frames side by side, instead of one frame's 240 multiply-adds at a time.
// After `measure`, frame i of the run is `l(i)`, `r(i)` with true peaks `peak_l(i)`,
// `peak_r(i)`, until the next `add`.
class TruePeakRun {
public:
    static constexpr std::size_t chunk = 64;  // frames per run

    // Adds a frame; true when the run is full and must be measured.
    bool add(float l, float r) {
        xl_[lead + size_] = l;
        xr_[lead + size_] = r;
        return ++size_ == chunk;
    }
    // Adds up to n frames, as many as the run has room for; returns how many.
    std::size_t add(const float* l, const float* r, std::size_t n) {
        const std::size_t m = std::min(n, chunk - size_);
        std::copy_n(l, m, xl_.data() + lead + size_);
        std::copy_n(r, m, xr_.data() + lead + size_);
        size_ += m;
        return m;
    }
    // The same from interleaved stereo frames.
    std::size_t add_interleaved(const float* lr, std::size_t n) {
        const std::size_t m = std::min(n, chunk - size_);
        for (std::size_t i = 0; i < m; ++i) {
            xl_[lead + size_ + i] = lr[2 * i];
            xr_[lead + size_ + i] = lr[2 * i + 1];
        }
        size_ += m;
        return m;
    }
    bool full() const { return size_ == chunk; }
    std::size_t room() const { return chunk - size_; }
    std::size_t size() const { return size_; }
    // Measures the run and starts the next one; returns the run's length.
    std::size_t measure();
    // True when the run and the history the interpolator reads before it are all zero:
    // every true peak of the run is 0.
    bool silent() const;
    // Starts the next run without measuring a silent one (its history stays all zero).
    void skip() { size_ = 0; }

    float l(std::size_t i) const { return xl_[lead + i]; }
    float r(std::size_t i) const { return xr_[lead + i]; }
    float peak_l(std::size_t i) const { return tp_l_[i]; }
    float peak_r(std::size_t i) const { return tp_r_[i]; }
    // The same as arrays from frame 0.
    const float* left() const { return xl_.data() + lead; }
    const float* right() const { return xr_.data() + lead; }
    const float* peaks_left() const { return tp_l_.data(); }
    const float* peaks_right() const { return tp_r_.data(); }

private:
    static constexpr std::size_t history = 29;  // older frames the interpolator reads
    static constexpr std::size_t lead = 32;     // frame 0 of a run; history before it
    std::size_t size_ = 0;
    alignas(64) std::array<float, lead + chunk> xl_{}, xr_{};
    alignas(64) std::array<float, chunk> tp_l_{}, tp_r_{};
};

// Meter level detector for a stream at rate R: 4x true peak, a peak envelope that rises
// fast and decays freely, and RMS through a 0.64 Hz double low-pass cascade. Every value
// is floored at -160 dB so later logarithms never see 0.
//
// Meters fold the six values of every frame into holders by maximum (`LevelHolders`), so
// the detector measures frames in runs (`TruePeakRun`): `push` gathers frames, and every
// run (and at `flush`, which a caller runs at the end of its block, before it reads the
// holders) is measured and folded.
class LevelDetector {
public:
    // `rest` off measures every silent run in full (for comparisons).
    explicit LevelDetector(double rate_Hz = chain_rate_Hz, bool rest = true);
    bool at_rest() const { return at_rest_; }

    void push(float l, float r, std::array<float, 6>& held) {
        if (run_.add(l, r)) measure(held);
    }
    void flush(std::array<float, 6>& held) {
        if (run_.size() != 0) measure(held);
    }
    // Interleaved stereo frames (an odd trailing sample is ignored), flushed at the end.
    void fold(const float* interleaved, std::size_t samples, std::array<float, 6>& held);

    // One frame's six values (measures any frames pushed and not flushed with it, without
    // folding them anywhere: do not mix with push in one block).
    LevelReading process(float l, float r);

    // Two streams of one rate fed frame for frame (a stage's input and output), measured
    // side by side in four lanes: the same readings as `push` and `flush` on each, to the
    // bit, for about the cost of one. Feed such a pair only through push_pair and flush_pair.
    static void push_pair(LevelDetector& a, float al, float ar, std::array<float, 6>& held_a, LevelDetector& b,
                          float bl, float br, std::array<float, 6>& held_b) {
        const bool full = a.run_.add(al, ar);
        if (b.run_.add(bl, br) || full) measure_pair(a, held_a, b, held_b);
    }
    // n frames at once: a's from two channel arrays, b's interleaved.
    static void push_pair(LevelDetector& a, const float* al, const float* ar, std::array<float, 6>& held_a,
                          LevelDetector& b, const float* b_lr, std::array<float, 6>& held_b, std::size_t n) {
        for (std::size_t i = 0; i < n;) {
            const std::size_t m = std::min({n - i, a.run_.room(), b.run_.room()});
            a.run_.add(al + i, ar + i, m);
            b.run_.add_interleaved(b_lr + 2 * i, m);
            i += m;
            if (a.run_.full() || b.run_.full()) measure_pair(a, held_a, b, held_b);
        }
    }
    static void flush_pair(LevelDetector& a, std::array<float, 6>& held_a, LevelDetector& b,
                           std::array<float, 6>& held_b) {
        if (a.run_.size() != 0 || b.run_.size() != 0) measure_pair(a, held_a, b, held_b);
    }

private:
    // The values a measured run leaves, per channel: the last frame's true peak, envelope
    // and mean square, and the largest of each over the run.
    struct RunValues {
        float tp[2], env[2], ms[2], tp_max[2], env_max[2], ms_max[2];
    };
    LevelReading measure(std::array<float, 6>& held);
    static void measure_pair(LevelDetector& a, std::array<float, 6>& held_a, LevelDetector& b,
                             std::array<float, 6>& held_b);
    // The per-frame steps of n measured frames of a (lanes 0, 1) and b (lanes 2, 3) in
    // the four-lane kernel; with b the same detector as a, a alone.
    static void run_lanes(LevelDetector& a, LevelDetector& b, std::size_t n, RunValues& va, RunValues& vb);
    LevelReading finish_run(bool silent, const RunValues& v, std::array<float, 6>& held);
    // Folds the values of a silent run at rest (which leaves every state as it is).
    LevelReading fold_rest(std::array<float, 6>& held) const;

    float attack_, decay_;
    float envelope_[2] = {level_floor, level_floor};
    LowPass2<double> rms1_, rms2_;
    // At rest: silence has brought the envelopes to the floor and the RMS sections to
    // the floor's square, where a silent run changes no value the meter shows; such runs
    // are then skipped (an idle bus costs nothing) with the sections left as they are.
    bool rest_ = true, at_rest_ = false;
    float rest_ms_[2] = {-1.0f, -1.0f};  // mean squares at the end of the last silent run
    TruePeakRun run_;
};

// Meter holders of a level detector: true peak L/R, peak envelope L/R, RMS L/R, folded
// by maximum between ticks.
struct LevelHolders {
    std::array<float, 6> value;
    LevelHolders() { reset(); }
    void reset() { value.fill(1.0f); }
    void fold(const LevelReading& r) {
        const float in[6] = {r.true_peak[0], r.true_peak[1], r.peak_envelope[0],
                             r.peak_envelope[1], r.rms[0], r.rms[1]};
        for (int i = 0; i < 6; ++i) value[i] = in[i] > value[i] ? in[i] : value[i];
    }
    // Writes the six values as dBFS and resets the holders.
    void take_dB(float* out);
};

// BS.1770 K-weighting at 48 kHz: the high-shelf pre-filter and the RLB high-pass.
class KWeighting {
public:
    void process(float& l, float& r);

private:
    struct Biquad {
        float b0, b1, b2, a1, a2;
        float x1[2], x2[2], y1[2], y2[2];
        float step(float x, int ch);
    };
    Biquad shelf_{1.5351249f, -2.6916962f, 1.1983929f, -1.6906593f, 0.73248076f, {}, {}, {}, {}};
    Biquad high_pass_{1.0f, -2.0f, 1.0f, -1.9900475f, 0.99007225f, {}, {}, {}, {}};
};

// Loudness ("EBU R128" setting) and power ("BS.412" setting) detectors of the power
// limiter: s = yL^2 + yR^2 (K-weighted for loudness) through a 1.79 Hz double low-pass
// cascade; level = max(sqrt(max(s, 0)), floor). With the delay flag on, the audio frame
// passes a 200 ms delay line and the caller's latency count grows by its length.
class PowerDetector {
public:
    static constexpr int look_ahead_frames = 9600;    // 200 ms at 48 kHz
    static constexpr int delay_capacity_frames = 24000;

    explicit PowerDetector(bool k_weighted);

    float process(float& l, float& r, float floor, bool delay_on, int& latency_frames);

private:
    bool k_weighted_;
    KWeighting k_;
    LowPass2<double> lp1_, lp2_;
    DelayLine delay_;
};

// Loudness in LKFS of a detector level (BS.1770: -0.691 + 10 log10 of the weighted mean
// square sum, full scale = 2^31).
double loudness_LKFS(double level);

}  // namespace torvalen::dsp
