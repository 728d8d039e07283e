// The multiband section measured: latencies, compressor, stereo enhancer, gain
// application in both latency modes, and the high-frequency clipper.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/hf_clipper.h"
#include "dsp/multiband.h"
#include "dsp/rate_tables.h"
#include "tests/dsp/signal_helpers.h"

namespace torvalen::dsp {
namespace {

using test::measure_sine;
constexpr double fs_Hz = 48000.0;
constexpr double pi = std::numbers::pi;

MultibandParams params(CrossoverKind filter, MultibandLatency latency) {
    MultibandParams p = default_multiband_params();
    p.filter = filter;
    p.latency = latency;
    return p;
}

// The section's impulse response (left channel) and the latency it reports.
std::vector<float> impulse_response(MultibandSection& mb, int frames, int& reported) {
    std::vector<float> h(frames);
    for (int n = 0; n < 4000; ++n) {  // let the gain smoothers settle on silence
        float l = 0, r = 0;
        int latency = 0;
        mb.process(l, r, latency);
    }
    for (int n = 0; n < frames; ++n) {
        float l = n == 0 ? 1.0e8f : 0.0f, r = 0.0f;
        int latency = 0;
        mb.process(l, r, latency);
        h[n] = l / 1.0e8f;
        reported = latency;
    }
    return h;
}

int peak_index(const std::vector<float>& h) {
    return static_cast<int>(std::max_element(h.begin(), h.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }) -
                            h.begin());
}

TEST(MultibandSection, LinPhaseHighLatencyIsSymmetricAbout556Plus2077) {
    auto mb = std::make_unique<MultibandSection>();
    mb->configure(params(CrossoverKind::lin_phase, MultibandLatency::high));
    int reported = 0;
    const auto h = impulse_response(*mb, 6000, reported);
    EXPECT_EQ(reported, 556 + 2077);
    EXPECT_EQ(peak_index(h), 556 + 2077);
    for (int k = 1; k < 1200; ++k) EXPECT_NEAR(h[2633 - k], h[2633 + k], 2e-6) << k;
    for (int n = 0; n < 2633 - 556 - 59; ++n) ASSERT_EQ(h[n], 0.0f) << n;  // nothing arrives early
}

TEST(MultibandSection, LowLatencyAddsItsTrueDelay) {
    // Low latency: 192 sub-samples of look-ahead (48 frames) plus 29 frames of rate
    // conversion. The counter reports what the signal measures.
    auto mb = std::make_unique<MultibandSection>();
    mb->configure(params(CrossoverKind::lin_phase, MultibandLatency::low));
    int reported = 0;
    const auto h = impulse_response(*mb, 2000, reported);
    EXPECT_EQ(reported, 556 + MultibandSection::low_latency_frames);
    EXPECT_EQ(MultibandSection::low_latency_frames, 77);
    EXPECT_EQ(peak_index(h), 556 + 77);
    for (int k = 1; k < 600; ++k) EXPECT_NEAR(h[633 - k], h[633 + k], 2e-6) << k;
}

TEST(MultibandSection, HighFrequencyClipperAdds69AndOffBypassesIt) {
    auto mb = std::make_unique<MultibandSection>();
    MultibandParams p = params(CrossoverKind::lin_phase, MultibandLatency::high);
    p.hf_clip = true;
    mb->configure(p);
    int reported = 0;
    const auto h = impulse_response(*mb, 6000, reported);
    EXPECT_EQ(reported, 556 + 2077 + 69);
    EXPECT_EQ(peak_index(h), 556 + 2077 + 69);
}

TEST(MultibandSection, GardeLatenciesAreTheReportedFigures) {
    for (auto [kind, split] : {std::pair{CrossoverKind::garde_3rd, 130}, std::pair{CrossoverKind::garde_5th, 154}}) {
        auto mb = std::make_unique<MultibandSection>();
        mb->configure(params(kind, MultibandLatency::high));
        float l = 0, r = 0;
        int latency = 0;
        mb->process(l, r, latency);
        EXPECT_EQ(latency, split + 2077);
    }
}

TEST(MultibandSection, UnityGainsPassTheSignalThroughTheRateConverter) {
    // Compressor and enhancer off, pending gains 1: the section is the crossover's delay
    // plus the rate converter's response, in both modes and for every crossover.
    for (auto kind : {CrossoverKind::lin_phase, CrossoverKind::garde_3rd, CrossoverKind::garde_5th}) {
        for (auto mode : {MultibandLatency::high, MultibandLatency::low}) {
            auto mb = std::make_unique<MultibandSection>();
            mb->configure(params(kind, mode));
            int latency = 0;
            const auto m = measure_sine([&](float& l, float& r) { mb->process(l, r, latency); }, 1000.0, fs_Hz, 9600,
                                        9600);
            EXPECT_NEAR(m.gain_dB, 0.0, 0.3) << int(kind) << " " << int(mode);
        }
    }
}

// The wide kernels (AVX2 / AVX-512, fused multiply-adds) round differently from the
// baseline but agree with it within 1e-6 of the signal's peak (this section alone has
// no limiter, so the peaks stand a few times above its level of 2^25).
TEST(MultibandSection, WideAndBaselineKernelsAgree) {
    auto wide = std::make_unique<MultibandSection>();
    auto base = std::make_unique<MultibandSection>();
    MultibandParams p = default_multiband_params();
    p.comp_enable = p.st_enh_enable = true;
    wide->configure(p);
    base->configure(p);
    base->set_wide_kernels(false);
    if (!wide->wide_kernels()) GTEST_SKIP() << "no AVX2 on this processor";
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.0f, 3.0e7f);
    int la = 0, lb = 0;
    float worst = 0.0f, peak = 0.0f;
    for (int n = 0; n < 20000; ++n) {
        const float x = noise(rng), y = noise(rng);
        float l1 = x, r1 = y, l2 = x, r2 = y;
        wide->process(l1, r1, la);
        base->process(l2, r2, lb);
        worst = std::max({worst, std::fabs(l1 - l2), std::fabs(r1 - r2)});
        peak = std::max({peak, std::fabs(l2), std::fabs(r2)});
    }
    EXPECT_GT(peak, 33554432.0f);
    EXPECT_LE(worst, 1e-6f * peak);
    const auto a = wide->take_meters(), b = base->take_meters();
    for (int k = 0; k < band_count; ++k) {
        EXPECT_NEAR(a.comp_gain[k], b.comp_gain[k], 1e-5f);
        EXPECT_NEAR(a.width[k], b.width[k], 1e-5f);
    }
}

// --- compressor -----------------------------------------------------------------------------

// One frame stage by stage; `inspect(before, after)` sees each sub-sample's band samples
// around the compressor and enhancer.
template <typename Inspect>
void run_frame(MultibandSection& mb, float l, float r, Inspect&& inspect) {
    int latency = 0;
    mb.split(l, r, latency);
    mb.upsample();
    for (int j = 0; j < oversampling; ++j) {
        const BandFrame before = mb.sub_sample(j);
        mb.compress_and_enhance(j);
        inspect(before, mb.sub_sample(j));
        mb.apply_gains(j);
    }
    mb.sum_and_decimate(l, r, latency);
}

// RMS sqrt(mean(L^2 + R^2)) of one band before and after the compressor over the last
// quarter of `frames` frames of a sine (L = R).
struct BandLevels {
    double in, out;
};
BandLevels compressor_levels(MultibandSection& mb, double f, double amplitude, int band, int frames) {
    double sum_in = 0, sum_out = 0;
    int count = 0;
    for (int n = 0; n < frames; ++n) {
        const float x = static_cast<float>(amplitude * std::sin(2 * pi * f * n / fs_Hz));
        run_frame(mb, x, x, [&](const BandFrame& before, const BandFrame& after) {
            if (n < frames * 3 / 4) return;
            sum_in += double(before.l[band]) * before.l[band] + double(before.r[band]) * before.r[band];
            sum_out += double(after.l[band]) * after.l[band] + double(after.r[band]) * after.r[band];
            ++count;
        });
    }
    return {std::sqrt(sum_in / count), std::sqrt(sum_out / count)};
}

TEST(MultibandCompressor, BandBelowItsReferenceIsNotCompressed) {
    MultibandParams p = default_multiband_params();
    p.comp_enable = true;
    auto on = std::make_unique<MultibandSection>();
    auto off = std::make_unique<MultibandSection>();
    on->configure(p);
    p.comp_enable = false;
    off->configure(p);
    // 1.5 kHz in band M2 at half its reference (and far below every other band's).
    const double ref = default_multiband_params().reference[band_m2];
    const double amplitude = 0.5 * ref;
    int la = 0, lb = 0;
    double worst = 0;
    for (int n = 0; n < 48000; ++n) {
        float l = static_cast<float>(amplitude * std::sin(2 * pi * 1500 * n / fs_Hz)), r = l;
        float l2 = l, r2 = r;
        on->process(l, r, la);
        off->process(l2, r2, lb);
        worst = std::max(worst, std::fabs(l - l2 * p.comp_output) / amplitude);
    }
    EXPECT_LT(worst, 1e-5);  // the only gain is "Comp Output"
    const auto meters = on->take_meters();
    for (int b = 0; b < band_count; ++b) EXPECT_EQ(meters.comp_gain[b], 1.0f) << b;
}

TEST(MultibandCompressor, BetweenReferenceAndDriveTheBandIsHeldAtItsReference) {
    // rho in (ref, ref / drive): the envelope sits on its floor ref and the gain is ref/rho.
    MultibandParams p = default_multiband_params();
    p.comp_enable = true;
    p.comp_output = 1.0f;
    auto mb = std::make_unique<MultibandSection>();
    mb->configure(p);
    const double ref = p.reference[band_m2];
    const auto lv = compressor_levels(*mb, 1500, 1.5 * ref, band_m2, 96000);
    EXPECT_NEAR(lv.in / ref, 1.5, 0.03);
    EXPECT_NEAR(lv.out / ref, 1.0, 0.01);
    EXPECT_LT(mb->take_meters().comp_gain[band_m2], 0.7f);
}

TEST(MultibandCompressor, AboveTheDriveRangeTheGainIsTheDrive) {
    // rho > ref / drive: the envelope follows t = rho * drive, so the gain is the drive.
    MultibandParams p = default_multiband_params();
    p.comp_enable = true;
    p.comp_output = 1.0f;
    auto mb = std::make_unique<MultibandSection>();
    mb->configure(p);
    const double ref = p.reference[band_m2];
    const auto lv = compressor_levels(*mb, 1500, 5.0 * ref, band_m2, 144000);  // 3 s: attack 2^-15 per sub-sample
    EXPECT_NEAR(lv.out / lv.in, p.comp[band_m2].drive, 0.01 * p.comp[band_m2].drive);
}

// --- stereo enhancer ------------------------------------------------------------------------

TEST(MultibandEnhancer, KeepsTheSumAndWidensTheDifferenceUpToItsMaximum) {
    MultibandParams p = default_multiband_params();
    p.st_enh_enable = true;
    auto mb = std::make_unique<MultibandSection>();
    mb->configure(p);
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    double min_w = 1e9;
    auto run = [&](int frames, float level) {
        for (int n = 0; n < frames; ++n) {
            const float x = level * noise(rng), y = level * noise(rng);
            run_frame(*mb, x, 0.6f * x + 0.4f * y, [&](const BandFrame& before, const BandFrame& after) {
                for (int b = 0; b < band_count; ++b) {
                    const double m_in = double(before.l[b]) + before.r[b], m_out = double(after.l[b]) + after.r[b];
                    const double s_in = double(before.l[b]) - before.r[b], s_out = double(after.l[b]) - after.r[b];
                    const double scale = std::fabs(before.l[b]) + std::fabs(before.r[b]);
                    ASSERT_NEAR(m_out, m_in, 1e-5 * scale * p.st_enh[b].max_width) << b;
                    if (std::fabs(s_in) <= 1e-3 * scale) continue;  // the ratio would be rounding noise
                    const double w = s_out / s_in;
                    min_w = std::min(min_w, w);
                    ASSERT_LE(w, p.st_enh[b].max_width * (1 + 1e-3)) << b;
                    if (b >= band_m1) {  // "St Enh Width" 0 dB
                        ASSERT_NEAR(w, 1.0, 1e-3) << b;
                    }
                }
            });
        }
    };
    run(96000, 1.0e7f);  // a steady programme: the platform catches up with the envelope
    mb->take_meters();
    run(4800, 1.0e7f);
    const auto steady = mb->take_meters();
    EXPECT_GE(min_w, 1.0 - 1e-3);  // never narrower
    run(4800, 8.0e7f);             // +18 dB: the envelope leaps above its platform
    const auto step = mb->take_meters();
    EXPECT_EQ(step.width[band_h2], p.st_enh[band_h2].max_width);
    EXPECT_GT(step.width[band_h2], steady.width[band_h2] * 2.0f);
    EXPECT_EQ(step.width[band_m1], 1.0f);
    EXPECT_EQ(step.width[band_b], 1.0f);
}

TEST(MultibandEnhancer, MonoPassesUnchanged) {
    MultibandParams p = default_multiband_params();
    p.st_enh_enable = true;
    auto mb = std::make_unique<MultibandSection>();
    mb->configure(p);
    for (int n = 0; n < 4800; ++n) {
        const float x = static_cast<float>(3.0e8 * std::sin(2 * pi * 440 * n / fs_Hz) * (n % 2000 < 1000 ? 1 : 0.1));
        run_frame(*mb, x, x, [&](const BandFrame& before, const BandFrame& after) {
            for (int b = 0; b < band_count; ++b) {
                ASSERT_EQ(after.l[b], after.r[b]);
                ASSERT_NEAR(after.l[b], before.l[b], 1e-6f * std::fabs(before.l[b]));
            }
        });
    }
}

// --- gain application ------------------------------------------------------------------------

// Output of a section whose limiters request `gain(n, j)` for every band.
template <typename Gain>
std::vector<float> limited_output(MultibandLatency mode, const std::vector<float>& x, Gain&& gain) {
    auto mb = std::make_unique<MultibandSection>();
    mb->configure(params(CrossoverKind::lin_phase, mode));
    std::vector<float> y(x.size());
    for (std::size_t n = 0; n < x.size(); ++n) {
        int j = 0;
        float l = x[n], r = -x[n];
        int latency = 0;
        mb->process(
            l, r,
            LimiterCalls{[&](SubSampleBands*, SubSampleGains* gains, std::size_t) {
                             for (PendingGains& g : gains[0]) {
                                 const float v = gain(static_cast<int>(n), j++);
                                 g.l.fill(v);
                                 g.r.fill(v);
                             }
                         },
                         [](std::size_t, float* g, std::size_t n) { std::fill(g, g + 2 * n, 1.0f); }},
            latency);
        EXPECT_EQ(r, -l);
        y[n] = l;
    }
    return y;
}

std::vector<float> sine(double f, double amplitude, int frames) {
    std::vector<float> x(frames);
    for (int n = 0; n < frames; ++n) x[n] = static_cast<float>(amplitude * std::sin(2 * pi * f * n / fs_Hz));
    return x;
}

TEST(MultibandGains, SteadyPendingGainScalesTheOutputInBothModes) {
    const auto x = sine(1000.0, 1.0e8, 12000);
    for (auto mode : {MultibandLatency::high, MultibandLatency::low}) {
        const auto unity = limited_output(mode, x, [](int, int) { return 1.0f; });
        const auto half = limited_output(mode, x, [](int, int) { return 0.5f; });
        double worst = 0;
        for (std::size_t n = 6000; n < x.size(); ++n) worst = std::max(worst, std::fabs(half[n] - 0.5 * unity[n]));
        EXPECT_LT(worst, 1e-4 * 1.0e8) << int(mode);
    }
}

TEST(MultibandGains, HighLatencyGainArrivesWithTheAudioThatAskedForIt) {
    // A low frequency sine (long half-cycles) with a gain of 0.25 requested for one frame
    // at frame t: the limiters see the band samples as they are at t, so the output is
    // reduced over exactly the half-cycle holding those samples, 2077 frames later (the
    // look-ahead of 2048 frames plus 29 of rate conversion).
    const double f = 50.0;
    const auto x = sine(f, 1.0e8, 12000);
    const int t = 5000;
    const auto unity = limited_output(MultibandLatency::high, x, [](int, int) { return 1.0f; });
    const auto dip = limited_output(MultibandLatency::high, x, [&](int n, int) { return n == t ? 0.25f : 1.0f; });
    int first = -1, last = -1;
    for (std::size_t n = 0; n < x.size(); ++n) {
        if (std::fabs(dip[n] - unity[n]) > 1e-3 * 1.0e8) {
            if (first < 0) first = static_cast<int>(n);
            last = static_cast<int>(n);
        }
    }
    const int delay = MultibandSection::high_latency_frames;
    ASSERT_GE(first, 0);
    // The held half-cycle (480 frames at 50 Hz) contains t + delay; the rate converter
    // smears its edges by a few frames.
    EXPECT_LE(first, t + delay);
    EXPECT_GE(last, t + delay);
    EXPECT_LE(last - first, 480 + 30);
    EXPECT_GE(last - first, 480 - 30);
    // Inside the half-cycle the gain is the requested 0.25.
    const int mid = (first + last) / 2;
    EXPECT_NEAR(dip[mid] / unity[mid], 0.25, 0.01);
}

TEST(MultibandGains, LowLatencyDipHoldsThenRecovers) {
    // Constant input (all in band B): one sub-sample asks for 0.5. Bands M2, M1, B hold
    // the lower gain for 192 sub-samples and then rise at the band's clip-release rate;
    // the smoothed gain reaches the audio delayed by the same look-ahead.
    std::vector<float> x(8000, 1.0e8f);
    const int t = 6000;
    const auto unity = limited_output(MultibandLatency::low, x, [](int, int) { return 1.0f; });
    const auto dip = limited_output(MultibandLatency::low, x, [&](int n, int j) { return n == t && j == 0 ? 0.5f : 1.0f; });
    double lowest = 1.0;
    int lowest_at = 0;
    for (std::size_t n = 5000; n < x.size(); ++n) {
        const double ratio = dip[n] / unity[n];
        if (ratio < lowest) {
            lowest = ratio;
            lowest_at = static_cast<int>(n);
        }
    }
    EXPECT_NEAR(lowest, 0.5, 0.02);
    // The deepest point meets the audio that asked for it.
    const int delay = MultibandSection::low_latency_frames;
    EXPECT_NEAR(lowest_at, t + delay, 5);
    // B's "Lim Clip Release" 8 (index 16): rise 2^-10 per sub-sample, about 180 frames
    // from 0.5 back to 1; well recovered 500 frames after the hold ended.
    EXPECT_NEAR(dip[t + delay + 48 + 500] / unity[t + delay + 48 + 500], 1.0, 1e-3);
    // The gain starts falling when it is requested, 48 frames (the look-ahead) before
    // that audio arrives, so half-way through the look-ahead it is already well down.
    for (int n = 5000; n < t; ++n) ASSERT_EQ(dip[n], unity[n]) << n;
    EXPECT_LT(dip[t + delay - 24] / unity[t + delay - 24], 0.75);
}

// --- high-frequency clipper ------------------------------------------------------------------

TEST(HighFrequencyClipper, ClipGainBringsTheSumToTheClipLevel) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> v(-1.0e8f, 1.0e8f);
    const float c = HighFrequencyClipper::clip_level;
    for (int i = 0; i < 100000; ++i) {
        const float z = v(rng), y = v(rng) * 0.4f;
        const float g = HighFrequencyClipper::clip_gain(z, y);
        if (std::fabs(z + y) <= c) {
            ASSERT_EQ(g, 1.0f);
        } else if (g > 0.0f) {
            ASSERT_NEAR(std::fabs(g * z + y), c, 8.0f) << z << " " << y;
        } else {
            ASSERT_GE(std::fabs(y), c);  // only y alone beyond the level leaves nothing for z
        }
    }
}

TEST(HighFrequencyClipper, QuietSignalPassesWithThe25usHighFrequencyLift) {
    // Unclipped, the stage is y + z: the input plus the 57-tap path, i.e. close to a 25 us
    // pre-emphasis, delayed 69 frames.
    for (double f : {1000.0, 4000.0, 8000.0, 10000.0, 14000.0}) {
        HighFrequencyClipper hf;
        int latency = 0;
        const auto m = measure_sine([&](float& l, float& r) { hf.process(l, r, latency); }, f, fs_Hz, 480, 48000, 1.0e6);
        const double w = 2 * pi * f * 25e-6;
        EXPECT_NEAR(m.gain_dB, 10 * std::log10(1 + w * w), 0.5) << f;
        const double delay = -m.phase_rad / (2 * pi * f / fs_Hz);
        EXPECT_NEAR(std::remainder(delay - 69.0, fs_Hz / f), 0.0, 0.02) << f;
        EXPECT_EQ(latency % 69, 0);
    }
}

TEST(HighFrequencyClipper, LimitsZPlusYToTheClipLevelAndLeavesTheLowFrequencies) {
    // 1 kHz at 0.6 * 2^25 with 11.37 kHz at 0.25 * 2^25: the lift (x2 at 11 kHz) would take
    // the sum to about 1.1 * 2^25; the clipper holds it at 2^25 by reducing the high-
    // frequency path only. (The two tones are not harmonically related, so the gain's
    // modulation products do not land on 1 kHz.)
    const double c = HighFrequencyClipper::clip_level;
    HighFrequencyClipper hf, quiet;
    double peak = 0;
    std::complex<double> low_out{}, low_quiet{};
    int latency = 0;
    for (int n = 0; n < 48000; ++n) {
        const double lf = std::sin(2 * pi * 1000 * n / fs_Hz), hf_ = std::sin(2 * pi * 11370 * n / fs_Hz);
        float l = static_cast<float>(c * (0.6 * lf + 0.25 * hf_)), r = -l;
        float ql = static_cast<float>(1e-3 * c * (0.6 * lf + 0.25 * hf_)), qr = ql;
        hf.process(l, r, latency);
        quiet.process(ql, qr, latency);
        if (n < 2000) continue;
        peak = std::max(peak, double(std::fabs(l)));
        EXPECT_EQ(r, -l);
        low_out += double(l) * std::polar(1.0, -2 * pi * 1000 * n / fs_Hz);
        low_quiet += double(ql) * 1e3 * std::polar(1.0, -2 * pi * 1000 * n / fs_Hz);
    }
    EXPECT_LT(peak, 1.03 * c);  // the fold-back overshoots the 192 kHz clip slightly
    EXPECT_GT(peak, 0.97 * c);
    EXPECT_NEAR(test::dB(std::abs(low_out) / std::abs(low_quiet)), 0.0, 0.3);  // the 1 kHz part is kept
}

}  // namespace
}  // namespace torvalen::dsp
