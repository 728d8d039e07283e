// Pre-emphasis high-frequency clipper, the last stage of the multiband section.
//
// The 57-tap high-frequency path z (zero phase about its centre, sum 0) carries the part
// of the 25 us pre-emphasis above the flat response: y + z, y the frame delayed to z's
// centre, follows the 25 us curve to within half a dB up to 14 kHz. The stage
// outputs y + z, with z alone reduced wherever the sum would pass 2^25: at 192 kHz the
// gain that brings z + y back to +-2^25 is requested for z, applied per half-cycle of z
// through a 48-entry gain hold, and z is folded back to 48 kHz.
//
// Delays: z = 28 (FIR) + 12 (48 sub-samples of hold) + 29 (interpolate and decimate);
// y = 28 + 41. Both paths 69 frames.
#pragma once

#include "dsp/fir.h"
#include "dsp/gain_hold.h"
#include "dsp/rate_convert.h"

namespace torvalen::dsp {

class HighFrequencyClipper {
public:
    static constexpr float clip_level = 33554432.0f;  // 2^25, the section's output level
    static constexpr int hold_entries = 48;           // 192 kHz sub-samples
    static constexpr int latency_frames = 69;

    HighFrequencyClipper();

    // In place; adds the stage's latency to `latency_frames`.
    void process(float& l, float& r, int& latency_frames_counter);
    // A run of n <= max_run interleaved frames in place (the high path's filter and the
    // fold-back over the whole run); adds the stage's latency once.
    static constexpr std::size_t max_run = BlockDecimator::max_run;
    void process_run(float* interleaved, std::size_t n, int& latency_frames_counter);

    // The gain that brings z + y to the clip level by scaling z alone (1 when the sum is
    // within +-2^25).
    static float clip_gain(float z, float y) {
        if (z + y > clip_level && z >= clip_level - y) {
            const float g = (clip_level - y) / z;
            return g > 0.0f ? g : 0.0f;
        }
        if (z + y < -clip_level && -z >= y + clip_level) {
            const float g = (y + clip_level) / -z;
            return g > 0.0f ? g : 0.0f;
        }
        return 1.0f;
    }

private:
    static constexpr std::size_t centre_frames = 28;  // the 57-tap FIR's delay
    static constexpr std::size_t y_extra_frames = 41;
    static_assert(centre_frames + y_extra_frames == latency_frames);
    static_assert(centre_frames + hold_entries / oversampling + interpolate_decimate_delay_frames ==
                  latency_frames);

    Fir<57> high_path_;
    DelayLine centre_delay_, y_delay_;
    BlockInterpolator up_z_, up_y_;
    HalfCycleGainHoldMin hold_;
    BlockDecimator down_;
    alignas(64) float z_[2 * max_run] = {};  // a run's high path, interleaved
    // A run's upsampled high path and its clip gains, left then right.
    alignas(64) float sub_z_[2][oversampling * max_run] = {};
    alignas(64) float sub_gain_[2][oversampling * max_run] = {};
};

}  // namespace torvalen::dsp
