// End to end: Sound Out's 192 kHz multiplex with RDS, read back by a test receiver.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "broadcast/rds_encoder.h"
#include "engine/realtime.h"
#include "tests/broadcast/mpx_rig.h"

namespace torvalen::broadcast {
namespace {

using testing::fs_48;
using testing::Rig;

TEST(RdsModulator, ShapingFilterMeetsTheDataSpectrum) {
    const auto& h = rds_shaping_filter();
    double sum = 0;
    for (float v : h) sum += v;
    EXPECT_NEAR(sum, 1.0, 1e-6);
    for (std::size_t k = 0; k < h.size(); ++k) ASSERT_EQ(h[k], h[h.size() - 1 - k]);  // linear phase
    const double centre[] = {0.3001054525, 0.1800632626, 0.0428722054, -0.0200070292, -0.0116924196, 0.0076950113};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(h[104 + i], centre[i], 2e-6) << i;
    const double td = 1.0 / 1187.5;
    auto response = [&](double f) {
        std::complex<double> s{};
        for (std::size_t k = 0; k < h.size(); ++k) s += static_cast<double>(h[k]) * std::polar(1.0, -2 * std::numbers::pi * f * k / 9500.0);
        return std::abs(s);
    };
    for (double f = 0; f <= 2100; f += 25) EXPECT_NEAR(response(f), std::cos(std::numbers::pi * f * td / 4), 1e-4) << f;
    for (double f = 2600; f <= 4750; f += 25) EXPECT_LT(20 * std::log10(response(f)), -80.0) << f;
}

TEST(RdsModulator, EachBankHoldsOneGroup) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.run(60, nullptr);
    for (int b = 0; b < 2; ++b) {
        const auto n = static_cast<int64_t>(rig.out->rds_modulator().bank_fill(b));
        EXPECT_NEAR(static_cast<double>(n), 16815.0, 64.0) << b;
    }
}

// The waveform ahead of the engine covers a modulator thread held off for well
// over a hundred milliseconds, and the thread asks for real-time priority below
// the engine's through the engine's own request (normal priority when refused).
TEST(RdsModulator, StaysTwoGroupsAheadAtAPriorityBelowTheEngine) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    RdsModulator& m = rig.out->rds_modulator();
    uint64_t least = std::numeric_limits<uint64_t>::max();
    for (int i = 0; i < 90; ++i) {  // 1024 frames a block: about five groups
        rig.run(1, nullptr);
        if (i >= 20) least = std::min(least, m.lead_samples());  // past the silent first group
    }
    EXPECT_GE(least, 2u * 16815u - 64u);  // 175 ms at 192 kHz
    EXPECT_EQ(m.groups_late(), 0u);

    int engine_priority = 0;
    std::thread([&] {
        std::string why;
        if (!make_thread_realtime(why)) return;
        int policy = 0;
        sched_param param{};
        pthread_getschedparam(pthread_self(), &policy, &param);
        engine_priority = param.sched_priority;
    }).join();
    if (engine_priority > 0) {
        EXPECT_GT(m.thread_priority(), 0);
        EXPECT_LT(m.thread_priority(), engine_priority);
    } else {
        EXPECT_EQ(m.thread_priority(), 0);
    }
}

TEST(RdsDecode, ReceiverReadsBackEveryField) {
    Rig rig;
    RdsContent& c = rig.out->rds_content();
    {
        std::lock_guard guard(c.lock);
        c.pi = 0xD3C2;
        c.pty = 5;
        c.ptyn_enable = 1;
        c.ptyn = "CLASSIC ";
        c.fixed_ps = "RADIO 1 ";
        c.items = {3};
        c.item_count = 1;
        c.user_texts[0] = "Hello from the test";
        c.ps_hold_time = 4;
        c.ecc = 0x00E0;
        c.pin = pin_code(12, 8, 30);
        c.clock_on = 1;
        const AfEntry af[] = {{false, 88.1}, {false, 104.3}};
        encode_af_list(af, false, c.af_list);
    }
    rig.clock.t = 1735732800 - 30;  // 11:59:30 UTC
    rig.out->rds_modulator().record_groups(true);
    rig.set(control_input_mode, 1.0f);
    // Programme too: a stereo tone must not disturb the receiver.
    for (int i = 0; i < 8; ++i) {
        if (i == 4) rig.clock.t = 1735732800 + 2;  // the minute changes
        rig.run(100, testing::sine(1000, fs_48, 0.4, 0.1));
    }
    const auto mpx = rig.channel(0);
    const auto groups = testing::decode_rds(mpx, 17000);
    ASSERT_GT(groups.size(), 30u);
    const testing::Station s = testing::read_station(groups);
    EXPECT_EQ(s.pi, 0xD3C2);
    EXPECT_EQ(s.pty, 5u);
    EXPECT_EQ(s.ps, "RADIO 1 ");
    EXPECT_EQ(s.rt.substr(0, 19), "Hello from the test");
    EXPECT_EQ(s.rt[19], '\r');
    EXPECT_EQ(s.ptyn, "CLASSIC ");
    EXPECT_EQ(s.ecc, 0x00E0);
    EXPECT_EQ(s.pin, pin_code(12, 8, 30));
    ASSERT_GE(s.af.size(), 4u);
    EXPECT_EQ(s.af[0], 0xE2);
    EXPECT_EQ(s.af[1], af_fm_code(88.1));
    EXPECT_EQ(s.af[2], af_fm_code(104.3));
    EXPECT_EQ(s.af[3], 205);  // filler
    ASSERT_TRUE(s.clock);
    EXPECT_EQ((((*s.clock)[0] & 3u) << 15) | ((*s.clock)[1] >> 1), 60676u);
    EXPECT_EQ(((*s.clock)[2] >> 6) & 63, 0u);  // 12:00
    // The raw groups are the scheduler's sequence, without gaps.
    const std::vector<RdsGroup> sent = rig.out->rds_modulator().recorded_groups();
    auto it = std::find_if(sent.begin(), sent.end(), [&](const RdsGroup& g) { return g.blocks == groups[0].blocks; });
    ASSERT_NE(it, sent.end());
    const std::size_t first = static_cast<std::size_t>(it - sent.begin());
    ASSERT_LE(first + groups.size(), sent.size());
    for (std::size_t i = 0; i < groups.size(); ++i) {
        EXPECT_EQ(groups[i].blocks, sent[first + i].blocks) << i;
        EXPECT_EQ(groups[i].version_b, sent[first + i].version_b) << i;
    }
    std::printf("decoded %zu groups, RDS thread CPU %.3f ms for %.1f s of signal\n", groups.size(),
                rig.out->rds_modulator().thread_cpu_ns() / 1e6, mpx.size() / 192000.0);
}

TEST(RdsDecode, TrafficAnnouncementFlagReachesTheReceiver) {
    Rig rig;
    rig.set(control_input_mode, 1.0f);
    rig.out->rds_content().ta = 1;
    rig.run(150, nullptr);
    const auto groups = testing::decode_rds(rig.channel(0), 17000);
    ASSERT_GT(groups.size(), 4u);
    EXPECT_TRUE(testing::read_station(groups).ta);
}

}  // namespace
}  // namespace torvalen::broadcast
