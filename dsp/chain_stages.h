// The stages both processors share around their dynamics: where audio enters (source
// selection, failsafe, copy or 4:1 decimation into bus 4), the input stage, pre-emphasis,
// the 4x oversampled parametric equaliser, and the output stage (power-limiter pre-gain,
// output low-pass, 4x safety clipper, loudness/power limiter, de-emphasis, output meter).
//
// Thread: the engine thread, inside the processor's per-block call. Everything is
// allocated at construction; the per-frame calls never allocate.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "dsp/bass_enhancer.h"
#include "dsp/detectors.h"
#include "dsp/fir.h"
#include "dsp/gain_hold.h"
#include "dsp/iir.h"
#include "dsp/rate_convert.h"
#include "engine/buses.h"
#include "params/control_table.h"

namespace torvalen::dsp {

// Level of the processors' multiband section: the band references share it, and the
// output stage's x64 brings it to digital full scale (2^25 x 64 = 2^31).
inline constexpr float section_level = 33554432.0f;
// Samples arriving on a bus are clamped to +-2^35 (+24 dBFS): far above anything a
// device, file or generator delivers, low enough that squared sums stay finite.
inline constexpr float input_clamp = 34359738368.0f;

// 20 log10 of a gain holder (0 dB for 1).
float gain_dB(float gain);

// ---- Failsafe and source ----

// The Player's side of the failsafe hand-off. Both calls come from the engine thread
// inside the processor's block and must return at once.
class FailsafePlayer {
public:
    virtual void failsafe_start() = 0;
    virtual void failsafe_stop() = 0;

protected:
    ~FailsafePlayer() = default;
};

// The hand-off record: the Player registers itself (any thread); the flag says whether
// the processor currently plays the Player in place of its input.
struct FailsafeHandOff {
    std::atomic<FailsafePlayer*> player{nullptr};
    std::atomic<uint32_t> failsafe{0};
};

struct SourceParams {
    uint32_t input_select = 0;  // bus 0...3
    bool failsafe_on = false;
    float failsafe_threshold = 0.01f;  // linear factor
};

// Picks the source bus (the selected one, or the Player while the failsafe is active),
// runs the failsafe detector over it and fills bus 4 at 48 kHz: a copy of a 48 kHz bus,
// the 4:1 decimation of a 192 kHz bus, silence for a bus without a usable rate. Every
// non-finite sample becomes 0 and every sample is clamped to +-input_clamp, so nothing
// from outside can poison the chain's state.
class SourceStage {
public:
    void fill(const Buses& buses, const SourceParams& p, FailsafeHandOff& hand_off);
    bool failsafe_active() const { return active_; }
    bool failsafe_engaged() const { return engaged_; }
    float failsafe_mean_square() const { return ms_; }

private:
    void detect(const float* x, uint32_t count, uint32_t rate_Hz, float threshold);

    float ms_ = 1.0f;  // mean square in full-scale units
    bool active_ = false, engaged_ = false;
    Decimator down_;
};

// ---- Input stage ----

enum class BandLimit : uint32_t { fm = 0, am_8k = 1, am_5k = 2, hd = 3 };  // "LPF"
enum class HighPassCorner : uint32_t { hz20 = 0, hz50 = 1, hz80 = 2, hz200 = 3 };  // "HPF"

struct InputParams {
    float fine_l = 1.0f, fine_r = 1.0f;  // "L Fine", "R Fine" factors
    bool swap = false, invert_l = false, invert_r = false, mono = false;
    uint32_t high_pass = 0;  // HighPassCorner
    uint32_t low_pass = 0;   // BandLimit
    bool bass_enhance = false;
    BassEnhancerParams bass;
};

class OutputStage;

class InputStage {
public:
    InputStage();
    void process(float& l, float& r, const InputParams& p, LevelHolders& meter, int& latency);
    // process() over a block of interleaved frames (its band-limiting filter over the
    // whole block); `latency` grows by the stage's latency once.
    // `measure` off leaves the level meter out (nobody sees it).
    void process_block(float* interleaved, uint32_t frames, const InputParams& p, LevelHolders& meter, int& latency,
                       bool measure = true, bool keep = false);
    // Measures the frames the meter has gathered; call at the end of every block.
    void flush_meter(LevelHolders& meter) { level_.flush(meter.value); }

    // Blocks of up to this many frames can keep their meter's frames (process_block with
    // `keep`: kept instead of measured) to be measured after the output stage, beside
    // the output meter's (measure_meters).
    static constexpr uint32_t kept_capacity = 4096;

private:
    friend void measure_meters(InputStage&, LevelHolders&, OutputStage&, const float*, uint32_t);
    LevelDetector level_;
    std::vector<float> kept_l_, kept_r_;  // kept_capacity frames each
    Fir<53> fm_;
    Fir<101> hd_;
    std::array<HighPass2<double>, 3> hp20_, hp50_;
    std::array<HighPass2<float>, 3> hp80_, hp200_;
    BassEnhancer bass_;
};

// ---- Pre-emphasis and equaliser ----

enum class EmphasisMode : uint32_t { off = 0, pure = 1, boost = 2 };

class PreEmphasis {
public:
    PreEmphasis();
    // `time_constant` 0, 1, 2 = 25, 50, 75 us.
    void process(float& l, float& r, uint32_t mode, uint32_t time_constant, int& latency);
    // process() over a block of interleaved frames; `latency` grows once.
    void process_block(float* interleaved, uint32_t frames, uint32_t mode, uint32_t time_constant, int& latency);

private:
    Fir<11> pure_50_;
    Fir<13> pure_75_;
    Fir<31> boost_25_;
    Fir<33> boost_50_;
    Fir<37> boost_75_;
};

// Four peaking sections at 192 kHz between a 4x interpolator and the single-phase
// decimator. The sections take their coefficients from the bands' k1, k2, k3.
class ParametricEq {
public:
    static constexpr int bands = 4;
    static constexpr int latency_frames = 29;
    ParametricEq();
    void configure(const std::array<params::FilterBand, bands>& bands);
    void process(float& l, float& r, int& latency);

private:
    Interpolator up_;
    std::array<Resonator<double>, bands> sections_;
    std::array<double, bands> gain_{};
    SinglePhaseDecimator down_;
};

// ---- Output stage ----

enum class PowerLimiterMode : uint32_t { off = 0, clip_on = 1, clip_off = 2 };
enum class PowerLevel : uint32_t { r128_23 = 0, r128_18 = 1, bs412 = 2 };

struct OutputParams {
    uint32_t low_pass = 0;     // BandLimit ("LPF")
    uint32_t power_mode = 0;   // PowerLimiterMode
    float power_drive = 1.0f;  // "Power Limiter Drive" factor
    uint32_t power_level = 0;  // PowerLevel
    bool custom_level = false;
    float level = 1.0f, fine = 1.0f;  // "Level (dB)", "Level Fine (dB)" factors
    int release_index = 31;           // "Power Limiter Timing" Release, into table B
    bool delay_on = true;
    uint32_t de_emphasis = 0;  // "Off", "50us", "75us"
};

// The power limiter's target level tau in full-scale units.
float power_target(const OutputParams& p);

class OutputStage {
public:
    static constexpr int safety_clipper_latency_frames = BlockMinSmoother::delay_samples / oversampling +
                                                         interpolate_decimate_delay_frames;
    static_assert(safety_clipper_latency_frames == 61);

    OutputStage();
    // Takes the section's output (level 2^25) to full scale and on to the output.
    void process(float& l, float& r, const OutputParams& p, int& latency);
    // process() over a block of interleaved frames, then the meter's flush; returns the
    // latency of the block's last frame (0 for no frames).
    // `measure` off leaves the level meter out (nobody sees it).
    int process_block(float* interleaved, uint32_t frames, const OutputParams& p, bool measure = true);

    // Meter holders: output levels, power limiter applied-gain minimum.
    LevelHolders& meter() { return meter_; }
    // Measures the frames the meter has gathered; call at the end of every block.
    void flush_meter() { level_.flush(meter_.value); }
    float take_power_gain_min();
    float power_gain() const { return smoothed_; }

private:
    int run(float* interleaved, uint32_t frames, const OutputParams& p, bool measure);
    void scale(float& l, float& r, const OutputParams& p);
    void safety_clip(std::size_t i);
    void finish(float& l, float& r, const OutputParams& p, int& latency, bool measure);

    Fir<53> fm_;
    Fir<101> am_8k_, hd_;
    Fir<211> am_5k_;
    BlockInterpolator up_;
    BlockMinSmoother smoother_;
    BlockDecimator down_;
    PowerDetector loudness_{true}, power_{false};
    float smoothed_ = 1.0f;  // power limiter gain
    float gain_min_ = 1.0f;
    FirstOrderSection<float> de_50_, de_75_;
    LevelDetector level_;
    LevelHolders meter_;
    friend void measure_meters(InputStage&, LevelHolders&, OutputStage&, const float*, uint32_t);
};

// The input stage's kept meter frames of a block (process_block with `keep`) and the output
// stage's frames of the same block (`out`, interleaved, after process_block with
// `measure` off) measured side by side as a pair of level detectors: the same readings
// as measuring each in its stage, for about the cost of one.
void measure_meters(InputStage& in, LevelHolders& in_meter, OutputStage& out_stage, const float* out,
                    uint32_t frames);

}  // namespace torvalen::dsp
