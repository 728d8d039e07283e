// The power limiter's loudness targets, measured on the output with an independent
// BS.1770 / EBU R128 implementation (libebur128).
#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <memory>
#include <vector>

#include "dsp/processor_one.h"
#include "tests/dsp/processor_harness.h"

namespace torvalen::dsp {
namespace {

struct Meter {
    ebur128_state* state = ebur128_init(2, 48000, EBUR128_MODE_I);
    ~Meter() { ebur128_destroy(&state); }
    void add(const std::vector<float>& block) {
        // libebur128 takes full scale as 1.0.
        std::vector<double> x(block.size());
        for (size_t i = 0; i < block.size(); ++i) x[i] = block[i] / test::fs;
        ebur128_add_frames_double(state, x.data(), x.size() / 2);
    }
    double integrated() {
        double lufs = 0;
        EXPECT_EQ(ebur128_loudness_global(state, &lufs), EBUR128_SUCCESS);
        return lufs;
    }
};

// Programme-like material: pink noise whose level steps every few seconds over 30 dB,
// with a short pause, about 60 s in all.
template <typename Proc>
double processed_loudness(Proc& proc, double& input_lufs) {
    test::TestBuses b;
    test::PinkNoise pink(11);
    Meter in, out;
    const double levels_dB[] = {-20, -35, -12, -25, -60, -18, -30, -15};
    const int blocks_per_step = 7.5 * 48000 / 256;
    std::vector<float> block;
    for (double level : levels_dB) {
        const double rms = test::fs * std::pow(10.0, level / 20.0);
        for (int k = 0; k < blocks_per_step; ++k) {
            auto& x = b.bus(bus_sound_in);
            for (size_t i = 0; i < x.size(); i += 2) pink.next(x[i], x[i + 1], rms);
            in.add(x);
            proc.process(b.buses, false);
            out.add(b.bus(bus_proc));
        }
    }
    input_lufs = in.integrated();
    return out.integrated();
}

TEST(ProcessorOneLoudness, R128TargetsHoldWithinOneLu) {
    struct Case {
        float level;  // "Power Limiter Level" list
        double target_lufs;
    };
    for (const Case c : {Case{0, -23.0}, Case{1, -18.0}}) {
        test::TestStore store;
        uint32_t error = 0;
        auto proc = ProcessorOne::create(store.instance, error);
        ASSERT_TRUE(proc);
        proc->set_unlocked(true);
        const auto& tree = proc->controls().tree();
        proc->set_value(test::control_index(tree, "Power Limiter", "Power Limiter Enable",
                                            "Off\nOn (Clip On)\nOn (Clip Off)\n"),
                        1);
        proc->set_value(test::control_index(tree, "Power Limiter", "Power Limiter Level",
                                            "EBU R128-23\nEBU R128-18\nBS.412\n"),
                        c.level);
        double input = 0;
        const double lufs = processed_loudness(*proc, input);
        std::cout << "target " << c.target_lufs << " LUFS: output " << lufs << " LUFS (input " << input << ")\n";
        EXPECT_NEAR(lufs, c.target_lufs, 1.0) << "input " << input << " LUFS";
        // The material itself is far from the target: the limiter did the work.
        EXPECT_GT(std::fabs(input - c.target_lufs), 3.0);
    }
}

TEST(ProcessorOneLoudness, WithoutThePowerLimiterTheOutputIsLouder) {
    test::TestStore store;
    uint32_t error = 0;
    auto proc = ProcessorOne::create(store.instance, error);
    ASSERT_TRUE(proc);
    double input = 0;
    const double lufs = processed_loudness(*proc, input);
    std::cout << "power limiter off: output " << lufs << " LUFS\n";
    EXPECT_GT(lufs, -16.0);  // dense, near full scale
    EXPECT_LT(lufs, 0.0);
}

}  // namespace
}  // namespace torvalen::dsp
