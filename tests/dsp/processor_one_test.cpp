// "Torvalen One" as the engine runs it: its control table, latency report, bypass, the
// output ceiling under heavy drive, failsafe, AGC gate, bad samples, presets and meters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <limits>
#include <random>
#include <set>

#include "dsp/chain_stages.h"
#include "dsp/iir.h"
#include "dsp/processor_five.h"
#include "dsp/processor_one.h"
#include "dsp/simd_kernels.h"
#include "dsp/rate_convert.h"
#include "params/page_tree.h"
#include "tests/dsp/processor_harness.h"

namespace torvalen::dsp {
namespace {

using test::TestBuses;
using test::TestStore;

class ProcessorOneTest : public ::testing::Test {
protected:
    void SetUp() override {
        uint32_t error = 0;
        proc = ProcessorOne::create(store.instance, error);
        ASSERT_TRUE(proc);
        ASSERT_EQ(error, 0u);
        proc->set_unlocked(true);
    }
    uint32_t index(std::string_view page, std::string_view group, std::string_view label) {
        return test::control_index(proc->controls().tree(), page, group, label);
    }
    void set(std::string_view page, std::string_view group, std::string_view label, float v) {
        const uint32_t i = index(page, group, label);
        float before = 0;
        ASSERT_TRUE(proc->get_value(i, before));
        proc->set_value(i, v);
        float after = 0;
        ASSERT_TRUE(proc->get_value(i, after));
        ASSERT_NEAR(after, v, 1e-4) << label;
    }
    // Runs `blocks` blocks of bus 0 filled by `fill(l, r)`, collecting bus 4.
    template <typename Fill>
    std::vector<float> run(TestBuses& b, int blocks, Fill&& fill, unsigned source = bus_sound_in) {
        std::vector<float> out;
        out.reserve(static_cast<size_t>(blocks) * b.bus(bus_proc).size());
        for (int k = 0; k < blocks; ++k) {
            auto& in = b.bus(source);
            for (size_t i = 0; i < in.size(); i += 2) fill(in[i], in[i + 1]);
            proc->process(b.buses, k % 4 == 3);
            out.insert(out.end(), b.bus(bus_proc).begin(), b.bus(bus_proc).end());
        }
        return out;
    }

    TestStore store;
    std::unique_ptr<ProcessorOne> proc;
};

TEST_F(ProcessorOneTest, TableHas224RecordsBindingEveryOneOf169Slots) {
    const auto table = processor_one_table();
    ASSERT_EQ(table.size(), 224u);
    std::set<uint64_t> slots;
    int controls = 0;
    for (const auto& r : table) {
        if (!params::has_value(r.kind)) continue;
        ++controls;
        const uint64_t byte = r.location - params::template_block_start;
        slots.insert(byte / 4);
        if (r.kind == params::ControlKind::band_frequency)
            for (uint64_t k = 1; k < 6; ++k) slots.insert(byte / 4 + k);  // the band record's six slots
    }
    EXPECT_EQ(controls, 157);
    EXPECT_EQ(slots.size(), 169u);
    EXPECT_EQ(*slots.rbegin(), 168u);

    std::string error;
    const auto tree = params::build_page_tree(table, error);
    ASSERT_TRUE(tree) << error;
    std::vector<std::string> pages;
    for (const auto& p : tree->pages) pages.push_back(p.label);
    EXPECT_EQ(pages, (std::vector<std::string>{"Input", "Bass Enhancer", "Para EQ", "AGC", "Multiband Global",
                                               "Compressor", "Stereo Enhancer", "Band Limite", "Limiter",
                                               "Pre Emphasis", "Power Limiter", "Output", "Processor Enable"}));
    std::vector<std::string> input_groups;
    for (const auto& g : tree->pages[0].groups) input_groups.push_back(g.label);
    EXPECT_EQ(input_groups, (std::vector<std::string>{"Input Select", "Failsafe", "LPF", "HPF",
                                                      "Input Balance (dB)", "Mono", "Input Channel Swap",
                                                      "Input Channel Invert", "Input Level"}));
    // Every list gets its widget (item count matches its range).
    for (const auto& p : tree->pages)
        for (const auto& g : p.groups) EXPECT_TRUE(g.displayable) << p.label << "/" << g.label;
}

TEST_F(ProcessorOneTest, CaptionsAndDefaultsReadBackThroughTheRules) {
    struct Expect {
        const char *page, *group, *label;
        float value;
    };
    const Expect expected[] = {
        {"Input", "Failsafe", "Threshold (dB)", -40},
        {"Input", "Input Level", "Gain (dB)", -15},
        {"Bass Enhancer", "Bass Enhance", "Timing", 12},
        {"Bass Enhancer", "Bass Enhance", "Boost", 15},
        {"Para EQ", "EQ 1", "Freq", 50},
        {"Para EQ", "EQ 1", "Q", 1},
        {"Para EQ", "EQ 1", "Amp  (dB)", 0},
        {"Para EQ", "EQ 4", "Q", 3},
        {"AGC", "AGC Timing", "Fast Release", 15},
        {"AGC", "AGC Fast Threshold (dB)", "Attack", 15},
        {"AGC", "AGC Max Boost (dB)", "B", 15},
        {"Compressor", "Comp RMS ntegrate", "B", 12.5f},
        {"Compressor", "Comp Drive (dB)", "B", 10},
        {"Compressor", "Comp Output", "Drive (dB)", 3},
        {"Stereo Enhancer", "St Enh Max", "M", 10},
        {"Stereo Enhancer", "St Enh Plat Rate", "H1", 14.5f},
        {"Band Limite", "MBL Drive", "Drive (dB)", 3.5f},
        {"Band Limite", "MBL Band  Drives (dB)", "B", 2},
        {"Band Limite", "MBL Fast  Thresh (dB)", "M2", -10},
        {"Band Limite", "MBL Clip Thresh (dB)", "M1", 5},
        {"Limiter", "Lim Drive", "Drive  (dB)", 4},
        {"Limiter", "Lim Timing", "Fast Release Threash", -10},
        {"Limiter", "Lim Timing", "Clip Drive  (dB)", 0},
        {"Limiter", "Lim Clip Release", "H1", 12},
        {"Power Limiter", "Power Limiter Drive", "Drive (dB)", 8},
        {"Power Limiter", "Power Limiter Level", "Level Fine (dB)", 0},
        {"Power Limiter", "Power Limiter Timing", "Release", 15.5f},
        {"Power Limiter", "Power Limiter Timing", "Delay Off\nDelay On\n", 1},
        {"Processor Enable", "Processor Enablef", "Off\nOn\n", 1},
    };
    for (const Expect& e : expected) {
        float v = 1e9f;
        ASSERT_TRUE(proc->get_value(index(e.page, e.group, e.label), v)) << e.label;
        EXPECT_NEAR(v, e.value, 1e-3) << e.page << "/" << e.group << "/" << e.label;
    }
    // Stored values the chain reads: reversed and shifted stored ranges.
    const auto slots = proc->slots();
    EXPECT_NEAR(slots[one_slot::mbl_drive], std::pow(10.0, -11.5 / 20), 1e-6);        // 3.5 dB on [-25, -5]
    EXPECT_NEAR(slots[one_slot::lim_drive], std::pow(10.0, 9.0 / 20), 1e-6);          // 4 dB on [-5, 15]
    EXPECT_NEAR(slots[one_slot::agc_max_boost], std::pow(10.0, 5.0 / 20), 1e-6);      // 15 dB on [20, 0]
    EXPECT_NEAR(slots[one_slot::agc_fast_attack], std::pow(10.0, -15.0 / 20), 1e-6);  // 15 dB on [0, -20]
    EXPECT_NEAR(slots[common_slot::input_level], std::pow(10.0, -10.0 / 20), 1e-6);   // -15 dB on [-35, 5]
    // Out-of-range index and records without a value are refused.
    float v = 0;
    EXPECT_FALSE(proc->get_value(224, v));
    EXPECT_FALSE(proc->get_value(0, v));  // the "Input" page
    EXPECT_FALSE(proc->set_value(224, 1));
}

TEST_F(ProcessorOneTest, DefaultLatencyIs2746AndFollowsTheStages) {
    TestBuses b;
    auto quiet = [](float& l, float& r) { l = r = 1000.0f; };
    run(b, 1, quiet);
    EXPECT_EQ(proc->latency_samples(), 26u + 556u + 2077u + 26u + 61u);

    set("Power Limiter", "Power Limiter Enable", "Off\nOn (Clip On)\nOn (Clip Off)\n", 1);
    run(b, 1, quiet);
    EXPECT_EQ(proc->latency_samples(), 2746u + 9600u);
    set("Power Limiter", "Power Limiter Timing", "Delay Off\nDelay On\n", 0);
    run(b, 1, quiet);
    EXPECT_EQ(proc->latency_samples(), 2746u);

    // HD band limit in and out, Garde 5th, pre-emphasis Boost 75 us with the HF clipper,
    // equaliser on, low multiband latency.
    set("Input", "LPF", "FM\nAM 8k\nAM 5k\nHD\n", 3);
    set("Multiband Global", "Multiband Filter", "Lin Phase\nGarde 3rd\nGarde 5th\n", 2);
    set("Pre Emphasis", "Pre Emphasis", "25us\n50us\n75us\n", 2);
    set("Pre Emphasis", "Pre Emphasis", "Off\nPure\nBoost\n", 2);
    set("Para EQ", "Para EQ Enable", "Off\nOn\n", 1);
    set("Multiband Global", "Multiband Latency", "Low\nHigh\n", 0);
    run(b, 1, quiet);
    EXPECT_EQ(proc->latency_samples(), 50u + 18u + 29u + 154u + MultibandSection::low_latency_frames + 69u + 50u + 61u);
}

TEST_F(ProcessorOneTest, ProcessorEnableOffCopiesBus0AndReportsNoLatency) {
    set("Processor Enable", "Processor Enablef", "Off\nOn\n", 0);
    TestBuses b;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-2e9f, 2e9f);
    for (int k = 0; k < 3; ++k) {
        for (float& x : b.bus(bus_sound_in)) x = u(rng);
        proc->process(b.buses, true);
        EXPECT_EQ(b.bus(bus_proc), b.bus(bus_sound_in));
    }
    EXPECT_EQ(proc->latency_samples(), 0u);
    ProcessorMeters m;
    ASSERT_TRUE(proc->take_meters(m));
    ASSERT_EQ(m.count, 76u);
    EXPECT_EQ(m.value[6], 20.0f);
}

TEST_F(ProcessorOneTest, ProcessorEnableOffDecimatesA192kBus) {
    set("Processor Enable", "Processor Enablef", "Off\nOn\n", 0);
    set("Input", "Input Select", "Sound In\nPlayer\nSTL RX\nSig Gen\n", 3);
    TestBuses b;
    Decimator reference;
    const double w = 2 * 3.14159265358979 * 1000.0 / 192000.0;
    uint64_t n = 0;
    for (int k = 0; k < 4; ++k) {
        auto& in = b.bus(bus_sig_gen);
        for (size_t i = 0; i < in.size(); i += 2, ++n) {
            in[i] = static_cast<float>(1e9 * std::sin(w * n));
            in[i + 1] = -in[i];
        }
        proc->process(b.buses, false);
        for (size_t f = 0; f < b.frames(bus_proc); ++f) {
            SubSamples s;
            for (int j = 0; j < 4; ++j) {
                s.l[j] = in[8 * f + 2 * j];
                s.r[j] = in[8 * f + 2 * j + 1];
            }
            float l, r;
            reference.process(s, l, r);
            ASSERT_EQ(b.bus(bus_proc)[2 * f], l);
            ASSERT_EQ(b.bus(bus_proc)[2 * f + 1], r);
        }
    }
    // The 1 kHz tone survives decimation at its level.
    EXPECT_NEAR(test::peak_of(b.bus(bus_proc)), 1e9 * 0.99619, 1e7);
}

TEST_F(ProcessorOneTest, BusWithoutRateGivesSilenceNotAStaleBlock) {
    TestBuses b;
    set("Processor Enable", "Processor Enablef", "Off\nOn\n", 0);
    set("Input", "Input Select", "Sound In\nPlayer\nSTL RX\nSig Gen\n", 2);
    b.buses.rate[bus_stl_rx] = 0;
    std::fill(b.bus(bus_proc).begin(), b.bus(bus_proc).end(), 123.0f);
    std::fill(b.bus(bus_stl_rx).begin(), b.bus(bus_stl_rx).end(), 5e8f);
    proc->process(b.buses, false);
    EXPECT_EQ(test::peak_of(b.bus(bus_proc)), 0.0);
}

// The output never passes digital full scale: noise 20 dB over full scale into every
// power limiter mode, with both multiband latencies and every band limit.
TEST_F(ProcessorOneTest, OutputNeverExceedsFullScaleAtTwentyDecibelsOfDrive) {
    const uint32_t pl = index("Power Limiter", "Power Limiter Enable", "Off\nOn (Clip On)\nOn (Clip Off)\n");
    const uint32_t latency = index("Multiband Global", "Multiband Latency", "Low\nHigh\n");
    const uint32_t lpf = index("Input", "LPF", "FM\nAM 8k\nAM 5k\nHD\n");
    set("Input", "Input Level", "Gain (dB)", 0);
    set("Pre Emphasis", "Pre Emphasis", "Off\nPure\nBoost\n", 1);
    set("Power Limiter", "Power Limiter Drive", "Drive (dB)", 20);
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 1.0f);
    test::PinkNoise pink(5);
    for (uint32_t mode = 0; mode < 3; ++mode) {
        for (uint32_t lat = 0; lat < 2; ++lat) {
            proc->set_value(pl, static_cast<float>(mode));
            proc->set_value(latency, static_cast<float>(lat));
            proc->set_value(lpf, static_cast<float>((mode + lat) % 4));
            TestBuses b;
            int k = 0;
            const auto out = run(b, 300, [&](float& l, float& r) {
                // Bursts of white and pink noise, 10x full scale RMS, with pauses.
                const bool loud = (k++ / 20000) % 3 != 2;
                if ((k / 7000) % 2) {
                    l = static_cast<float>(10.0 * test::fs * g(rng) * loud);
                    r = static_cast<float>(10.0 * test::fs * g(rng) * loud);
                } else {
                    pink.next(l, r, 10.0 * test::fs * loud);
                }
            });
            const double peak = test::peak_of(out);
            EXPECT_LE(peak, test::fs) << "mode " << mode << " latency " << lat;
            EXPECT_GT(peak, 0.05 * test::fs) << "mode " << mode << " latency " << lat;
        }
    }
}

struct RecordingPlayer : FailsafePlayer {
    int starts = 0, stops = 0;
    void failsafe_start() override { ++starts; }
    void failsafe_stop() override { ++stops; }
};

TEST_F(ProcessorOneTest, FailsafeEngagesSixDecibelsBelowAndReleasesSixAbove) {
    RecordingPlayer player;
    proc->failsafe_hand_off().player.store(&player);
    set("Input", "Failsafe", "Off\nOn\n", 1);  // threshold -40 dB
    TestBuses b;
    // A sine's (L^2 + R^2) 2^-62 mean square is A^2 with equal channels of amplitude A.
    auto tone = [&](double dB) {
        const double a = test::fs * std::pow(10.0, dB / 20.0);
        return [a, n = 0](float& l, float& r) mutable {
            l = r = static_cast<float>(a * std::sin(0.05 * n++));
        };
    };
    // Player bus carries a marker so the switch is visible in bus 4.
    std::fill(b.bus(bus_player).begin(), b.bus(bus_player).end(), 0.0f);
    run(b, 400, tone(-30));
    EXPECT_EQ(player.starts, 0);
    run(b, 400, tone(-44));  // 4 dB below: not yet
    EXPECT_EQ(player.starts, 0);
    run(b, 400, tone(-47));  // 7 dB below: engages
    EXPECT_EQ(player.starts, 1);
    EXPECT_EQ(proc->failsafe_hand_off().failsafe.load(), 1u);
    run(b, 400, tone(-36));  // 4 dB above: still engaged
    EXPECT_EQ(player.stops, 0);
    run(b, 400, tone(-33));  // 7 dB above: released
    EXPECT_EQ(player.stops, 1);
    EXPECT_EQ(proc->failsafe_hand_off().failsafe.load(), 0u);
    EXPECT_EQ(player.starts, 1);

    // Never while the Player itself is selected, however quiet it is.
    set("Input", "Input Select", "Sound In\nPlayer\nSTL RX\nSig Gen\n", 1);
    run(b, 400, [](float& l, float& r) { l = r = 0.0f; }, bus_player);
    EXPECT_EQ(player.starts, 1);
    EXPECT_FALSE(proc->source_stage().failsafe_active());
    proc->failsafe_hand_off().player.store(nullptr);
}

TEST_F(ProcessorOneTest, FailsafePlaysThePlayerBusWhileActive) {
    set("Input", "Failsafe", "Off\nOn\n", 1);
    set("Processor Enable", "Processor Enablef", "Off\nOn\n", 0);
    TestBuses b;
    std::fill(b.bus(bus_player).begin(), b.bus(bus_player).end(), 777.0f);
    run(b, 200, [](float& l, float& r) { l = r = 0.0f; });  // silence on bus 0, no Player registered
    EXPECT_TRUE(proc->source_stage().failsafe_active());
    for (float v : b.bus(bus_proc)) ASSERT_EQ(v, 777.0f);
    // Switching the failsafe off returns to the selected input.
    set("Input", "Failsafe", "Off\nOn\n", 0);
    run(b, 1, [](float& l, float& r) { l = r = 5.0f; });
    for (float v : b.bus(bus_proc)) ASSERT_EQ(v, 5.0f);
}

TEST_F(ProcessorOneTest, ClosedAgcGateMovesTheGainTowardUnityAndShowsPositive) {
    TestBuses b;
    // Programme first: the gate opens and the AGC works on the level.
    test::PinkNoise pink(2);
    run(b, 800, [&](float& l, float& r) { pink.next(l, r, 0.1 * test::fs); });
    EXPECT_FALSE(proc->agc_gate_closed());
    // Then near-silence, far below the -30 dB gate (-80 dBFS after the input level).
    run(b, 4000, [&](float& l, float& r) { pink.next(l, r, 1e-6 * test::fs); });
    EXPECT_TRUE(proc->agc_gate_closed());
    EXPECT_NEAR(proc->agc_gain() * 9.875001f, 0.9875f, 0.01f);
    ProcessorMeters m;
    ASSERT_TRUE(proc->take_meters(m));
    EXPECT_NEAR(m.value[6], 20.0f, 0.1f);  // gain 0.1 before make-up, shown inverted
}

TEST_F(ProcessorOneTest, NonFiniteInputNeverPoisonsTheChain) {
    TestBuses b;
    test::PinkNoise pink(9);
    int n = 0;
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), 3e38f};
    const auto out = run(b, 400, [&](float& l, float& r) {
        pink.next(l, r, 0.2 * test::fs);
        if (++n % 997 == 0) l = bad[(n / 997) % 4];
        if (n % 1499 == 0) r = bad[(n / 1499) % 4];
    });
    for (float v : out) ASSERT_TRUE(std::isfinite(v));
    // The programme is still there at the end, not silenced by a stuck state.
    const std::vector<float> tail(out.end() - 48000, out.end());
    EXPECT_GT(test::peak_of(tail), 0.1 * test::fs);
}

TEST_F(ProcessorOneTest, MetersShowBandLimitingAndEqualiserBands) {
    set("Para EQ", "Para EQ Enable", "Off\nOn\n", 1);
    set("Para EQ", "EQ 2", "Freq", 1000);
    set("Para EQ", "EQ 2", "Amp (dB)", 6);
    TestBuses b;
    test::PinkNoise pink(4);
    run(b, 400, [&](float& l, float& r) { pink.next(l, r, 0.05 * test::fs); });
    ProcessorMeters m;
    ASSERT_TRUE(proc->take_meters(m));
    ASSERT_EQ(m.count, 76u);
    for (uint32_t i = 0; i < 60; ++i) EXPECT_TRUE(std::isfinite(m.value[i])) << i;
    EXPECT_LT(m.value[0], 0.0f);
    EXPECT_GT(m.value[0], -30.0f);
    // Heavy programme is band limited somewhere; the always-zero values stay 0.
    float deepest = 0;
    for (int k = 0; k < 5; ++k) {
        deepest = std::min(deepest, m.value[17 + 6 * k + 2]);
        EXPECT_EQ(m.value[17 + 6 * k + 4], 0.0f);
        EXPECT_LE(m.value[17 + 6 * k], m.value[17 + 6 * k + 2] + 1e-4f);  // hL includes h
    }
    EXPECT_LT(deepest, -1.0f);
    EXPECT_LE(m.value[54], 0.0f);
    EXPECT_EQ(m.value[64], 1000.0f);
    EXPECT_NEAR(m.value[66], std::pow(10.0f, 6.0f / 20.0f) - 1.0f, 1e-4f);
    EXPECT_EQ(m.value[67], 192000.0f);
    EXPECT_EQ(m.value[60], 50.0f);
}

TEST_F(ProcessorOneTest, CurrentPresetIsReloadedAtCreation) {
    const uint32_t drive = index("Limiter", "Lim Drive", "Drive  (dB)");
    set("Limiter", "Lim Drive", "Drive  (dB)", -2.5f);
    ASSERT_TRUE(proc->preset_bar().save_preset("Rock"));
    set("Limiter", "Lim Drive", "Drive  (dB)", 6);
    proc.reset();  // leaves a working copy: the values differ from "Rock"
    {
        uint32_t error = 0;
        auto again = ProcessorOne::create(store.instance, error);
        ASSERT_TRUE(again);
        float v = 0;
        ASSERT_TRUE(again->get_value(drive, v));
        EXPECT_NEAR(v, 6.0f, 1e-4f);
        EXPECT_EQ(again->preset_bar().current_preset(), "Rock");
        again->set_unlocked(true);
        ASSERT_TRUE(again->preset_bar().choose_preset("Rock"));
    }
    uint32_t error = 0;
    proc = ProcessorOne::create(store.instance, error);
    ASSERT_TRUE(proc);
    float v = 0;
    ASSERT_TRUE(proc->get_value(drive, v));
    EXPECT_NEAR(v, -2.5f, 1e-4f);
    EXPECT_TRUE(store.instance.open("Torvalen One-v1.0.0"));
}

// The linear path (AGC off, band drives 0 dB, a level far below every threshold) of each
// crossover is flat: the chain's magnitude response, measured from its impulse response,
// divided by that of the input high-pass (a 0.5 dB-ripple Chebyshev by design, whose
// ripple reaches up to 80 Hz), stays within 0.15 dB peak to peak from 30 Hz to 15 kHz.
// The several 4x converter pairs in series once made it ripple by 0.8 to 1.3 dB.
TEST_F(ProcessorOneTest, LinearPathIsFlatForEveryCrossover) {
    set("AGC", "AGC Enable", "Off\nOn\n", 0);
    set("Band Limite", "MBL Band  Drives (dB)", "B", 0);
    constexpr std::size_t length = 1 << 16;
    constexpr float impulse = 1.0e6f;
    // The input high-pass's own impulse response.
    constexpr double hpf_pairs[3][2] = {{0.2784, 0.2596}, {0.2037, 0.7091}, {0.07459, 0.9687}};
    std::vector<double> hp(length);
    {
        std::array<HighPass2<double>, 3> s;
        for (int k = 0; k < 3; ++k) s[k] = design_high_pass2_48k(hpf_pairs[k][0], hpf_pairs[k][1], 20.0);
        for (std::size_t n = 0; n < length; ++n) {
            float l = n == 0 ? 1.0f : 0.0f, r = l;
            for (auto& sec : s) sec.process(l, r);
            hp[n] = l;
        }
    }
    auto magnitude_dB = [](const std::vector<double>& h, double f) {
        const std::complex<double> step = std::polar(1.0, -2.0 * std::numbers::pi * f / 48000.0);
        std::complex<double> z = 1.0, s{};
        for (double v : h) {
            s += v * z;
            z *= step;
        }
        return 20.0 * std::log10(std::abs(s));
    };
    std::vector<double> freqs;
    for (double f = 30; f < 300; f *= 1.1) freqs.push_back(f);
    for (double f = 300; f <= 15000; f += 75) freqs.push_back(f);
    for (int filter = 0; filter < 3; ++filter) {
        set("Multiband Global", "Multiband Filter", "Lin Phase\nGarde 3rd\nGarde 5th\n", static_cast<float>(filter));
        TestBuses b;
        // Let the previous setting's state die away, then one impulse.
        run(b, 200, [](float& l, float& r) { l = r = 0.0f; });
        std::size_t n = 0;
        const std::vector<float> out = run(b, static_cast<int>((length + 4000) / b.frames(bus_proc)), [&](float& l, float& r) {
            l = r = n++ == 0 ? impulse : 0.0f;
        });
        std::vector<double> h(length);
        for (std::size_t i = 0; i < length; ++i) h[i] = out[2 * i] / impulse;
        double lo = 1e9, hi = -1e9;
        for (double f : freqs) {
            const double d = magnitude_dB(h, f) - magnitude_dB(hp, f);
            lo = std::min(lo, d);
            hi = std::max(hi, d);
        }
        EXPECT_LT(hi - lo, 0.15) << "Multiband Filter " << filter << ": " << lo << " to " << hi << " dB";
    }
}

// "Torvalen One" (type 1) or "Torvalen 5" with every optional stage on: power limiter,
// pre-emphasis (list index `emphasis`: 1 "Pure", 2 "Boost") and its clipper, compressor
// and stereo enhancer.
std::unique_ptr<ChainProcessor> test_busy_processor(TestStore& store, int type, float emphasis) {
    uint32_t error = 0;
    std::unique_ptr<ChainProcessor> p;
    if (type == 1)
        p = ProcessorOne::create(store.instance, error);
    else
        p = ProcessorFive::create(store.instance, error);
    if (!p) return p;
    p->set_unlocked(true);
    const auto& tree = p->controls().tree();
    auto set = [&](std::string_view page, std::string_view group, std::string_view label, float v) {
        p->set_value(test::control_index(tree, page, group, label), v);
    };
    set("Power Limiter", "Power Limiter Enable", "Off\nOn (Clip On)\nOn (Clip Off)\n", 1);
    set("Pre Emphasis", "Pre Emphasis", "Off\nPure\nBoost\n", emphasis);
    set("Compressor", "Comp Enable", "Off\nOn\n", 1);
    set("Stereo Enhancer", "St Enh Enable", "Off\nOn\n", 1);
    return p;
}

// The vector kernels of every instruction set this machine has give the same output as
// the SSE2 baseline (to rounding), for both processors with every optional
// stage on (compressor, enhancer, pre-emphasis and its clipper, power limiter) on
// programme-like material driven into the limiters.
TEST(ProcessorKernels, EveryInstructionSetMatchesTheBaseline) {
    using simd::Level;
    const Level widest = simd::detected_level();
    if (widest == Level::sse2) GTEST_SKIP() << "only the baseline on this processor";
    for (int type : {1, 5}) {
        std::vector<Level> levels{Level::avx2};
        if (widest == Level::avx512) levels.push_back(Level::avx512);
        for (Level level : levels) {
            TestStore store_base, store_wide;
            auto base = test_busy_processor(store_base, type, 2), wide = test_busy_processor(store_wide, type, 2);
            ASSERT_TRUE(base && wide);
            TestBuses bb, bw;
            test::PinkNoise noise(3);
            // Silence first, until both have taken their parameters and run (a block
            // meets the parameter lock held by another thread now and then, and a
            // processor without parameters yet skips its block), then alike.
            for (int k = 0; k < 1000 && (base->latency_samples() == 0 || wide->latency_samples() == 0); ++k) {
                if (base->latency_samples() == 0) base->process(bb.buses, false);
                if (wide->latency_samples() == 0) wide->process(bw.buses, false);
            }
            for (int k = 0; k < 8; ++k) {
                base->process(bb.buses, false);
                wide->process(bw.buses, false);
            }
            double worst = 0.0, peak = 0.0, sq = 0.0;
            std::size_t n = 0;
            for (int k = 0; k < 400; ++k) {
                auto& in = bb.bus(bus_sound_in);
                const double rms = k % 100 < 50 ? 2.0e8 : 6.0e8;  // level steps
                for (std::size_t i = 0; i < in.size(); i += 2) noise.next(in[i], in[i + 1], rms);
                bw.bus(bus_sound_in) = in;
                simd::set_level_limit(Level::sse2);
                base->process(bb.buses, k % 4 == 3);
                simd::set_level_limit(level);
                wide->process(bw.buses, k % 4 == 3);
                const auto& a = bb.bus(bus_proc);
                const auto& b = bw.bus(bus_proc);
                for (std::size_t i = 0; i < a.size(); ++i) {
                    const double d = static_cast<double>(a[i]) - b[i];
                    worst = std::max(worst, std::fabs(d));
                    sq += d * d;
                    ++n;
                    peak = std::max(peak, std::fabs(static_cast<double>(a[i])));
                }
            }
            simd::set_level_limit(Level::avx512);
            EXPECT_GT(peak, 0.1 * test::fs) << "the material reaches the limiters";
            // Rounding differs by an ulp here and there; the decisions at zero crossings
            // (half-cycle holds) and the limiters' envelopes carry some of that into
            // single samples, so the worst sample is allowed 2e-6 of full scale while
            // the difference as a whole stays near -140 dB.
            EXPECT_LE(worst, 2e-6 * test::fs) << "processor " << type << ", " << simd::level_name(level);
            EXPECT_LE(std::sqrt(sq / static_cast<double>(n)), 2e-7 * test::fs) << "processor " << type;
        }
    }
}

TEST(ProcessorMeters, MeasuredAsAPairOrApartTheReadingsAreTheSame) {
    // The input and output level meters measure side by side once a block is through
    // (blocks up to InputStage::kept_capacity frames), or each in its stage (longer
    // blocks). Blocks of twice that and halves of them: the same output, the same levels.
    for (int type : {1, 5}) {
        TestStore sa, sb;
        auto apart = test_busy_processor(sa, type, 1), paired = test_busy_processor(sb, type, 1);
        ASSERT_TRUE(apart && paired);
        constexpr uint32_t n = 2 * InputStage::kept_capacity, half = n / 2;
        static_assert(half <= InputStage::kept_capacity && n > InputStage::kept_capacity);
        TestBuses ba(48000, 2 * n), bp(48000, 2 * half);
        // Silence until each has taken its parameters, then as much into each.
        uint32_t fa = 0, fp = 0;
        for (int k = 0; k < 100 && apart->latency_samples() == 0; ++k, fa += n) apart->process(ba.buses, false);
        for (int k = 0; k < 100 && paired->latency_samples() == 0; ++k, fp += half) paired->process(bp.buses, false);
        while (fa != fp) {
            if (fa < fp) {
                apart->process(ba.buses, false);
                fa += n;
            } else {
                paired->process(bp.buses, false);
                fp += half;
            }
        }
        test::PinkNoise noise(13);
        for (int k = 0; k < 4; ++k) {
            auto& in = ba.bus(bus_sound_in);
            for (std::size_t i = 0; i < in.size(); i += 2) noise.next(in[i], in[i + 1], k % 2 ? 6.0e8 : 1.0e8);
            apart->process(ba.buses, k == 3);
            for (uint32_t h = 0; h < 2; ++h) {
                std::copy_n(in.begin() + 2 * h * half, 2 * half, bp.bus(bus_sound_in).begin());
                paired->process(bp.buses, k == 3 && h == 1);
                ASSERT_TRUE(std::equal(bp.bus(bus_proc).begin(), bp.bus(bus_proc).end(),
                                       ba.bus(bus_proc).begin() + 2 * h * half))
                    << "processor " << type << ", block " << k;
            }
        }
        ProcessorMeters ma, mp;
        ASSERT_TRUE(apart->take_meters(ma) && paired->take_meters(mp));
        const std::size_t output = type == 1 ? 54 : 55;  // where each processor's output meter starts
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(ma.value[i], mp.value[i]) << "input level " << i << ", processor " << type;
            EXPECT_EQ(ma.value[output + i], mp.value[output + i]) << "output level " << i << ", processor " << type;
        }
        EXPECT_GT(mp.value[0], -40.0f);
        EXPECT_GT(mp.value[output], -40.0f);
    }
}

}  // namespace
}  // namespace torvalen::dsp

namespace torvalen::dsp {
namespace {

// The processors run a block stage by stage; the output must be exactly what taking every
// frame through the whole chain gives (one-frame blocks), for both processors with every
// optional stage on, on programme-like material driven into the limiters, with each
// instruction set's kernels. The block length, 200 frames, ends its last run of frames
// and its last group within the run part-way. (Stack garbage in the bands' padding lanes
// once made the output depend on the call pattern.)
TEST(ProcessorBlocks, StageByStageEqualsFrameByFrame) {
    using simd::Level;
    std::vector<Level> levels{Level::sse2};
    if (simd::detected_level() >= Level::avx2) levels.push_back(Level::avx2);
    if (simd::detected_level() == Level::avx512) levels.push_back(Level::avx512);
    for (Level level : levels) {
        simd::set_level_limit(level);
        for (int type : {1, 5}) {
            TestStore store_block, store_frame;
            auto block = test_busy_processor(store_block, type, 1), frame = test_busy_processor(store_frame, type, 1);
            ASSERT_TRUE(block && frame);
            constexpr uint32_t n = 200;
            TestBuses bb(48000, 2 * n), bf(48000, 2);  // floats per bus at 48 kHz
            // Silence until each has taken its parameters (the first block that finds
            // them runs), then as many silent frames into each, so the material lines up.
            uint32_t silent_block = 0, silent_frame = 0;
            for (int k = 0; k < 1000 && block->latency_samples() == 0; ++k, silent_block += n)
                block->process(bb.buses, false);
            for (int k = 0; k < 1000 && frame->latency_samples() == 0; ++k, ++silent_frame)
                frame->process(bf.buses, false);
            for (; silent_frame < silent_block; ++silent_frame) frame->process(bf.buses, false);
            ASSERT_EQ(silent_frame, silent_block);
            test::PinkNoise noise(5);
            double worst = 0.0, peak = 0.0;
            for (int k = 0; k < 120; ++k) {
                auto& in = bb.bus(bus_sound_in);
                const double rms = k % 20 < 10 ? 2.0e8 : 6.0e8;  // level steps
                for (std::size_t i = 0; i < in.size(); i += 2) noise.next(in[i], in[i + 1], rms);
                block->process(bb.buses, false);
                for (uint32_t i = 0; i < n; ++i) {
                    bf.bus(bus_sound_in)[0] = in[2 * i];
                    bf.bus(bus_sound_in)[1] = in[2 * i + 1];
                    frame->process(bf.buses, false);
                    for (int c = 0; c < 2; ++c) {
                        const double a = bb.bus(bus_proc)[2 * i + c], b = bf.bus(bus_proc)[c];
                        worst = std::max(worst, std::fabs(a - b));
                        peak = std::max(peak, std::fabs(a));
                    }
                }
            }
            EXPECT_GT(peak, 0.1 * test::fs) << "the material reaches the limiters";
            EXPECT_EQ(worst, 0.0) << "processor " << type << ", " << simd::level_name(level);
            EXPECT_EQ(block->latency_samples(), frame->latency_samples());
        }
    }
    simd::set_level_limit(Level::avx512);
}

TEST(ProcessorMetersHidden, SameOutputWithoutTheLevelMeters) {
    // A render shows no meters: the level meters are then left out, and the output stays
    // the same to the bit. The shown processor's meters read the material; the hidden
    // one's stay where they were.
    for (int type : {1, 5}) {
        TestStore store_shown, store_hidden;
        auto shown = test_busy_processor(store_shown, type, 1), hidden = test_busy_processor(store_hidden, type, 1);
        ASSERT_TRUE(shown && hidden);
        hidden->set_meters_shown(false);
        constexpr uint32_t n = 256;
        TestBuses bs(48000, 2 * n), bh(48000, 2 * n);
        test::PinkNoise noise(9);
        ProcessorMeters ms, mh;
        for (int k = 0; k < 200; ++k) {
            auto& in = bs.bus(bus_sound_in);
            for (std::size_t i = 0; i < in.size(); i += 2) noise.next(in[i], in[i + 1], 4.0e8);
            bh.bus(bus_sound_in) = in;
            shown->process(bs.buses, true);
            hidden->process(bh.buses, true);
            ASSERT_EQ(bs.bus(bus_proc), bh.bus(bus_proc)) << "processor " << type << ", block " << k;
            ASSERT_TRUE(shown->take_meters(ms) && hidden->take_meters(mh));
        }
        const std::size_t output = type == 1 ? 54 : 55;  // where each processor's output meter starts
        EXPECT_GT(ms.value[0], -40.0f) << "input true peak, shown, processor " << type;
        EXPECT_GT(ms.value[output], -40.0f) << "output true peak, shown, processor " << type;
        EXPECT_LT(mh.value[0], -150.0f) << "input true peak, hidden, processor " << type;
        EXPECT_LT(mh.value[output], -150.0f) << "output true peak, hidden, processor " << type;
    }
}

}  // namespace
}  // namespace torvalen::dsp
