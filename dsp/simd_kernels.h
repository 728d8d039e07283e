// The chain's hot vector kernels (FIR dot products, the stereo 4x interpolator, the band
// interpolators and the band dynamics) in three builds chosen once at run time by what
// the processor supports: AVX-512 (16 lanes, fused multiply-add), AVX2 (8 lanes, fused
// multiply-add) and the SSE2 baseline every x86-64 has (4 lanes; NEON on ARM).
//
// The baseline keeps the operation order of the plain vector loops, so its results do
// not depend on the machine; the wider builds round differently (fused multiply-adds,
// other summation order) and agree with the baseline to far below 1e-6 of full scale.
//
// simd_kernels.cpp holds the baseline and the selection; simd_kernels_avx2.cpp and
// simd_kernels_avx512.cpp are compiled with their instruction sets (per-file compiler
// flags) and hold nothing but these entry points, so no code built for a wider machine
// is reachable without the run-time check.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace torvalen::dsp {
namespace multiband_detail {
struct DynamicsState;
struct DynamicsCoefficients;
struct BandInterpolatorState;
}  // namespace multiband_detail

// State of the sixteen-lane half-cycle gain hold (band_gain_hold.h): left band lanes
// 0-7, right 8-15; ring entries of sixteen gain slots then sixteen samples.
struct alignas(64) BandGainHoldState {
    static constexpr std::size_t lanes = 16;
    static constexpr std::size_t entry_floats = 2 * lanes;
    float applied[lanes] = {}, previous[lanes] = {}, open_min[lanes] = {};
    float smooth[lanes] = {};  // smoothed gains (calls with a rise)
    std::int32_t open[lanes] = {};
    std::uint32_t active_mask = 0;  // lanes whose gains are held
    float* ring = nullptr;          // set before each call
    std::int32_t cursor = 0;
    std::int32_t length = 0;  // entries the cursor passes; one spare entry follows them
};

// The band limiter of "Torvalen One" on the eight band lanes (processor_one.cpp): its
// per-lane parameters, state and meter holders, each an array of eight.
struct BandLimitArgs {
    const float *drive, *attack, *release, *fast_release, *fast_threshold, *reference, *clip, *fast_floor;
    float *envelope, *platform;
    std::int32_t* fast;  // all ones when set
    float *meter_l, *meter_r, *meter_both;
    float lim_drive;
};

// The band limiter of "Torvalen 5" on the eight band lanes (processor_five.cpp): per-lane
// parameters, state and meter holders, each an array of eight; the stages in use.
struct BandLimitFiveArgs {
    const float *drive, *expander_level, *expander_attack, *expander_release, *expander_floor, *reference,
        *release_rise, *attack, *plat_release_rise, *plat_attack, *clip;
    float *expander, *smooth, *platform;
    float *meter_l, *meter_r, *meter_both, *meter_platform;
    float lim_drive;
    bool expander_on, platform_on, clip_bands;
};

// Four level-meter channels side by side (two detectors' left and right) over a run of
// frames: each lane's true peaks and samples, its envelope and the histories of its two
// RMS sections (in and out), and what the run leaves per lane.
struct LevelRunArgs {
    const float* tp[4];  // true peaks of the run's frames, per lane
    const float* x[4];   // samples of the run's frames, per lane
    float attack, decay;
    float floor, square_floor;  // of the levels and of their squares
    double c1[3], c2[3];  // b0, a1, a2 of the first and second RMS section
    // State: envelope; section histories x1, x2, y1, y2 (h1 first section, h2 second).
    float env[4];
    double h1[4][4], h2[4][4];
    // Results: the last frame's true peak and mean square, and the largest true peak,
    // envelope and mean square of the run.
    float tp_last[4], ms_last[4], tp_max[4], env_max[4], ms_max[4];
};

namespace simd {

enum class Level : int { sse2 = 0, avx2 = 1, avx512 = 2 };

// The run length the block FIRs are built for (four 16-lane vectors of outputs).
inline constexpr std::size_t fir_block_group = 64;

struct Kernels {
    Level level;
    // Two dot products of one coefficient vector h[0..n) with two windows; n a multiple
    // of 8 (tables are zero-padded).
    void (*dot2)(const float* h, const float* a, const float* b, std::size_t n, float& out_a, float& out_b);
    // Stereo 4x polyphase interpolation over 30 taps, each an 8-float entry
    // {p[4k..4k+3] twice} of `phases` against a history entry {l x4, r x4}. Tap 0 is the
    // new frame (l, r), taken from registers; taps 1...29 are the entries at `older`.
    // The new entry is stored at entry_a and entry_b (the doubled ring); out = {four l,
    // four r}. (A vector load that overlaps a value stored just before cannot take it
    // from the store buffer and waits for the store to complete, so the newest samples
    // never go through memory on their way into the sums.)
    void (*interpolate_stereo)(const float* phases, const float* older, float l, float r, float* entry_a,
                               float* entry_b, float* out);
    void (*interpolate_bands)(multiband_detail::BandInterpolatorState& st, const float* in_l, const float* in_r,
                              float* sub, std::size_t stride);
    void (*compress_enhance)(multiband_detail::DynamicsState& st, const multiband_detail::DynamicsCoefficients& c,
                             float* sub, std::size_t stride, std::size_t count, bool comp, bool enhance);
    // The band limiter of `count` consecutive sub-samples: scales the band samples (a
    // BandFrame each, left lanes then right, `stride` floats apart) by their drives and
    // "Lim Drive", writes the pending gains (PendingGains, same layout and stride) and
    // each sub-sample's two gain-weighted band sums {l, r} into sums.
    void (*band_limit)(const BandLimitArgs& a, float* bands, float* gains, std::size_t stride, std::size_t count,
                       float* sums);
    // "Torvalen 5"'s band limiter of `count` consecutive sub-samples, as band_limit: the
    // band samples scaled by their drives and "Lim Drive", the pending gains and each
    // sub-sample's two gain-weighted sums of the five bands {l, r}, summed band by band.
    void (*band_limit_five)(const BandLimitFiveArgs& a, float* bands, float* gains, std::size_t stride,
                            std::size_t count, float* sums);
    // `count` consecutive calls of the band gain hold (null: the holder's own 4-wide code
    // runs), each call's samples and gains `stride` floats after the previous call's; the
    // cursor moves on by `count`. With `scale`, call j's gains are first multiplied by
    // scale[2j] (lanes 0-7) and scale[2j + 1] (lanes 8-15); with `rise`, the gains are
    // then requests smoothed into st.smooth.
    void (*band_gain_hold)(BandGainHoldState& st, float* samples, const float* gains, const float* rise,
                           const float* scale, std::size_t stride, std::size_t count);
    // True peaks of a run of stereo frames through the 4x interpolator (120-tap
    // prototype p): tp[i] = max over j of |sum_k p[4k + j] x[i - k]|, k = 0...29, for each
    // channel. xl and xr point at frame 0 of linear histories holding the 29 frames
    // before it. Frames go in groups of up to sixteen, so the histories must be readable
    // and tp writable up to the next multiple of 16 (those extra results are not used).
    void (*true_peak_block)(const float* p, const float* xl, const float* xr, std::size_t n, float* tp_l,
                            float* tp_r);
    // FIRs over a run of samples, summed: y[i] = sum over streams s and k < taps of
    // h[s][k] x[s][i + (taps - 1 - k) d], i < count, the taps d samples apart; each x[s]
    // holds the (taps - 1) d samples before the run, then the run. x must be readable
    // and y writable up to count rounded up to 16. An output does not depend on where the
    // run starts or ends.
    void (*fir_block)(const float* const* h, const float* const* x, std::size_t streams, std::size_t taps,
                      std::size_t d, float* y, std::size_t count);
    // 4x polyphase interpolation of a run of stereo frames: sub[4i + j] = sum over k <
    // taps of p[4k + j] x[i - k], i < n, for each channel. xl and xr point at frame 0 of
    // linear histories holding the taps - 1 frames before it; they must be readable up to
    // the next multiple of 16 frames, and sub_l, sub_r writable up to four times that.
    void (*interpolate_block)(const float* p, std::size_t taps, const float* xl, const float* xr, std::size_t n,
                              float* sub_l, float* sub_r);
    // The level detector's per-frame steps over n >= 1 frames on four lanes, each lane
    // the operations of one channel in the same order (the same results at every level).
    void (*level_run)(LevelRunArgs& a, std::size_t n);
};

// The widest level this processor runs.
Level detected_level();
// Caps the level in use (never above the detected one), for comparisons in tests and
// benchmarks. Call before processing starts; it is not meant to change mid-stream.
void set_level_limit(Level limit);
namespace detail {
// The kernels in use (the baseline until the choice at start; tests and benchmarks cap it
// with set_level_limit). Read on every kernel call, so the read is inline.
extern std::atomic<const Kernels*> kernels_in_use;
}  // namespace detail

// The kernels in use.
inline const Kernels& kernels() { return *detail::kernels_in_use.load(std::memory_order_relaxed); }
// The kernels of one level (falls back to a narrower one the processor has).
const Kernels& kernels_for(Level level);
const char* level_name(Level level);

// Entry points of the wider builds (absent builds leave them null).
const Kernels* avx2_kernels();
const Kernels* avx512_kernels();

}  // namespace simd
}  // namespace torvalen::dsp
