// Gain applicators and level/loudness/power detectors, measured on signals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "dsp/detectors.h"
#include "dsp/gain_hold.h"
#include "dsp/iir.h"
#include "dsp/simd_kernels.h"
#include "tests/dsp/signal_helpers.h"

namespace torvalen::dsp {
namespace {

constexpr double fs_Hz = 48000.0;

std::vector<float> sine(double f, double amplitude, int n, double fs = fs_Hz, double phase = 0.3) {
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) x[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * f * i / fs + phase));
    return x;
}

// Half-cycles of x: the index where each run of equal sign (>= 0 or < 0) begins.
std::vector<int> half_cycle_starts(const std::vector<float>& x) {
    std::vector<int> s{0};
    for (std::size_t i = 1; i < x.size(); ++i)
        if ((x[i] >= 0) != (x[i - 1] >= 0)) s.push_back(static_cast<int>(i));
    s.push_back(static_cast<int>(x.size()));
    return s;
}

template <HoldKind Kind>
void check_hold_against_half_cycles() {
    constexpr int look_ahead = 100;
    const std::vector<float> x = sine(1000.0, 1.0e8, 4800);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> pick(0.2f, 1.0f);
    std::vector<float> g(x.size());
    for (auto& v : g) v = pick(rng);

    HalfCycleGainHold<Kind> hold(look_ahead);
    std::vector<float> out(x.size());
    for (std::size_t n = 0; n < x.size(); ++n) {
        float l = x[n], r = -x[n];
        hold.process(l, r, g[n], g[n]);
        out[n] = l;
        EXPECT_EQ(r, -l);  // the right channel mirrors the left
    }
    const auto starts = half_cycle_starts(x);
    for (std::size_t h = 1; h + 1 < starts.size(); ++h) {  // skip the first, partial half-cycle
        float want = g[starts[h]];
        for (int i = starts[h]; i < starts[h + 1]; ++i)
            want = Kind == HoldKind::min ? std::min(want, g[i]) : std::max(want, g[i]);
        for (int i = starts[h]; i < starts[h + 1] && i + look_ahead < static_cast<int>(x.size()); ++i)
            ASSERT_FLOAT_EQ(out[i + look_ahead], x[i] * want) << "half-cycle " << h << " sample " << i;
    }
}

TEST(HalfCycleGainHold, EachHalfCycleGetsItsMinimumRequestLookAheadSamplesLater) {
    check_hold_against_half_cycles<HoldKind::min>();
}

TEST(HalfCycleGainHold, MaxVariantAppliesTheLargestRequest) { check_hold_against_half_cycles<HoldKind::max>(); }

TEST(HalfCycleGainHold, OneLowRequestAttenuatesTheWholeHalfCycle) {
    constexpr int look_ahead = 64;
    const std::vector<float> x = sine(500.0, 1.0e8, 2000);  // half-cycles of 48 samples
    const auto starts = half_cycle_starts(x);
    const int first = starts[10], end = starts[11];
    ASSERT_EQ(end - first, 48);
    HalfCycleGainHold<HoldKind::min> hold(look_ahead);
    const int dip = first + 20;  // one sample inside the 11th half-cycle
    for (int n = 0; n < static_cast<int>(x.size()); ++n) {
        float l = x[n], r = x[n];
        hold.process(l, r, n == dip ? 0.5f : 1.0f, 1.0f);
        const int src = n - look_ahead;
        if (src < 0) continue;
        const bool in_dipped = src >= first && src < end;
        EXPECT_FLOAT_EQ(l, x[src] * (in_dipped ? 0.5f : 1.0f)) << n;
        EXPECT_FLOAT_EQ(r, x[src]) << n;
    }
}

TEST(HalfCycleGainHold, RequestsInAHalfCycleLongerThanTheRingStillTakeEffect) {
    constexpr int look_ahead = 16;
    HalfCycleGainHold<HoldKind::min> hold(look_ahead);
    const float x = 1.0e6f;  // DC: one endless half-cycle
    for (int n = 0; n < 200; ++n) {
        float l = x, r = x;
        hold.process(l, r, n >= 100 ? 0.5f : 1.0f, 1.0f);
        if (n >= 100 + look_ahead) {  // down by the time the requesting sample emerges
            EXPECT_EQ(l, 0.5f * x) << n;
        }
        if (n >= look_ahead && n < 100) {
            EXPECT_EQ(l, x) << n;  // audio from before the previous slot keeps full gain
        }
        if (n >= look_ahead) {
            EXPECT_EQ(r, x);
        }
    }
}

// Runs of calls against single calls, bit for bit: a 30 Hz left channel (half-cycles far
// longer than the ring) and a noisy right one (crossings at random), random requests.
TEST(HalfCycleGainHold, RunsGiveTheSameSamplesAsSingleCalls) {
    constexpr int look_ahead = 48;
    const std::vector<float> x = sine(30.0, 1.0e8, 20000, 192000.0);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> pick(0.1f, 1.0f), noise(-1.0e7f, 1.0e7f);
    std::vector<float> l = x, r(x.size()), gl(x.size()), gr(x.size());
    for (std::size_t n = 0; n < x.size(); ++n) {
        r[n] = noise(rng);
        gl[n] = pick(rng);
        gr[n] = pick(rng);
    }
    HalfCycleGainHold<HoldKind::min> single(look_ahead), runs(look_ahead);
    std::vector<float> want_l(l), want_r(r);
    for (std::size_t n = 0; n < x.size(); ++n) single.process(want_l[n], want_r[n], gl[n], gr[n]);
    std::uniform_int_distribution<std::size_t> length(1, 50);
    for (std::size_t n = 0; n < x.size();) {
        const std::size_t m = std::min(length(rng), x.size() - n);
        runs.process_run(&l[n], &r[n], &gl[n], &gr[n], m);
        n += m;
    }
    for (std::size_t n = 0; n < x.size(); ++n) {
        ASSERT_EQ(l[n], want_l[n]) << n;
        ASSERT_EQ(r[n], want_r[n]) << n;
    }
}

TEST(BlockMinSmoother, GainIsDownWhenThePeakArrivesAndUnityPassesUnchanged) {
    BlockMinSmoother s;
    const float x = 1.0e6f;
    const int request = 1000;
    float lowest = 1.0f, at_arrival = 1.0f;
    for (int n = 0; n < 2000; ++n) {
        float l = x, r = -x;
        s.process(l, r, n == request ? 0.5f : 1.0f, 1.0f);
        if (n < BlockMinSmoother::delay_samples) {
            EXPECT_EQ(l, 0.0f);  // the audio ring starts silent
            continue;
        }
        const float gain = l / x;
        const int settled = 600;  // the smoothing sections start from zero state
        if (n >= settled && n < request) {
            // Unity gain passes the delayed audio, to the DC accuracy of float sections.
            EXPECT_NEAR(gain, 1.0f, 5e-4f) << n;
            EXPECT_NEAR(r, -x, 500.0f);
        }
        if (n < settled) continue;
        lowest = std::min(lowest, gain);
        if (n == request + BlockMinSmoother::delay_samples) at_arrival = gain;
        EXPECT_GE(gain, 0.5f - 2e-3f);  // the smoothing never undershoots the request much
    }
    EXPECT_NEAR(lowest, 0.5f, 0.01f);
    EXPECT_LE(at_arrival, 0.55f);
}

TEST(BlockMinSmoother, ShortcutsGiveTheFullResult) {
    // A safety clipper asks for less than 1 only now and then: between its requests the
    // smoother skips its windows and, once settled, its sections. Its output must be the
    // full work's, sample for sample, through requests on one or both channels, requests
    // closer together than the window, and long quiet stretches.
    BlockMinSmoother fast, full(false);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> audio(-1e9f, 1e9f), depth(0.3f, 0.999f);
    std::uniform_int_distribution<int> gap(1, 6000), channel(0, 2);
    int next = 500;
    for (int n = 0; n < 200000; ++n) {
        float gl = 1.0f, gr = 1.0f;
        if (n == next) {
            const int c = channel(rng);
            if (c != 1) gl = depth(rng);
            if (c != 0) gr = depth(rng);
            next += gap(rng) < 1000 ? 60 : gap(rng);  // sometimes within the window
        }
        float l1 = audio(rng), r1 = audio(rng), l2 = l1, r2 = r1;
        fast.process(l1, r1, gl, gr);
        full.process(l2, r2, gl, gr);
        ASSERT_EQ(l1, l2) << "call " << n;
        ASSERT_EQ(r1, r2) << "call " << n;
    }
}

TEST(LevelDetector, SilenceReadsMinus160dB) {
    LevelDetector d;
    LevelReading v{};
    for (int n = 0; n < 48000; ++n) v = d.process(0.0f, 0.0f);
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(v.true_peak[ch], level_floor);
        EXPECT_EQ(v.peak_envelope[ch], level_floor);
        EXPECT_EQ(v.rms[ch], level_floor);
        EXPECT_NEAR(level_dBFS(v.rms[ch]), -160.0, 1e-5);
    }
}

TEST(LevelDetector, SineReadsPeakAndRms) {
    LevelDetector d;
    const double a = 0.5 * full_scale;  // -6.02 dBFS
    const auto x = sine(997.0, a, 5 * 48000);
    LevelReading v{};
    float max_peak = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        v = d.process(x[n], 0.25f * x[n]);
        max_peak = std::max(max_peak, v.true_peak[0]);
    }
    EXPECT_NEAR(test::dB(max_peak / a), 0.0, 0.05);
    EXPECT_NEAR(test::dB(v.rms[0] / (a / std::sqrt(2.0))), 0.0, 0.05);
    EXPECT_NEAR(test::dB(v.rms[1] / (0.25 * a / std::sqrt(2.0))), 0.0, 0.05);
    // The envelope rides just under the peaks: it rises only while a peak exceeds it.
    const float before = v.peak_envelope[0];
    EXPECT_LT(before, a);
    EXPECT_GT(test::dB(before / a), -1.0);
    // After the signal stops it decays freely by 2^-14 per frame: 1/e in 16384 frames.
    for (int n = 0; n < 16384 + 30; ++n) v = d.process(0.0f, 0.0f);  // + the interpolator's span
    EXPECT_NEAR(v.peak_envelope[0] / before, std::exp(-1.0), 0.01);
}

TEST(LevelDetector, RunsOfAnyLengthMeasureLikeSingleFrames) {
    // Meters gather frames and measure them in runs; the holders must come out as if
    // every frame had been measured alone, whatever the block lengths (shorter and longer
    // than the interpolator's history and the detector's run), at both rates.
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.05f * static_cast<float>(full_scale));
    const auto tone = sine(3100.0, 0.3 * full_scale, 20000);
    for (double rate : {48000.0, 192000.0}) {
        LevelDetector single(rate), runs(rate);
        LevelHolders a, b;
        const std::size_t lengths[] = {1, 5, 29, 30, 64, 65, 100, 256, 3};
        std::size_t n = 0, block = 0;
        while (n < tone.size()) {
            const std::size_t len = std::min(lengths[block++ % std::size(lengths)], tone.size() - n);
            for (std::size_t i = n; i < n + len; ++i) {
                const float l = tone[i] + (i > 9000 && i < 9400 ? 4.0f * noise(rng) : noise(rng));
                const float r = -0.5f * tone[i];
                a.fold(single.process(l, r));
                runs.push(l, r, b.value);
            }
            runs.flush(b.value);
            n += len;
            for (int k = 0; k < 6; ++k) ASSERT_EQ(a.value[k], b.value[k]) << "value " << k << " at frame " << n;
            if (block % 4 == 0) {  // a meter tick in between
                a.reset();
                b.reset();
            }
        }
    }
}

TEST(LevelDetector, IdleSilenceIsSkippedWithoutChangingTheReadings) {
    // A bus that falls silent: once the detector is at rest its silent runs are not
    // measured. The readings, through the silence and after a tone comes back, must be
    // those of full measuring: peaks and envelopes exactly; RMS within 1e-4 (0.001 dB)
    // in the silence, where at rest the sections stay put while in full measuring their
    // double state still wanders by a few float steps, and within a millionth once the
    // tone is back (they resume from where they rested).
    for (double rate : {48000.0, 192000.0}) {
        LevelDetector skipping(rate), full(rate, false), folding(rate);
        LevelHolders a, b, c;
        std::vector<float> block;
        const auto tone = sine(1000.0, 0.7 * full_scale, static_cast<int>(rate), rate);
        bool rested = false;
        for (int part = 0; part < 4; ++part) {
            const bool loud = part % 2 == 0;
            // The envelope takes some 9 s to fall from a loud tone to the floor, the RMS
            // sections some 20 s to ring out.
            const int frames = loud ? static_cast<int>(rate) : 30 * static_cast<int>(rate);
            for (int n = 0; n < frames; ++n) {
                const float x = loud ? tone[static_cast<std::size_t>(n)] : 0.0f;
                skipping.push(x, -x, a.value);
                full.push(x, -x, b.value);
                block.insert(block.end(), {x, -x});
                if (n % 256 == 255) {
                    skipping.flush(a.value);
                    full.flush(b.value);
                    folding.fold(block.data(), block.size(), c.value);  // skips whole silent runs unread
                    block.clear();
                    rested |= skipping.at_rest();
                    ASSERT_EQ(a.value, c.value) << "part " << part;
                    for (int k = 0; k < 4; ++k) ASSERT_EQ(a.value[k], b.value[k]) << "value " << k << ", part " << part;
                    for (int k = 4; k < 6; ++k) ASSERT_NEAR(a.value[k] / b.value[k], 1.0, loud ? 1e-6 : 1e-4) << "part " << part;
                    a.reset();
                    b.reset();
                    c.reset();
                }
            }
            EXPECT_EQ(skipping.at_rest(), !loud) << "at rest by the end of each silence, part " << part;
        }
        EXPECT_TRUE(rested);
        EXPECT_FALSE(full.at_rest());
    }
}

TEST(LevelDetector, PairsAndEveryLevelReadLikeTheBaselineSingles) {
    // Two streams measured as a pair (four lanes) read, at every instruction-set level,
    // each holder value of every block to the bit as two single detectors do; and single
    // detectors read at every level as on the baseline. The second stream starts silent, so it rests while the
    // first is measured; the blocks are shorter and longer than a run.
    using simd::Level;
    const double rate = 192000.0;
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 0.1f * static_cast<float>(full_scale));
    const std::size_t total = 7 * 192000;
    std::vector<float> a(2 * total), b(2 * total);
    for (std::size_t i = 0; i < total; ++i) {
        // b's sections take some 4 s to settle on the floor from their start at 0.
        const bool a_on = i < 6 * 192000, b_on = i > 5 * 192000;
        a[2 * i] = a_on ? noise(rng) : 0.0f;
        a[2 * i + 1] = a_on ? 0.5f * noise(rng) : 0.0f;
        b[2 * i] = b_on ? 3.0f * noise(rng) : 0.0f;
        b[2 * i + 1] = b_on ? -b[2 * i] : 0.0f;
    }
    // Holders after every block: a's six, then b's six.
    bool rested = false;
    auto readings = [&](Level level, bool pair) {
        simd::set_level_limit(level);
        LevelDetector da(rate), db(rate);
        std::vector<float> out;
        const std::size_t lengths[] = {1, 63, 64, 65, 200, 1024, 7};
        std::size_t i = 0, block = 0;
        while (i < total) {
            const std::size_t end = std::min(total, i + lengths[block++ % std::size(lengths)]);
            std::array<float, 6> ha, hb;
            ha.fill(1.0f);
            hb.fill(1.0f);
            for (; i < end; ++i) {
                if (pair) {
                    LevelDetector::push_pair(da, a[2 * i], a[2 * i + 1], ha, db, b[2 * i], b[2 * i + 1], hb);
                } else {
                    da.push(a[2 * i], a[2 * i + 1], ha);
                    db.push(b[2 * i], b[2 * i + 1], hb);
                }
            }
            if (pair) {
                LevelDetector::flush_pair(da, ha, db, hb);
            } else {
                da.flush(ha);
                db.flush(hb);
            }
            out.insert(out.end(), ha.begin(), ha.end());
            out.insert(out.end(), hb.begin(), hb.end());
            rested |= pair && db.at_rest() && !da.at_rest();
        }
        return out;
    };
    const std::vector<float> baseline = readings(Level::sse2, false);
    for (Level level : {Level::sse2, Level::avx2, Level::avx512}) {
        if (level > simd::detected_level()) continue;
        const std::vector<float> single = readings(level, false), pair = readings(level, true);
        ASSERT_EQ(single.size(), baseline.size());
        ASSERT_EQ(pair.size(), baseline.size());
        for (std::size_t k = 0; k < single.size(); ++k) {
            const std::string where = std::string(simd::level_name(level)) + ", block " + std::to_string(k / 12) +
                                      ", value " + std::to_string(k % 12);
            ASSERT_EQ(pair[k], single[k]) << where;
            // The wider true-peak interpolators fuse their multiply-adds (an ulp here and
            // there, carried into the envelope); the RMS path is the same to the bit.
            if (k % 6 < 4) ASSERT_NEAR(single[k] / baseline[k], 1.0, 1e-6) << where;
            else ASSERT_EQ(single[k], baseline[k]) << where;
        }
    }
    simd::set_level_limit(Level::avx512);
    EXPECT_TRUE(rested) << "one of a pair rested while the other was measured";
}

TEST(LevelDetector, RmsIsThatOfThePlainSections) {
    // Each channel's square through the two double sections, rounded to float after
    // each, frame by frame in exactly that order: the meter's RMS holder is the root of
    // the largest result, to the bit.
    struct Section {
        double b0, a1, a2, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        float step(float in) {
            const double x = in, y = b0 * (x + 2.0 * x1 + x2) - a1 * y1 - a2 * y2;
            x2 = x1, x1 = x, y2 = y1, y1 = y;
            return static_cast<float>(y);
        }
    };
    const LowPass2<double> p1(0.794, 0.5029, 0.63659996, 48000), p2(0.6304, 1.5407, 0.63659996, 48000);
    Section s1{p1.b0(), p1.a1(), p1.a2()}, s2{p2.b0(), p2.a1(), p2.a2()};
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.1f * static_cast<float>(full_scale));
    LevelDetector detector;
    LevelHolders held;
    for (int block = 0; block < 2000; ++block) {
        float largest = 0.0f;
        for (int n = 0; n < 256; ++n) {
            const float l = static_cast<float>((block % 7 + 1) / 8.0) * noise(rng), r = 0.5f * noise(rng);
            detector.push(l, r, held.value);
            largest = std::max(largest, s2.step(s1.step(std::max(l * l, squared_level_floor))));
        }
        detector.flush(held.value);
        ASSERT_EQ(held.value[4], std::max(std::sqrt(largest), level_floor)) << "block " << block;
        held.value.fill(0.0f);
    }
}

TEST(LevelDetector, TruePeakFindsThePeakBetweenSamples) {
    // A quarter-rate sine sampled 45 degrees off its crests: every sample is at 0.707 of
    // the amplitude, the true peak (between the samples) at the amplitude itself. Every
    // vector build of the interpolation finds it.
    const double a = 0.5 * full_scale;
    for (simd::Level level : {simd::Level::sse2, simd::Level::avx2, simd::Level::avx512}) {
        simd::set_level_limit(level);
        LevelDetector d;
        LevelHolders h;
        for (int n = 0; n < 4800; ++n)
            d.push(static_cast<float>(a * std::sin(std::numbers::pi / 2 * n + std::numbers::pi / 4)), 0.0f, h.value);
        d.flush(h.value);
        EXPECT_NEAR(test::dB(h.value[0] / a), 0.0, 0.1) << simd::level_name(level);  // 3 dB above the sample peak
        EXPECT_EQ(h.value[1], level_floor);
    }
    simd::set_level_limit(simd::detected_level());
}

TEST(KWeighting, ResponseFollowsTheStandardCurve) {
    // The curve of the BS.1770 48 kHz filter pair, evaluated at full coefficient precision.
    const std::pair<double, double> points[] = {{100.0, -1.1335}, {1000.0, 0.6977}, {10000.0, 4.0419}};
    for (auto [f, want] : points) {
        KWeighting k;
        auto m = test::measure_sine([&](float& l, float& r) { k.process(l, r); }, f, fs_Hz, 48000, 48000);
        EXPECT_NEAR(m.gain_dB, want, 0.01) << f;
    }
}

TEST(PowerDetector, FullScaleSineOnOneChannelReadsMinus3_01LKFS) {
    PowerDetector loud(true);
    const auto x = sine(1000.0, full_scale, 5 * 48000);
    float level = 0;
    int latency = 0;
    for (float v : x) {
        float l = v, r = 0.0f;
        level = loud.process(l, r, level_floor, false, latency);
    }
    EXPECT_NEAR(loudness_LKFS(level), -3.01, 0.02);
    EXPECT_EQ(latency, 0);
}

TEST(PowerDetector, PowerLevelFloorAndLookAheadDelay) {
    PowerDetector power(false);
    const double a = 0.25 * full_scale;
    const auto x = sine(440.0, a, 5 * 48000);
    float level = 0;
    int latency = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        float l = x[n], r = x[n];
        latency = 0;
        level = power.process(l, r, level_floor, true, latency);
        if (n >= static_cast<std::size_t>(PowerDetector::look_ahead_frames)) {
            ASSERT_EQ(l, x[n - PowerDetector::look_ahead_frames]) << n;
        } else {
            ASSERT_EQ(l, 0.0f);
        }
    }
    EXPECT_EQ(latency, 9600);
    // Two channels of amplitude a: mean of L^2 + R^2 is a^2.
    EXPECT_NEAR(test::dB(level / a), 0.0, 0.02);
    PowerDetector quiet(false);
    float l = 0, r = 0;
    EXPECT_EQ(quiet.process(l, r, 1000.0f, false, latency), 1000.0f);  // floored at the target
}

}  // namespace
}  // namespace torvalen::dsp
