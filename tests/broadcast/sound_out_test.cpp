// Sound Out: its table, both output paths, and the multiplex measured with a
// pilot-locked stereo decoder.
#include <gtest/gtest.h>

#include <cmath>

#include "broadcast/sound_out.h"
#include "dsp/fir_tables.h"
#include "dsp/rate_tables.h"
#include "dsp/simd_kernels.h"
#include "params/page_tree.h"
#include "tests/broadcast/mpx_rig.h"

namespace torvalen::broadcast {
namespace {

using testing::fs_192;
using testing::fs_48;
using testing::output_scale;
using testing::Rig;
using testing::sine;

double dB(double x) { return 20.0 * std::log10(x); }

TEST(SoundOutTable, HasThirtyNineRecordsAndBuildsItsPages) {
    EXPECT_EQ(sound_out_controls().size(), 39u);
    std::string error;
    const std::optional<params::PageTree> tree = [&]() -> std::optional<params::PageTree> {
        struct Null : params::ParameterCallbacks {
            SoundOutParams p;
            bool set_parameter(uint32_t i, float d) override { return set_sound_out_control(p, i, d); }
            bool get_parameter(uint32_t i, float& d) override { return get_sound_out_control(p, i, d); }
        } null;
        auto set = params::ControlSet::create(sound_out_controls(), null, "Sound Out", true, error);
        if (!set) return std::nullopt;
        return set->tree();
    }();
    ASSERT_TRUE(tree) << error;
    EXPECT_EQ(tree->control_count(), 23u);
}

TEST(SoundOutTable, DefaultsAndConversions) {
    const SoundOutParams p = default_sound_out_params();
    EXPECT_EQ(p.input_select, 4u);
    EXPECT_EQ(p.input_enable, 1u);
    EXPECT_EQ(p.input_mode, 0u);
    EXPECT_EQ(p.stereo, 1u);
    EXPECT_FLOAT_EQ(p.pilot_amp, 0.09f);
    EXPECT_FLOAT_EQ(p.pilot_phase[0], 1.0f);
    EXPECT_NEAR(p.drive, std::pow(10.0, -4.0 / 20.0), 1e-6);
    EXPECT_EQ(p.release_index, 26u);
    EXPECT_EQ(p.rds_amp, 5u);
    EXPECT_EQ(p.rds_enable, 1u);
    SoundOutParams q = p;
    EXPECT_TRUE(set_sound_out_control(q, control_delay, 1000.0f));
    EXPECT_EQ(q.delay_samples, 192000u);
    EXPECT_TRUE(set_sound_out_control(q, control_release, 12.5f));
    EXPECT_EQ(q.release_index, 25u);
    EXPECT_TRUE(set_sound_out_control(q, control_pilot_phase, 5.0f));
    EXPECT_NEAR(q.pilot_phase[1], std::sin(5.0 * 0.017453292), 1e-6);
    EXPECT_FALSE(set_sound_out_control(q, 39, 1.0f));
    float v = 0;
    EXPECT_FALSE(get_sound_out_control(q, 0, v));  // a page has no value
}

TEST(SoundOutTable, ReleaseRatesStepAsTableB) {
    // 12.0 -> 12.5 differ by 2^0.5; 12.5 -> 13.0 by 2^1.5 (table B skips a step at 26).
    EXPECT_FLOAT_EQ(dsp::rate_b(25) / dsp::rate_b(26), std::pow(2.0f, 1.5f));
    EXPECT_NEAR(dsp::rate_b(24) / dsp::rate_b(25), std::sqrt(2.0f), 1e-5);
    EXPECT_FLOAT_EQ(dsp::rate_b(26), 1.0f / 65536.0f);
    EXPECT_FLOAT_EQ(dsp::rate_b(40), 1.0f / 8388608.0f);
}

TEST(MpxTables, CarrierTablesArePeriodicAndExact) {
    const CarrierTables& t = carrier_tables();
    for (uint32_t n = 0; n < carrier_period; ++n) {
        EXPECT_NEAR(t.sin[n], std::sin(n * 2.0 * std::numbers::pi * 19000.0 / 192000.0), 1e-7);
        EXPECT_NEAR(t.cos[n], std::cos(n * 2.0 * std::numbers::pi * 19000.0 / 192000.0), 1e-7);
    }
}

TEST(MpxUpsampler, PhasesSumToUnityAndRejectImages) {
    for (int p = 0; p < 4; ++p) {
        double s = 0;
        for (int k = 0; k < 37; ++k) s += dsp::fir_tables::mpx_upsampler_prototype[4 * k + p];
        EXPECT_NEAR(s, 0.99946, 2e-4);
    }
    // A 15 kHz tone up-sampled: its images at 33, 63 and 81 kHz stay below -120 dB.
    // Up-sampled in runs of lengths 1 to 16 in turn, or all of 16: the same sub-samples.
    auto up_sample = [](bool mixed) {
        MpxUpsampler up;
        std::vector<double> y;
        std::vector<float> l(64), r(64), frames;
        for (int n = 0, len = mixed ? 1 : 16; n < 48000; n += len, len = mixed ? len % 16 + 1 : 16) {
            frames.clear();
            for (int i = n; i < std::min(n + len, 48000); ++i) {
                const float x = static_cast<float>(1e9 * std::sin(2 * std::numbers::pi * 15000.0 * i / fs_48));
                frames.insert(frames.end(), {x, -x});
            }
            up.process_run(frames.data(), frames.size() / 2, l.data(), r.data());
            for (std::size_t i = 0; i < 2 * frames.size(); ++i) {
                y.push_back(l[i]);
                EXPECT_EQ(r[i], -l[i]);
            }
        }
        return y;
    };
    const std::vector<double> y = up_sample(true);
    ASSERT_EQ(y, up_sample(false));
    const double a = std::abs(testing::tone(y, 15000, fs_192, 19200, 96000));
    EXPECT_NEAR(dB(a / 1e9), 0.0, 0.01);
    for (double image : {33000.0, 63000.0, 81000.0})
        EXPECT_LT(dB(std::abs(testing::tone(y, image, fs_192, 19200, 96000)) / a), -120.0) << image;
}

TEST(SoundOut, OutputStageAtFortyEightAndAtOneNinetyTwoKilohertz) {
    // With its meters hidden (offline work) the 48 kHz path skips them: the same output.
    // At 192 kHz a 192 kHz source without the multiplex takes the same stage.
    for (const int pass : {0, 1, 2}) {
        const bool shown = pass != 1, at_192k = pass == 2;
        Rig rig(at_192k ? 192000 : 48000, 256);
        rig.out->set_meters_shown(shown);
        rig.set(control_input_mode, at_192k ? 0.0f : 1.0f);  // MPX is not possible at 48 kHz
        if (at_192k) rig.set(control_input_select, 3.0f);
        rig.set(control_output_level, -6.0f);
        rig.set(control_l_fine, 1.0f);
        rig.set(control_swap, 1.0f);
        rig.set(control_invert_r, 1.0f);
        rig.run(4, [](std::span<float> bus, uint64_t first) {
            for (std::size_t i = 0; i < bus.size(); i += 2) {
                bus[i] = static_cast<float>(1000 + 2 * first + i);
                bus[i + 1] = -500.0f;
            }
        }, at_192k ? 3u : bus_proc, true);
        const float g = 0.75f * std::pow(10.0f, -6.0f / 20.0f);
        const float gl = g * std::pow(10.0f, 1.0f / 20.0f);
        // Swapped: left carries the right result; then the right output is inverted.
        ASSERT_EQ(rig.output.size(), 4u * 2 * 256);
        for (std::size_t i = 0; i < rig.output.size(); i += 2) {
            const float l_in = static_cast<float>(1000 + i);  // one float pair per frame
            EXPECT_FLOAT_EQ(rig.output[i], g * -500.0f);
            EXPECT_FLOAT_EQ(rig.output[i + 1], -(gl * l_in)) << i;
        }
        SoundOutMeters m{};
        ASSERT_TRUE(rig.out->take_meters(m));
        EXPECT_EQ(m[12] > -150.0f, shown) << "output true peak " << m[12];  // the floor is -186.6 dB
        if (at_192k) continue;
        const auto lines = rig.out->status_lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "RDS & MPX not available");
        EXPECT_EQ(lines[1], "(needs a device at 192 kHz)");
    }
}

TEST(SoundOut, InputOffAndShortDecimatingSourceGiveSilence) {
    Rig rig(48000, 256);
    rig.set(control_input_enable, 0.0f);
    rig.run(2, sine(1000, fs_48, 0.5, 0.5));
    for (float v : rig.output) ASSERT_EQ(v, 0.0f);
}

TEST(SoundOut, LevelAtFortyEightAndOneNinetyTwoMatch) {
    // The same 1 kHz source into a 48 kHz and into a 192 kHz output.
    Rig a(48000, 256), b(192000, 1024);
    a.run(200, sine(1000, fs_48, 0.5, 0.5));
    b.run(200, sine(1000, fs_48, 0.5, 0.5));
    const auto la = a.channel(0), lb = b.channel(0);
    const double amp_a = testing::sine_component(la, 1000, fs_48, 4800, 48000).amplitude;
    const double amp_b = testing::sine_component(lb, 1000, fs_192, 19200, 192000).amplitude;
    // The shared 148-tap up-sampler table ripples between -0.015 and +0.005 dB below
    // 20 kHz (-0.0135 dB at 1 kHz); the rest of both paths is exact.
    EXPECT_NEAR(dB(amp_b / amp_a), 0.0, 0.015);
    std::printf("48 kHz -> 192 kHz level difference %.4f dB\n", dB(amp_b / amp_a));
    // In MPX mono without pilot and RDS the sum path keeps the level too.
    Rig c(192000, 1024);
    c.set(control_input_mode, 1.0f);
    c.set(control_mpx_mono, 0.0f);
    c.set(control_rds_enable, 0.0f);
    c.run(200, sine(1000, fs_48, 0.5, 0.5));
    const double amp_c = testing::sine_component(c.channel(0), 1000, fs_192, 19200, 192000).amplitude;
    EXPECT_NEAR(dB(amp_c / amp_a), 0.0, 0.015);
}

TEST(SoundOut, StereoSeparationPilotAndCarrierSuppression) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.run(300, sine(1000, fs_48, 0.5, 0.0));  // left only, with RDS on
    const auto mpx = rig.channel(0);
    const std::size_t start = 19200, count = 192000;
    const testing::StereoDecoded d = testing::decode_stereo(mpx, 1000.0, start, count);
    const double separation = dB(std::abs(d.l) / std::abs(d.r));
    EXPECT_GE(separation, 60.0);
    std::printf("separation %.1f dB\n", separation);
    const testing::Component pilot = testing::sine_component(mpx, 19000.0, fs_192, start, count);
    EXPECT_NEAR(pilot.amplitude / output_scale, 0.09, 0.001);
    EXPECT_NEAR(pilot.sine_phase_deg, 0.0, 0.1);
    const double carrier = std::abs(testing::tone(mpx, 38000.0, fs_192, start, count));
    EXPECT_LT(dB(carrier / pilot.amplitude), -50.0);
    std::printf("pilot %.4f %% phase %.3f deg, 38 kHz carrier %.1f dB below pilot\n",
                100 * pilot.amplitude / output_scale, pilot.sine_phase_deg, -dB(carrier / pilot.amplitude));
    // Nothing of the programme between 16 kHz and the pilot, or as images.
    for (double f : {16000.0, 17000.0, 18000.0, 20000.0, 47000.0, 49000.0})
        EXPECT_LT(dB(std::abs(testing::tone(mpx, f, fs_192, start, count)) / std::abs(d.l)), -90.0) << f;
}

TEST(SoundOut, PilotPhaseFollowsTheSettingAndRdsSitsOnItsThirdHarmonic) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.set(control_pilot_phase, 5.0f);
    rig.set(control_pilot_amp, 10.0f);
    rig.run(300, nullptr);
    const auto mpx = rig.channel(0);
    const testing::Component pilot = testing::sine_component(mpx, 19000.0, fs_192, 19200, 192000);
    EXPECT_NEAR(pilot.sine_phase_deg, 5.0, 0.1);
    EXPECT_NEAR(pilot.amplitude / output_scale, 0.10, 0.001);
    // RDS energy: in phase with sin(3wt) of the table (the pilot's time base), none in quadrature.
    double in_phase = 0, quadrature = 0;
    const double w = 2 * std::numbers::pi * 19000.0 / fs_192;
    for (std::size_t n = 40000; n + 96 < mpx.size(); n += 96) {
        double i = 0, q = 0;
        for (std::size_t k = n; k < n + 96; ++k) {  // half a millisecond: 28.5 carrier cycles
            i += mpx[k] * std::sin(3 * w * k);
            q += mpx[k] * std::cos(3 * w * k);
        }
        in_phase += i * i;
        quadrature += q * q;
    }
    EXPECT_GT(in_phase, 0.0);
    EXPECT_LT(10 * std::log10(quadrature / in_phase), -30.0);
}

TEST(SoundOut, IdleStereoOutputIsThePilotAlone) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.set(control_rds_enable, 0.0f);
    rig.run(3, nullptr);
    for (std::size_t n = 0; n < rig.output.size() / 2; ++n) {
        const double expect = 0.09 * output_scale * std::sin(2 * std::numbers::pi * 19000.0 * n / fs_192);
        ASSERT_NEAR(rig.output[2 * n], expect, 32.0) << n;  // float rounding at 1e8
    }
}

TEST(SoundOut, RightChannelModes) {
    for (int mode = 0; mode < 5; ++mode) {
        Rig rig;
        rig.set(control_input_mode, 1.0f);
        rig.set(control_right_mode, static_cast<float>(mode));
        rig.run(20, sine(1000, fs_48, 0.3, 0.1));
        const auto l = rig.channel(0), r = rig.channel(1);
        for (std::size_t n = 0; n < l.size(); ++n) {
            const double pilot = 0.09 * output_scale * std::sin(2 * std::numbers::pi * 19000.0 * n / fs_192);
            switch (mode) {
                case 0: ASSERT_EQ(r[n], l[n]); break;
                case 1: ASSERT_NEAR(r[n], pilot, 32.0); break;
                case 2: ASSERT_EQ(r[n], 0.0); break;
                case 3: ASSERT_EQ(l[n], 0.0); break;
                case 4: ASSERT_EQ(r[n], -l[n]); break;
            }
        }
        if (mode == 3) {
            double energy = 0;
            for (double v : r) energy += v * v;
            EXPECT_GT(energy, 0.0);
        }
    }
}

TEST(SoundOut, LeftOnlySetupMakesSumAndDifferenceEqual) {
    // "L Only" with L = R: the sum of the decoder equals the difference, both the left input.
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.set(control_mpx_setup, 1.0f);
    rig.run(300, sine(1000, fs_48, 0.4, 0.4));
    const testing::StereoDecoded d = testing::decode_stereo(rig.channel(0), 1000.0, 19200, 192000);
    EXPECT_LT(dB(std::abs(d.r) / std::abs(d.l)), -60.0);
}

TEST(SoundOut, DelayOfOneSecondIsExactlyOneNinetyTwoThousandSamples) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.set(control_rds_enable, 0.0f);
    rig.set(control_mpx_mono, 0.0f);  // no pilot: the output is the programme alone
    rig.set(control_delay, 1000.0f);
    rig.set(control_delay_switch, 1.0f);
    // A click after a while of silence, as a 192 kHz source (no up-sampler).
    rig.set(control_input_select, 3.0f);
    const uint64_t click = 5000;
    rig.run(200, [&](std::span<float> bus, uint64_t first) {
        for (std::size_t i = 0; i < bus.size() / 2; ++i) {
            const float v = first + i == click ? 1e9f : 0.0f;
            bus[2 * i] = v;
            bus[2 * i + 1] = v;
        }
    }, bus_sig_gen);
    const auto l = rig.channel(0);
    std::size_t found = 0;
    for (std::size_t n = 0; n < l.size(); ++n)
        if (l[n] != 0.0) {
            found = n;
            break;
        }
    EXPECT_EQ(found, click + 192000);
    EXPECT_FLOAT_EQ(static_cast<float>(l[found]), 0.75f * 1e9f);
}

TEST(SoundOut, PowerControlSettlesAtTheTargetAndNeverBelowATenth) {
    // A steady 1 kHz mono tone at 0.9 of full scale: RMS 0.636 FS, far above the
    // reference (0.179 FS) even after Drive.
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.set(control_mpx_mono, 0.0f);
    rig.set(control_rds_enable, 0.0f);
    rig.set(control_power_on, 1.0f);
    rig.set(control_drive, 0.0f);
    rig.run(1500, sine(1000, fs_48, 0.9, 0.9));  // 8 s
    const auto l = rig.channel(0);
    const std::size_t start = l.size() - 192000;
    const double rms = testing::sine_component(l, 1000, fs_192, start, 192000).amplitude / std::sqrt(2.0) / 0.75;
    // The measurement low-pass leaves a small ripple on a settled gain.
    EXPECT_NEAR(dB(rms / mpx_power_reference), 0.0, 0.1);
    // Drive pushes 40 dB: the gain stops at 0.1.
    Rig hot;
    hot.set(control_input_mode, 1.0f);
    hot.set(control_mpx_mono, 0.0f);
    hot.set(control_rds_enable, 0.0f);
    hot.set(control_power_on, 1.0f);
    hot.set(control_level, -5.0f);
    hot.set(control_drive, 0.0f);
    hot.run(600, sine(1000, fs_48, 0.9, 0.9), bus_proc, true);
    SoundOutMeters m{};
    ASSERT_TRUE(hot.out->take_meters(m));
    EXPECT_GE(m[8], -20.0f - 1e-4f);
    EXPECT_LT(m[8], -10.0f);
}

TEST(PowerController, GainNeverBelowATenthAndRecoversAtTheReleaseRate) {
    PowerController pc;
    // A very loud constant drives the target far below 0.1.
    for (int n = 0; n < 200000; ++n) pc.process(2e9f, 1e7f, dsp::rate_b(26));
    EXPECT_FLOAT_EQ(pc.gain(), 0.1f);
    EXPECT_FLOAT_EQ(pc.smallest(), 0.1f);
    // Silence: the gain rises by (1 + rate) per sample once the look-ahead has passed.
    PowerController a, b;
    for (int n = 0; n < 100000; ++n) {
        a.process(2e9f, 1e8f, dsp::rate_b(25));
        b.process(2e9f, 1e8f, dsp::rate_b(26));
    }
    float ga = a.gain(), gb = b.gain();
    // Let the measurement fall below the target first.
    int steps = 0;
    while (steps < 400000 && (a.gain() == ga || b.gain() == gb)) {
        ga = a.gain();
        gb = b.gain();
        a.process(0.0f, 1e8f, dsp::rate_b(25));
        b.process(0.0f, 1e8f, dsp::rate_b(26));
        ++steps;
    }
    const float a0 = a.gain(), b0 = b.gain();
    for (int n = 0; n < 1000; ++n) {
        a.process(0.0f, 1e8f, dsp::rate_b(25));
        b.process(0.0f, 1e8f, dsp::rate_b(26));
    }
    const double rate_a = std::log(a.gain() / a0) / 1000, rate_b = std::log(b.gain() / b0) / 1000;
    EXPECT_NEAR(rate_a / rate_b, std::pow(2.0, 1.5), 0.05);
}

TEST(SoundOut, MeterFrameAndStatusPane) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.run(300, sine(1000, fs_48, 0.5, 0.5));  // the power meter averages over about a second
    rig.run(1, sine(1000, fs_48, 0.5, 0.5), bus_proc, true);
    SoundOutMeters m{};
    ASSERT_TRUE(rig.out->take_meters(m));
    EXPECT_NEAR(m[0], dB(0.5), 0.2);       // input true peak
    EXPECT_GT(m[10], 0.3f);                // deviation: 0.5 x 0.75 x ... of the MPX
    EXPECT_EQ(m[8], 0.0f);                 // no power control
    EXPECT_GT(m[9], -12.0f);               // MPX power of a 0.5 full-scale tone
    EXPECT_LT(m[9], -6.0f);
    const auto lines = rig.out->status_lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "MPX is On , RDS is On");
    EXPECT_EQ(lines[1], "Program Service Name Data");
    EXPECT_EQ(lines[2], "Torvalen");
    EXPECT_EQ(lines[3], "Radio Text A Data");
    rig.set(control_rds_enable, 0.0f);
    EXPECT_EQ(rig.out->status_lines()[0], "MPX is On , RDS is Off");
}

TEST(SoundOut, PresetBarKeepsValuesUnderItsKey) {
    testing::Store shared;
    {
        uint32_t error = 0;
        auto out = SoundOut::create(shared.instance, error);
        ASSERT_TRUE(out);
        out->set_unlocked(true);
        out->controls().set(control_pilot_amp, 8.0f);
        ASSERT_TRUE(out->preset_bar()->save_preset("Night").ok);
        out->controls().set(control_pilot_amp, 9.5f);
        ASSERT_TRUE(out->preset_bar()->choose_preset("Night").ok);
        float v = 0;
        ASSERT_TRUE(out->get_value(control_pilot_amp, v));
        EXPECT_NEAR(v, 8.0f, 1e-4);
    }
    const auto key = shared.instance.open("Sound Out-v2.0.0");
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->open("Formats"));
    uint32_t error = 0;
    auto again = SoundOut::create(shared.instance, error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->preset_bar()->current_preset(), "Night");
    float v = 0;
    ASSERT_TRUE(again->get_value(control_pilot_amp, v));
    EXPECT_NEAR(v, 8.0f, 1e-4);
}

TEST(SoundOut, ComplianceMinuteOfAToneAtNineteenKilohertzDeviationIsZeroDbr) {
    // A mono 1 kHz sine whose multiplex peak is 19/75 of full scale, pilot and RDS off.
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.set(control_mpx_mono, 0.0f);
    rig.set(control_rds_enable, 0.0f);
    const double a = 19.0 / 75.0;
    rig.run(20, sine(1000, fs_48, a, a));
    rig.out->compliance().close_period();  // drops the start-up
    rig.run(200, sine(1000, fs_48, a, a));
    CompliancePeriod p;
    ASSERT_TRUE(rig.out->compliance().take(p));
    rig.out->compliance().close_period();
    rig.run(1, sine(1000, fs_48, a, a));
    ASSERT_TRUE(rig.out->compliance().take(p));
    EXPECT_EQ(p.frames, 200u * 1024u);
    EXPECT_NEAR(period_power_dBr(p), 0.0, 0.1);
    EXPECT_NEAR(100.0 * p.max_deviation, 19.0, 0.2);  // kHz
    EXPECT_EQ(p.pilot, 0.0f);
    EXPECT_FALSE(p.rds);
    // Stereo with RDS: the pilot's level and RDS are reported; 48 kHz output has no multiplex.
    rig.set(control_mpx_mono, 1.0f);
    rig.set(control_rds_enable, 1.0f);
    rig.run(2, sine(1000, fs_48, a, a));
    rig.out->compliance().close_period();
    rig.run(1, sine(1000, fs_48, a, a));
    ASSERT_TRUE(rig.out->compliance().take(p));
    EXPECT_NEAR(p.pilot, 0.09f, 1e-6);
    EXPECT_TRUE(p.rds);
    rig.set_rate(48000);
    rig.out->compliance().close_period();
    rig.run(2, sine(1000, fs_48, a, a));
    rig.out->compliance().close_period();
    rig.run(1, sine(1000, fs_48, a, a));
    ASSERT_TRUE(rig.out->compliance().take(p));
    EXPECT_EQ(p.frames, 0u);
    EXPECT_EQ(period_power_dBr(p), -200.0);
}


TEST(SoundOut, RunsGiveTheSameOutputWhateverTheBlockSize) {
    // The power controller over runs of varying length equals it sample by sample.
    PowerController one, runs;
    std::vector<float> x(30000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(2e9 * std::sin(0.01 * i) * (i % 700 < 350 ? 1.0 : 0.05));
    std::vector<float> y = x;
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = one.process(x[i], 2e7f, dsp::rate_b(20));
    for (std::size_t i = 0, n = 1; i < y.size(); i += n, n = n % 97 + 13)
        runs.process_run(y.data() + i, std::min(n, y.size() - i), 2e7f, dsp::rate_b(20));
    EXPECT_EQ(x, y);
    EXPECT_EQ(one.smallest(), runs.smallest());
    EXPECT_LT(one.smallest(), 0.5f);
    // The whole multiplex (power control, pilot, RDS, delay) with 1024- and 76-frame
    // blocks: runs split differently, the output stays the same bit for bit.
    auto build = [](uint32_t frames, int blocks) {
        Rig rig(192000, frames);
        rig.set(control_input_mode, 1.0f);
        rig.set(control_power_on, 1.0f);
        rig.set(control_drive, 10.0f);
        rig.set(control_delay, 5.0f);
        rig.set(control_delay_switch, 1.0f);
        rig.run(blocks, sine(997, fs_48, 0.9, 0.4));
        return rig.output;
    };
    dsp::simd::set_level_limit(dsp::simd::Level::sse2);
    const std::vector<float> a = build(1024, 76), b = build(76, 1024);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(a, b);
    // The wider builds (their up-sampler fuses multiply-adds) agree with the baseline to
    // rounding.
    for (auto level : {dsp::simd::Level::avx2, dsp::simd::Level::avx512}) {
        if (level > dsp::simd::detected_level()) continue;
        dsp::simd::set_level_limit(level);
        const std::vector<float> w = build(1024, 76);
        ASSERT_EQ(w.size(), a.size());
        double worst = 0.0;
        for (std::size_t i = 0; i < w.size(); ++i) worst = std::max(worst, std::fabs(static_cast<double>(w[i]) - a[i]));
        EXPECT_LE(worst, 1e-6 * 2147483648.0) << dsp::simd::level_name(level);
    }
    dsp::simd::set_level_limit(dsp::simd::Level::avx512);
}

}  // namespace
}  // namespace torvalen::broadcast
