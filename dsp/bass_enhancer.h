// Bass enhancer, the last step of both processors' input stage. It removes content below
// 50 Hz, splits the signal at 200 Hz, analyses 50-183 Hz with sixteen 1/8-octave band-
// passes u_0...u_15 and raises each band of the upper octave (u_8...u_15) toward the level
// of the band one octave below it, by at most the "Boost" factor:
//   out = hi + sum_{i<8} u_i + sum_{i<8} g_i u_{i+8},
//   g_i = min(boost, max(1, rho_i / max(1, rho_{i+8}))) per channel,
// rho the bands' RMS levels. With "High Lat" the upper bands pass max-variant half-cycle
// gain holds (2048 entries: they change gain only at zero crossings and lag 2048 frames)
// and the rest of the output passes 2028-frame delay lines.
//
// Thread: the engine thread, inside the processor's per-block call. Allocates only at
// construction.
#pragma once

#include <array>

#include "dsp/fir.h"
#include "dsp/gain_hold.h"
#include "dsp/iir.h"

namespace torvalen::dsp {

struct BassEnhancerParams {
    int timing_index = 24;      // "Timing", n_T = 2v (default 12)
    float boost = 5.6234132f;   // "Boost" factor 10^(v/20) (default 15 dB)
    bool high_latency = false;  // "Low Lat" (false) / "High Lat" (true)
};

class BassEnhancer {
public:
    static constexpr int bands = 16;
    static constexpr int hold_entries = 2048;
    static constexpr int delay_frames_high_latency = 2028;

    BassEnhancer();

    // One 48 kHz frame in place. Adds nothing to the processor's latency counter: the
    // delay of "High Lat" (delay_frames()) is left out of the reported latency.
    void process(float& l, float& r, const BassEnhancerParams& params);

    // Delay of the output (all but the upper bands) for the given mode, in frames.
    static int delay_frames(bool high_latency) { return high_latency ? delay_frames_high_latency : 0; }

    // Centre frequency of band-pass i: 50 * 1.0905077^i Hz (1/8 octave apart).
    static double band_centre_Hz(int i);

private:
    std::array<HighPass2<double>, 3> hp50_;
    std::array<LowPass2<double>, 3> lp200_;
    std::array<HighPass2<double>, 3> hp200_;
    FirstOrderSection<double> lp200_real_, hp200_real_;
    std::array<Resonator<double>, bands> band_pass_;
    std::array<std::array<float, 2>, bands> ms_{};  // mean square per band and channel
    std::array<HalfCycleGainHoldMax, bands / 2> hold_;
    DelayLine hi_delay_, low_bands_delay_;
};

}  // namespace torvalen::dsp
