// Level, loudness and power detectors.
#pragma once

#include <array>

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

// Meter level detector for a stream at rate R: 4x true peak, a peak envelope that rises
// fast and decays freely, and RMS through a 0.64 Hz double low-pass cascade. Every value
// is floored at -160 dB so later logarithms never see 0.
class LevelDetector {
public:
    explicit LevelDetector(double rate_Hz = chain_rate_Hz);

    LevelReading process(float l, float r);

private:
    Interpolator interpolator_;
    float attack_, decay_;
    float envelope_[2] = {level_floor, level_floor};
    LowPass2<double> rms1_, rms2_;
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
