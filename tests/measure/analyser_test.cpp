#include "measure/analyser.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <vector>

#include "engine/settings_store.h"
#include "measure/fft.h"
#include "measure/signal_generator.h"

namespace torvalen::measure {
namespace {

constexpr double fs = 2147483648.0;

// The six buses of an instance started at 48 kHz with 256-frame blocks.
struct TestBuses {
    std::array<std::vector<float>, bus_count> storage;
    Buses buses;
    TestBuses() {
        for (unsigned b = 0; b < bus_count; ++b) {
            const uint32_t rate = (b == bus_stl_rx || b == bus_sig_gen) ? 192000 : 48000;
            storage[b].assign(bus_float_count(48000, 512, rate), 0.0f);
            buses.data[b] = storage[b].data();
            buses.rate[b] = rate;
            buses.count[b] = static_cast<uint32_t>(storage[b].size());
        }
    }
};

class AnalyserTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/torvalen-analyser-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::string error;
        store_ = SettingsStore::open(dir_ / "settings.db", error);
        ASSERT_TRUE(store_) << error;
        instance_key_ = *store_->root().create("Studio");
        uint32_t error_word = 0;
        analyser_ = Analyser::create(instance_key_, error_word);
        ASSERT_TRUE(analyser_);
        ASSERT_EQ(error_word, 0u);
    }
    void TearDown() override {
        analyser_.reset();
        store_.reset();
        std::filesystem::remove_all(dir_);
    }
    // One engine cycle as the instance runs it: generator, then the analyser.
    void cycle(bool tick = false) {
        analyser_->generate(buses_.storage[bus_sig_gen]);
        analyser_->process(buses_.buses, tick);
        analyser_->generator().wait_idle();
    }
    void set(uint32_t index, float value) { analyser_->set_value(index, value); }
    // Runs the generator into the analyser until one frame holds nothing but the
    // running signal: the generator needs two cycles to start and the capture 16
    // blocks per 16384-sample frame; a clear then drops what start-up left behind.
    void run_steady() {
        set(control_input_enable, 1);
        for (int i = 0; i < 40; ++i) cycle();
        const uint64_t clears = analyser_->clears();
        set(control_input_enable, 0);
        cycle();
        analyser_->wait_clears(clears + 1);
        set(control_input_enable, 1);
        AnalyserFrame stale;
        while (analyser_->take_frame(stale)) {
        }
        const uint64_t before = analyser_->analyses();
        for (int i = 0; i < 20; ++i) cycle();
        analyser_->wait_analyses(before + 1);
    }

    std::filesystem::path dir_;
    std::unique_ptr<SettingsStore> store_;
    SettingsKey instance_key_;
    std::unique_ptr<Analyser> analyser_;
    TestBuses buses_;
};

TEST_F(AnalyserTest, PageHasTwentySixRecordsWithTheirDefaults) {
    const auto table = analyser_controls();
    ASSERT_EQ(table.size(), 26u);
    EXPECT_EQ(table[0].text, "Signal Generator");
    EXPECT_EQ(table[15].text, "Analyser");
    EXPECT_EQ(table[control_coarse_level].text, "0db\n-10dB\n--20dB\n-30dB\n-40dB\n-50dB\n-60dB\n-70dB\n-80dB\n");
    float v = -1.0f;
    EXPECT_TRUE(analyser_->get_value(control_input_select, v));
    EXPECT_EQ(v, 5.0f);  // the table's 6 clamped to "Sound Out"
    EXPECT_TRUE(analyser_->get_value(control_waveform, v));
    EXPECT_EQ(v, 1.0f);  // Sine
    EXPECT_TRUE(analyser_->get_value(control_burst_period, v));
    EXPECT_EQ(v, 4.0f);
    EXPECT_TRUE(analyser_->get_value(control_fft_length, v));
    EXPECT_EQ(v, 1.0f);
    EXPECT_TRUE(analyser_->get_value(control_main_frequency, v));
    EXPECT_EQ(v, 1000.0f);
    EXPECT_FALSE(analyser_->get_value(0, v));   // page
    EXPECT_FALSE(analyser_->get_value(26, v));  // past the table
    EXPECT_FALSE(analyser_->set_value(26, 1.0f));
    EXPECT_FALSE(analyser_->set_value(control_waveform, 1.0f));  // unchanged
    EXPECT_TRUE(analyser_->set_value(control_level, -6.0f));
    EXPECT_NEAR(analyser_->settings().level, std::pow(10.0, -6.0 / 20), 1e-6);
    EXPECT_TRUE(analyser_->get_value(control_level, v));
    EXPECT_NEAR(v, -6.0f, 1e-4);
}

TEST_F(AnalyserTest, DisplaySettingsPersistInTheModuleKey) {
    DisplaySettings d;
    d.x_spect_zoom = 2.5f;
    d.y_wave_offset = -0.25f;
    d.mode = static_cast<uint32_t>(DisplayMode::wave);
    d.graph = 3;
    analyser_->set_display(d);
    analyser_.reset();  // saves
    const auto key = instance_key_.open(analyser_key_name);
    ASSERT_TRUE(key);
    const DisplaySettings back = read_display_settings(*key);
    EXPECT_EQ(back.x_spect_zoom, 2.5f);
    EXPECT_EQ(back.y_wave_offset, -0.25f);
    EXPECT_EQ(back.mode, static_cast<uint32_t>(DisplayMode::wave));
    EXPECT_EQ(back.graph, 3u);
    // A missing zoom reads as 1.
    key->delete_value("X_Wave_Zoom");
    EXPECT_EQ(read_display_settings(*key).x_wave_zoom, 1.0f);
}

TEST_F(AnalyserTest, ModeLMinusRInvertsTheRightChannelExactly) {
    set(control_mode, 3);
    set(control_input_enable, 1);
    set(control_input_select, bus_proc);  // 48 kHz: 4096-sample buffers
    set(control_fft_length, 0);
    for (int i = 0; i < 4; ++i) cycle();
    const auto& bus3 = buses_.storage[bus_sig_gen];
    double peak = 0.0;
    for (std::size_t f = 0; f < bus3.size() / 2; ++f) {
        ASSERT_EQ(bus3[2 * f + 1], -bus3[2 * f]) << f;
        peak = std::max(peak, std::fabs(double(bus3[2 * f])));
    }
    EXPECT_GT(peak, 0.99 * fs);
    set(control_mode, 1);  // "L": right silent (after the buffers already made)
    for (int i = 0; i < 3; ++i) cycle();
    for (std::size_t f = 0; f < bus3.size() / 2; ++f) ASSERT_EQ(bus3[2 * f + 1], 0.0f);
}

// A waveform that repeats is synthesised once and then kept or copied between the
// two buffers: after every change of waveform or frequency, both buffers play the
// new samples (and a return to an earlier setting is not served stale samples).
TEST_F(AnalyserTest, RepeatingWaveformsFollowEveryChange) {
    set(control_input_select, bus_proc);  // 48 kHz, Short: N = 4096, two cycles each
    set(control_fft_length, 0);
    constexpr uint32_t n = 4096;
    const RealFft fft(n);
    std::vector<float> work(fft.work_size());
    struct Step {
        float waveform, main_Hz, secondary_Hz;
    };
    for (const Step step : {Step{1, 1000, 1000}, Step{1, 3000, 1000}, Step{5, 3000, 7000}, Step{1, 1000, 7000}}) {
        SCOPED_TRACE(step.main_Hz);
        set(control_waveform, step.waveform);
        set(control_main_frequency, step.main_Hz);
        set(control_secondary_frequency, step.secondary_Hz);
        for (int i = 0; i < 10; ++i) cycle();
        AnalyserSettings settings = analyser_->settings();
        std::vector<float> expected(n);
        SynthesisState state;
        synthesise(settings, n, state, fft, work, expected);
        // Four cycles play both buffers; each cycle's left channel must run
        // through the expected buffer from some offset on.
        for (int c = 0; c < 4; ++c) {
            cycle();
            const auto& bus3 = buses_.storage[bus_sig_gen];
            const std::size_t frames = bus3.size() / 2;
            std::size_t matches = 0;
            for (std::size_t o = 0; o < n && matches == 0; ++o) {
                std::size_t f = 0;
                while (f < frames && bus3[2 * f] == expected[(o + f) % n]) ++f;
                if (f == frames) ++matches;
            }
            EXPECT_EQ(matches, 1u) << "cycle " << c;
        }
    }
}

TEST_F(AnalyserTest, LevelsScaleTheOutput) {
    set(control_input_select, bus_proc);
    set(control_coarse_level, 2);  // -20 dB
    set(control_level, -6.0f);
    for (int i = 0; i < 40; ++i) cycle();
    double peak = 0.0;
    for (float v : buses_.storage[bus_sig_gen]) peak = std::max(peak, std::fabs(double(v)));
    EXPECT_NEAR(20 * std::log10(peak / fs), -26.0, 0.05);
}

// A full-scale sine exactly on a bin reads 0 dB without the window.
TEST_F(AnalyserTest, OnBinSineReadsZeroDecibelsUnwindowed) {
    set(control_input_select, bus_sig_gen);  // 192 kHz, Short: N = 16384
    set(control_fft_length, 0);
    set(control_fft_window, 0);
    set(control_input_enable, 1);
    const uint32_t k = tone_index(16384, 1000.0f);
    run_steady();
    const auto held = analyser_->held_spectrum(0);
    ASSERT_EQ(held.size(), 8193u);
    EXPECT_NEAR(held[k], 0.0, 0.01);
    EXPECT_LT(held[k + 5], -100.0);  // periodic in the frame: no leakage
    EXPECT_NEAR(analyser_->held_spectrum(1)[k], 0.0, 0.01);
}

TEST_F(AnalyserTest, HannWindowedOnBinSineReadsTheWindowFactor) {
    set(control_input_select, bus_sig_gen);
    set(control_fft_length, 0);
    run_steady();
    const uint32_t k = tone_index(16384, 1000.0f);
    EXPECT_NEAR(analyser_->held_spectrum(0)[k], 20 * std::log10(3.92 / 4), 0.01);
}

TEST_F(AnalyserTest, SwitchingInputOffClearsTheHeldSpectrum) {
    set(control_input_select, bus_sig_gen);
    set(control_fft_length, 0);
    set(control_input_enable, 1);
    for (int i = 0; i < 40; ++i) cycle();
    analyser_->wait_analyses(1);
    const uint64_t before = analyser_->clears();
    set(control_input_enable, 0);
    cycle();
    analyser_->wait_clears(before + 1);
    for (float h : analyser_->held_spectrum(0)) ASSERT_EQ(h, held_floor_dB);
    AnalyserFrame frame;
    ASSERT_TRUE(analyser_->take_frame(frame));
    EXPECT_EQ(frame.high[0][0], held_floor_dB);
}

TEST_F(AnalyserTest, CompactFrameShowsTheToneInItsColumn) {
    set(control_input_select, bus_sig_gen);
    set(control_fft_length, 0);
    set(control_input_enable, 1);
    analyser_->set_view({256, 20.0f, 0.0f});
    run_steady();
    AnalyserFrame frame;
    ASSERT_TRUE(analyser_->take_frame(frame));
    EXPECT_FALSE(analyser_->take_frame(frame));  // nothing newer yet
    ASSERT_EQ(frame.columns, 256u);
    EXPECT_EQ(frame.length, 16384u);
    EXPECT_EQ(frame.high_Hz, 96000.0f);
    const double tone = tone_index(16384, 1000.0f) * 192000.0 / 16384;
    const auto column = static_cast<std::size_t>(256 * std::log(tone / 20.0) / std::log(96000.0 / 20.0));
    const auto loudest = std::max_element(frame.high[0].begin(), frame.high[0].begin() + 256) - frame.high[0].begin();
    EXPECT_EQ(static_cast<std::size_t>(loudest), column);
    EXPECT_NEAR(frame.high[0][column], 20 * std::log10(3.92 / 4), 0.01);
}

TEST_F(AnalyserTest, WaveModeInterpolatesFourTimes) {
    DisplaySettings d = analyser_->display();
    d.mode = static_cast<uint32_t>(DisplayMode::wave);
    analyser_->set_display(d);
    set(control_input_select, bus_sig_gen);
    set(control_fft_length, 0);
    run_steady();
    const auto wave = analyser_->waveform(0);
    ASSERT_EQ(wave.size(), 4u * 16384);
    const auto [lo, hi] = std::minmax_element(wave.begin() + 1000, wave.end());
    EXPECT_NEAR(*hi, 0.99619, 0.01);  // the interpolator's pass-band gain on a 1 kHz sine
    EXPECT_NEAR(*lo, -0.99619, 0.01);
    AnalyserFrame frame;
    ASSERT_TRUE(analyser_->take_frame(frame));
    EXPECT_EQ(frame.display_mode, static_cast<uint32_t>(DisplayMode::wave));
    EXPECT_LE(frame.low[0][frame.columns - 1], frame.high[0][frame.columns - 1]);
}

TEST_F(AnalyserTest, MetersPublishSixLevelsOnATick) {
    set(control_input_select, bus_sig_gen);
    set(control_input_enable, 1);
    for (int i = 0; i < 20; ++i) cycle(false);
    AnalyserMeters meters{};
    analyser_->clear_meters();
    ASSERT_TRUE(analyser_->take_meters(meters));
    cycle(true);
    ASSERT_TRUE(analyser_->take_meters(meters));
    EXPECT_NEAR(meters[0], 0.0, 0.5);  // true peak of a full-scale sine
    EXPECT_NEAR(meters[1], 0.0, 0.5);
    EXPECT_LT(meters[4], meters[0]);   // RMS below the peak
}

TEST(Spectrum, FrameLengthsAndDecays) {
    EXPECT_EQ(frame_length(2, 192000), 65536u);  // Long on a 192 kHz bus
    EXPECT_EQ(frame_length(0, 48000), 4096u);
    EXPECT_EQ(frame_length(1, 96000), 0u);
    EXPECT_EQ(hold_decay_dB(4096, 48000), 10.0f);
    EXPECT_EQ(hold_decay_dB(16384, 48000), 40.0f);
    EXPECT_EQ(hold_decay_dB(16384, 192000), 10.0f);
    EXPECT_EQ(hold_decay_dB(65536, 192000), 40.0f);
    std::vector<float> held = {-10.0f, -10.0f}, levels = {-50.0f, -5.0f};
    update_held(held, levels, 10.0f);
    EXPECT_EQ(held[0], -20.0f);
    EXPECT_EQ(held[1], -5.0f);
}

TEST(Spectrum, DcAndNyquistAreOneSided) {
    // x = 0.5 + 0.25 (-1)^n: DC reads -6 dB, Nyquist -12 dB.
    const uint32_t n = 4096;
    const RealFft fft(n);
    std::vector<float> x(n), work(fft.work_size()), levels(n / 2 + 1);
    for (uint32_t i = 0; i < n; ++i) x[i] = 0.5f + (i % 2 ? -0.25f : 0.25f);
    fft.forward(x, work);
    bin_levels(x, spectrum_scale(n, false), levels);
    EXPECT_NEAR(levels[0], 20 * std::log10(0.5), 1e-4);
    EXPECT_NEAR(levels[n / 2], 20 * std::log10(0.25), 1e-4);
    EXPECT_LT(levels[1], -150.0f);
    // Negative DC reads the same as positive.
    std::vector<float> y(n, -0.5f);
    fft.forward(y, work);
    bin_levels(y, spectrum_scale(n, false), levels);
    EXPECT_NEAR(levels[0], 20 * std::log10(0.5), 1e-4);
}

TEST(Spectrum, HannTableIsSymmetricWithZeroEnds) {
    const auto w = hann_window(8192);
    ASSERT_EQ(w.size(), 8192u);
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_NEAR(w[8191], 0.0f, 1e-7);
    EXPECT_NEAR(w[4095], w[4096], 1e-6);
    EXPECT_TRUE(hann_window(1000).empty());
}

TEST(Spectrum, ReductionTakesTheLoudestBinOrInterpolates) {
    std::vector<float> levels(1001, -100.0f);  // bins every 10 Hz up to 10 kHz
    levels[500] = -3.0f;                       // 5 kHz
    std::vector<float> columns(100);
    reduce_spectrum(levels, 10.0, 10.0, 10000.0, columns);
    const auto c = static_cast<std::size_t>(100 * std::log(500.0) / std::log(1000.0));
    EXPECT_EQ(columns[c], -3.0f);
    EXPECT_EQ(columns[c - 3], -100.0f);
    // Below the bin spacing columns interpolate instead of showing gaps.
    levels[1] = -40.0f;
    levels[2] = -60.0f;
    reduce_spectrum(levels, 10.0, 11.0, 19.0, std::span(columns).first(10));
    for (int i = 0; i < 10; ++i) {
        EXPECT_LE(columns[i], -40.0f);
        EXPECT_GE(columns[i], -60.0f);
    }
    std::vector<float> low(4), high(4), wave = {0, 1, -1, 2, 3, -3, 0, 0};
    reduce_wave(wave, low, high);
    EXPECT_EQ(high[0], 1.0f);
    EXPECT_EQ(low[1], -1.0f);
    EXPECT_EQ(low[2], -3.0f);
    EXPECT_EQ(high[2], 3.0f);
}

TEST(Latest, ReaderGetsOnlyTheNewest) {
    Latest<int> latest;
    int v = 0;
    EXPECT_FALSE(latest.take(v));
    latest.back() = 1;
    latest.publish();
    latest.back() = 2;
    latest.publish();
    ASSERT_TRUE(latest.take(v));
    EXPECT_EQ(v, 2);
    EXPECT_FALSE(latest.take(v));
    latest.back() = 3;
    latest.publish();
    ASSERT_TRUE(latest.take(v));
    EXPECT_EQ(v, 3);
}

}  // namespace
}  // namespace torvalen::measure

namespace torvalen::measure {
namespace {

// The page's controls obey the lock, and its values live on in named presets and
// across a restart of the module.
TEST(AnalyserPresets, LockPresetsAndRestart) {
    char pattern[] = "/tmp/torvalen-analyser-presets-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    std::string error;
    auto store = SettingsStore::open(dir / "settings.db", error);
    ASSERT_TRUE(store) << error;
    const SettingsKey instance_key = *store->root().create("Studio");
    const float square = static_cast<float>(Waveform::square);
    const float pink = static_cast<float>(Waveform::pink_noise);
    {
        uint32_t error_word = 0;
        auto analyser = Analyser::create(instance_key, error_word);
        ASSERT_TRUE(analyser);
        float value = -1.0f;

        // Locked: no change goes through, and the bar refuses its commands.
        EXPECT_FALSE(analyser->controls().set(control_waveform, square));
        EXPECT_FALSE(analyser->preset_bar().save_preset("Tone").ok);
        ASSERT_TRUE(analyser->controls().get(control_waveform, value));
        EXPECT_EQ(value, static_cast<float>(Waveform::sine));

        analyser->set_unlocked(true);
        ASSERT_TRUE(analyser->controls().set(control_waveform, square));
        EXPECT_TRUE(analyser->controls().modified());
        ASSERT_TRUE(analyser->preset_bar().save_preset("Tone").ok);
        EXPECT_FALSE(analyser->controls().modified());
        ASSERT_TRUE(analyser->controls().set(control_waveform, pink));
        ASSERT_TRUE(analyser->preset_bar().choose_preset("Tone").ok);
        ASSERT_TRUE(analyser->controls().get(control_waveform, value));
        EXPECT_EQ(value, square);
        EXPECT_EQ(analyser->settings().waveform, static_cast<uint32_t>(Waveform::square));
    }
    {
        // The current preset comes back with the module.
        uint32_t error_word = 0;
        auto analyser = Analyser::create(instance_key, error_word);
        ASSERT_TRUE(analyser);
        EXPECT_EQ(analyser->preset_bar().current_preset(), "Tone");
        EXPECT_EQ(analyser->settings().waveform, static_cast<uint32_t>(Waveform::square));
    }
    store.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace torvalen::measure
