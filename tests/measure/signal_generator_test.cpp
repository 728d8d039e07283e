#include "measure/signal_generator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace torvalen::measure {
namespace {

constexpr double fs = 2147483648.0;  // 2^31

std::vector<float> buffer_of(Waveform w, uint32_t n, float main_Hz, SynthesisState& state,
                             float secondary_Hz = 1000.0f) {
    static const FrameFfts ffts;
    AnalyserSettings s;
    s.waveform = static_cast<uint32_t>(w);
    s.main_Hz = main_Hz;
    s.secondary_Hz = secondary_Hz;
    std::vector<float> out(n), work(ffts.work_size());
    synthesise(s, n, state, *ffts.get(n), work, out);
    return out;
}

std::vector<float> buffer_of(Waveform w, uint32_t n, float main_Hz = 1000.0f) {
    SynthesisState state;
    return buffer_of(w, n, main_Hz, state);
}

// Power per bin (bins 0 ... n/2) of one frame, unwindowed.
std::vector<double> power_spectrum(const std::vector<float>& x) {
    const RealFft fft(static_cast<uint32_t>(x.size()));
    std::vector<float> h = x, work(fft.work_size());
    fft.forward(h, work);
    const std::size_t n = x.size();
    std::vector<double> p(n / 2 + 1);
    p[0] = double(h[0]) * h[0];
    for (std::size_t k = 1; k < n / 2; ++k) p[k] = double(h[2 * k - 1]) * h[2 * k - 1] + double(h[2 * k]) * h[2 * k];
    p[n / 2] = double(h[n - 1]) * h[n - 1];
    return p;
}

TEST(SignalGenerator, BufferLengthFollowsTheAnalysersFrame) {
    EXPECT_EQ(generator_length(0, 48000), 4096u);
    EXPECT_EQ(generator_length(1, 48000), 8192u);
    EXPECT_EQ(generator_length(2, 48000), 16384u);
    EXPECT_EQ(generator_length(0, 192000), 16384u);
    EXPECT_EQ(generator_length(2, 192000), 65536u);
    EXPECT_EQ(generator_length(1, 44100), 0u);  // refill skipped
    EXPECT_EQ(generator_length(1, 0), 0u);
}

TEST(SignalGenerator, ToneIndexRoundsClampsAndQuantises) {
    EXPECT_EQ(tone_index(4096, 1000.0f), 21u);
    EXPECT_DOUBLE_EQ(21 * 192000.0 / 4096, 984.375);
    EXPECT_EQ(tone_index(4096, 10.0f), 1u);  // 0.21 rounds to 0, raised to 1
    EXPECT_EQ(tone_index(4096, 96000.0f), 2048u);
    EXPECT_EQ(tone_index(4096, 100000.0f), 2048u);  // above Nyquist of bus 3: N/2
    EXPECT_EQ(tone_index(65536, 1000.0f), 341u);
    EXPECT_EQ(second_tone_index(4096, 100000.0f), 2047u);
    EXPECT_EQ(second_tone_index(4096, 10.0f), 1u);
}

TEST(SignalGenerator, MinimalStandardFollowsLehmerWithAMaskedState) {
    MinimalStandard g;
    uint64_t u = 123459876;  // state 0 unmasked
    for (int i = 0; i < 10000; ++i) {
        u = (16807 * u) % 2147483647;
        ASSERT_EQ(g.next(), u) << i;
        ASSERT_EQ(g.state(), static_cast<uint32_t>(u) ^ 123459876u);
    }
}

TEST(SignalGenerator, SineHasWholeCyclesAndMeetsItself) {
    const auto s = buffer_of(Waveform::sine, 4096);
    for (uint32_t n : {0u, 1u, 100u, 2047u, 4095u})
        EXPECT_NEAR(s[n], std::sin(2 * std::numbers::pi * 21 * n / 4096.0) * fs, 300.0) << n;
    // Even at Nyquist-adjacent tones the last sample continues into the first.
    const auto high = buffer_of(Waveform::sine, 65536, 95990.0f);
    const uint32_t k = tone_index(65536, 95990.0f);
    EXPECT_NEAR(high[65535], -std::sin(2 * std::numbers::pi * k / 65536.0) * fs, 300.0);
}

TEST(SignalGenerator, SquareHarmonicsFallAsOneOverH) {
    const auto s = buffer_of(Waveform::square, 4096);  // k = 21
    const auto p = power_spectrum(s);
    const double fundamental = std::sqrt(p[21]);
    EXPECT_NEAR(fundamental / (4096 / 2.0 * fs), 1.0, 1e-4);  // full-scale fundamental
    for (uint32_t h = 2; h * 21 < 2048; ++h) {
        const double ratio = std::sqrt(p[h * 21]) / fundamental;
        if (h % 2 == 1) EXPECT_NEAR(ratio, 1.0 / h, 1e-4) << h;
        else EXPECT_LT(ratio, 1e-5) << h;
    }
    // -sin series: negative first half-cycle, plateau about 0.785 of full scale.
    const uint32_t quarter = 4096 / 21 / 4;
    EXPECT_NEAR(s[quarter] / fs, -std::numbers::pi / 4, 0.02);
    EXPECT_NEAR(s[quarter + 4096 / 21 / 2] / fs, std::numbers::pi / 4, 0.02);
}

TEST(SignalGenerator, SquareAtNyquistIsSilent) {
    const auto s = buffer_of(Waveform::square, 4096, 100000.0f);  // k = N/2: no h k < N/2
    for (float v : s) ASSERT_EQ(v, 0.0f);
}

TEST(SignalGenerator, PulseIsOneFullScaleSampleInTheMiddle) {
    const auto s = buffer_of(Waveform::pulse, 8192);
    for (uint32_t n = 0; n < 8192; ++n) ASSERT_EQ(s[n], n == 4096 ? 2147483648.0f : 0.0f) << n;
}

TEST(SignalGenerator, TwoToneAddsTwoHalfScaleSines) {
    const auto s = buffer_of(Waveform::two_tone, 4096, 1000.0f);  // secondary 1000 too: same k
    EXPECT_NEAR(s[50], std::sin(2 * std::numbers::pi * 21 * 50 / 4096.0) * fs, 300.0);
    SynthesisState st;
    const auto t = buffer_of(Waveform::two_tone, 4096, 1000.0f, st, 5000.0f);
    const auto p = power_spectrum(t);
    const uint32_t k2 = second_tone_index(4096, 5000.0f);
    EXPECT_NEAR(std::sqrt(p[21]) / (2048.0 * fs), 0.5, 1e-4);
    EXPECT_NEAR(std::sqrt(p[k2]) / (2048.0 * fs), 0.5, 1e-4);
}

TEST(SignalGenerator, WhiteNoiseIsCentredUniformAndFlat) {
    SynthesisState state;
    constexpr int frames = 64;
    constexpr uint32_t n = 4096;
    double sum = 0.0, square = 0.0;
    std::vector<double> average(n / 2 + 1, 0.0);
    for (int f = 0; f < frames; ++f) {
        const auto x = buffer_of(Waveform::white_noise, n, 1000.0f, state);
        for (float v : x) {
            ASSERT_GE(v, -2147483648.0f);
            ASSERT_LE(v, 2147483648.0f);
            sum += v / fs;
            square += (v / fs) * (v / fs);
        }
        const auto p = power_spectrum(x);
        for (std::size_t k = 0; k < p.size(); ++k) average[k] += p[k] / frames;
    }
    const double count = double(frames) * n;
    EXPECT_NEAR(sum / count, 0.0, 0.005);
    EXPECT_NEAR(square / count, 1.0 / 3.0, 0.01);  // uniform over +-1
    // Eight bands of 256 bins, each within 1 dB of the mean.
    double total = 0.0;
    for (std::size_t k = 1; k < n / 2; ++k) total += average[k];
    const double mean = total / (n / 2 - 1);
    for (std::size_t b = 0; b < 8; ++b) {
        double band = 0.0;
        for (std::size_t k = 1 + 256 * b; k < 1 + 256 * (b + 1) && k < n / 2; ++k) band += average[k];
        band /= 256.0;
        EXPECT_NEAR(10 * std::log10(band / mean), 0.0, 1.0) << "band " << b;
    }
}

TEST(SignalGenerator, PinkNoiseFallsThreeDecibelsPerOctave) {
    // Averaged Hann periodogram at 192 kHz, thirds of an octave from 50 Hz to 10 kHz.
    SynthesisState state;
    constexpr uint32_t n = 65536;
    constexpr int frames = 24;
    const auto window = hann_window(n);
    std::vector<double> average(n / 2 + 1, 0.0);
    buffer_of(Waveform::pink_noise, n, 1000.0f, state);  // let the slow stages settle
    for (int f = 0; f < frames; ++f) {
        auto x = buffer_of(Waveform::pink_noise, n, 1000.0f, state);
        for (uint32_t i = 0; i < n; ++i) x[i] *= window[i];
        const auto p = power_spectrum(x);
        for (std::size_t k = 0; k < p.size(); ++k) average[k] += p[k];
    }
    const double bin_Hz = 192000.0 / n;
    std::vector<double> octaves, levels;
    for (double centre = 50.0; centre <= 10000.0; centre *= std::pow(2.0, 1.0 / 3)) {
        const auto first = static_cast<std::size_t>(centre * std::pow(2.0, -1.0 / 6) / bin_Hz);
        const auto last = static_cast<std::size_t>(centre * std::pow(2.0, 1.0 / 6) / bin_Hz);
        double band = 0.0;
        for (std::size_t k = first; k <= last; ++k) band += average[k];
        octaves.push_back(std::log2(centre));
        levels.push_back(10 * std::log10(band / double(last - first + 1)));
    }
    // Least-squares slope in dB per octave.
    const double m = double(octaves.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < octaves.size(); ++i) {
        sx += octaves[i];
        sy += levels[i];
        sxx += octaves[i] * octaves[i];
        sxy += octaves[i] * levels[i];
    }
    const double slope = (m * sxy - sx * sy) / (m * sxx - sx * sx);
    EXPECT_NEAR(slope, -3.0, 0.5);
    const double intercept = (sy - slope * sx) / m;
    for (std::size_t i = 0; i < octaves.size(); ++i)
        EXPECT_NEAR(levels[i], intercept + slope * octaves[i], 1.5) << std::exp2(octaves[i]) << " Hz";
}

TEST(BurstGate, SwitchesOnlyAtRisingZeroCrossings) {
    const auto tone = buffer_of(Waveform::sine, 4096, 3000.0f);  // 64 cycles per buffer
    BurstGate gate;
    const uint32_t period = burst_period_samples(0), on = burst_on_samples(period, 0);
    float previous = 0.0f;
    uint32_t switches = 0, on_run = 0;
    BurstGate::State state = gate.state();
    for (uint32_t i = 0; i < 20 * period; ++i) {
        const float x = tone[i % tone.size()];
        const float y = gate.step(x, period, on);
        ASSERT_TRUE(y == x || y == 0.0f);
        const BurstGate::State now = gate.state();
        if ((state == BurstGate::waiting_to_start && now == BurstGate::on) ||
            (state == BurstGate::waiting_to_stop && now == BurstGate::off)) {
            ASSERT_GE(x, 0.0f) << i;
            ASSERT_LT(previous, 0.0f) << i;
            ++switches;
        }
        if (now == BurstGate::on || now == BurstGate::waiting_to_stop) {
            ++on_run;
        } else if (on_run != 0) {
            // Once per frame in every state: on for D frames plus at most a cycle.
            EXPECT_GE(on_run + 1, on);
            EXPECT_LE(on_run, on + 4096 / 64 + 1);
            on_run = 0;
        }
        state = now;
        previous = x;
    }
    EXPECT_GE(switches, 30u);
}

TEST(BurstGate, PeriodsAndDutiesAtTheBusRate) {
    EXPECT_EQ(burst_period_samples(0), 9600u);    // 50 ms
    EXPECT_EQ(burst_period_samples(4), 192000u);  // 1 s
    EXPECT_EQ(burst_period_samples(5), 384000u);  // "2s"
    EXPECT_EQ(burst_on_samples(19200, 0), 9600u);
    EXPECT_EQ(burst_on_samples(19200, 1), 3840u);
    EXPECT_EQ(burst_on_samples(19200, 2), 1920u);
    EXPECT_EQ(burst_on_samples(19200, 3), 960u);
}

TEST(SignalGenerator, CoarseLevelsStepTenDecibels) {
    for (uint32_t i = 1; i < 9; ++i)
        EXPECT_NEAR(20 * std::log10(coarse_level_gain(i)), -10.0 * i, 0.001) << i;
}

}  // namespace
}  // namespace torvalen::measure
