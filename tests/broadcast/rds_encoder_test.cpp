// RDS block coding and the group scheduler, checked group by group.
#include <gtest/gtest.h>

#include <random>

#include "broadcast/rds_encoder.h"
#include "tests/broadcast/mpx_rig.h"

namespace torvalen::broadcast {
namespace {

using testing::syndrome;
using testing::TestClock;

uint32_t type_of(const RdsGroup& g) { return g.blocks[1] >> 11; }  // 0A 0, 0B 1, 1A 2, 2A 4, 4A 8, 10A 20

TEST(RdsBlocks, CheckwordsAndOffsets) {
    EXPECT_EQ(rds_checkword(0x0001), 0x1B9);
    EXPECT_EQ(rds_checkword(0xC000), 0x290);
    EXPECT_EQ(rds_block(0x0000, offset_a), 0x00000FCu);
    EXPECT_EQ(rds_block(0xC000, offset_a) & 0x3FF, 0x290u ^ 0x0FCu);
    // Every coded block divides out to its offset word.
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const uint16_t w = static_cast<uint16_t>(rng());
        for (uint16_t o : {offset_a, offset_b, offset_c, offset_c_prime, offset_d}) ASSERT_EQ(syndrome(rds_block(w, o)), o);
    }
}

TEST(RdsBlocks, ModifiedJulianDay) {
    EXPECT_EQ(modified_julian_day(2025, 1, 1), 60676u);
    EXPECT_EQ(modified_julian_day(2000, 3, 1), 51604u);
    EXPECT_EQ(modified_julian_day(1858, 11, 17), 0u);
}

struct SchedulerRig {
    TestClock clock;
    RdsContent content{&clock};
    GroupScheduler scheduler{content};
    std::vector<RdsGroup> take(int n) {
        std::vector<RdsGroup> g;
        for (int i = 0; i < n; ++i) g.push_back(scheduler.next());
        return g;
    }
};

TEST(GroupScheduler, EmptyAfListSendsEveryPsGroupAsZeroB) {
    SchedulerRig rig;
    for (const RdsGroup& g : rig.take(46)) {
        if (g.type == GroupType::g0A || g.type == GroupType::g0B) {
            EXPECT_TRUE(g.version_b);
            EXPECT_EQ(type_of(g), 1u);
            EXPECT_EQ(g.blocks[2], 0xC000);
            EXPECT_EQ(encode_group(g)[2] & 0x3FF, rds_checkword(0xC000) ^ offset_c_prime);
        }
    }
}

TEST(GroupScheduler, SequenceWithEverythingEnabled) {
    SchedulerRig rig;
    rig.content.ptyn_enable = 1;
    rig.content.ps_hold_time = 0;  // radiotext starts as soon as a slot comes
    const auto groups = rig.take(23);
    std::string types;
    for (const RdsGroup& g : groups) types += std::to_string(type_of(g)) + " ";
    // 13 PS (0B: no AF list), 6 radiotext, 2 of 1A and 2 of 10A per cycle.
    EXPECT_EQ(types, "1 4 2 1 4 1 1 4 1 1 20 1 4 1 2 1 4 1 20 1 1 4 1 ");
    // Block 1 is always PI; block 2 carries PTY 10 and TP 0.
    for (const RdsGroup& g : groups) {
        EXPECT_EQ(g.blocks[0], 0xC000);
        EXPECT_EQ((g.blocks[1] >> 5) & 31, 10u);
    }
    // PS characters and decoder identification.
    std::string ps(8, ' ');
    int seg_seen = 0;
    for (const RdsGroup& g : groups) {
        if (type_of(g) != 1) continue;
        const uint32_t seg = g.blocks[1] & 3;
        ps[2 * seg] = static_cast<char>(g.blocks[3] >> 8);
        ps[2 * seg + 1] = static_cast<char>(g.blocks[3] & 0xFF);
        const uint32_t di = (g.blocks[1] >> 2) & 1;
        EXPECT_EQ(di, seg == 1 || seg == 3 ? 1u : 0u) << seg;  // compressed, stereo
        EXPECT_EQ((g.blocks[1] >> 3) & 1, 1u);                  // music
        ++seg_seen;
    }
    EXPECT_EQ(ps, "Torvalen");
    EXPECT_GE(seg_seen, 12);
}

TEST(GroupScheduler, AfListOfThreeCodes) {
    SchedulerRig rig;
    rig.content.af_list = {0xE2, 0x01, 0x02};
    std::vector<uint16_t> block3;
    for (const RdsGroup& g : rig.take(40))
        if (type_of(g) <= 1) block3.push_back(g.version_b ? 0xFFFF : g.blocks[2]);
    ASSERT_GE(block3.size(), 5u);
    EXPECT_EQ(block3[0], 0xFFFF);  // the first PS group after start-up is 0B
    EXPECT_EQ(block3[1], 0xE201);
    EXPECT_EQ(block3[2], 0x0200);  // the second byte is the list's terminating 0
    EXPECT_EQ(block3[3], 0xE201);
    EXPECT_EQ(block3[4], 0x0200);
}

TEST(GroupScheduler, RadiotextSegmentsEndAtTheCarriageReturn) {
    SchedulerRig rig;
    rig.content.ps_hold_time = 0;
    rig.content.items = {3};
    rig.content.user_texts[0] = "RADIO";
    std::vector<RdsGroup> rt;
    for (const RdsGroup& g : rig.take(30))
        if (type_of(g) == 4) rt.push_back(g);
    ASSERT_GE(rt.size(), 3u);
    EXPECT_EQ(rt[0].blocks[1] & 15, 0u);
    EXPECT_EQ(rt[0].blocks[2], ('R' << 8) | 'A');
    EXPECT_EQ(rt[0].blocks[3], ('D' << 8) | 'I');
    EXPECT_EQ(rt[1].blocks[1] & 15, 1u);
    EXPECT_EQ(rt[1].blocks[2], ('O' << 8) | 13);
    EXPECT_EQ(rt[1].blocks[3], (13 << 8) | 13);
    EXPECT_EQ(rt[2].blocks[1] & 15, 0u);  // the message starts over
    EXPECT_EQ(rig.content.rt_display, "RADIO");
}

TEST(GroupScheduler, RadiotextAbFlagTogglesWhenTheMessageChanges) {
    SchedulerRig rig;
    rig.content.ps_hold_time = 0;
    rig.content.items = {3};
    rig.content.item_count = 1;
    rig.content.user_texts[0] = "ONE";
    auto flags = [&](int n) {
        std::vector<uint32_t> f;
        for (const RdsGroup& g : rig.take(n))
            if (type_of(g) == 4) f.push_back((g.blocks[1] >> 4) & 1);
        return f;
    };
    const auto first = flags(23);
    ASSERT_FALSE(first.empty());
    for (uint32_t f : first) EXPECT_EQ(f, first[0]);  // the same message keeps its flag
    {
        std::lock_guard guard(rig.content.lock);
        rig.content.user_texts[0] = "TWO";
    }
    const auto second = flags(23);
    ASSERT_FALSE(second.empty());
    EXPECT_NE(second.back(), first[0]);
}

TEST(GroupScheduler, ClockTimeGoesOutOnceAMinute) {
    SchedulerRig rig;
    rig.content.clock_on = 1;
    rig.clock.t = 1735732800 - 2;  // 11:59:58 UTC
    rig.clock.offset_s = 3600;     // local time one hour ahead
    rig.take(3);
    rig.clock.t = 1735732800;      // 12:00:00
    const RdsGroup ct = rig.scheduler.next();
    ASSERT_EQ(type_of(ct), 8u);
    const uint32_t mjd = ((ct.blocks[1] & 3u) << 15) | (ct.blocks[2] >> 1);
    EXPECT_EQ(mjd, 60676u);
    const uint32_t hour = ((ct.blocks[2] & 1u) << 4) | (ct.blocks[3] >> 12);
    EXPECT_EQ(hour, 12u);
    EXPECT_EQ((ct.blocks[3] >> 6) & 63, 0u);
    EXPECT_EQ((ct.blocks[3] >> 5) & 1, 0u);  // ahead of UTC: positive
    EXPECT_EQ(ct.blocks[3] & 31, 2u);        // two half hours
    const uint32_t position = rig.scheduler.sequence_position();
    const RdsGroup after = rig.scheduler.next();
    EXPECT_NE(type_of(after), 8u);
    EXPECT_EQ(rig.scheduler.sequence_position(), (position + 1) % 23);
}

TEST(GroupScheduler, PtynIsOnAirFromTheFirstGroupAndTogglesOnChange) {
    SchedulerRig rig;
    rig.content.ptyn_enable = 1;
    std::vector<RdsGroup> ptyn;
    for (const RdsGroup& g : rig.take(23 * 3))
        if (type_of(g) == 20) ptyn.push_back(g);
    ASSERT_GE(ptyn.size(), 6u);
    // No 10A group carries zero bytes: the configured name goes out from the start.
    EXPECT_EQ(ptyn[0].blocks[2], ('P' << 8) | 'T');
    EXPECT_EQ(ptyn[1].blocks[3], ('e' << 8) | ' ');  // "PTYName "
    EXPECT_EQ((ptyn[0].blocks[1] >> 4) & 1, (ptyn[2].blocks[1] >> 4) & 1);
    EXPECT_EQ(ptyn[2].blocks[2], ('P' << 8) | 'T');
    EXPECT_EQ(ptyn[3].blocks[3], ('e' << 8) | ' ');
    {
        std::lock_guard guard(rig.content.lock);
        rig.content.ptyn = "NEWNAME ";
    }
    std::vector<RdsGroup> later;
    for (const RdsGroup& g : rig.take(23 * 2))
        if (type_of(g) == 20) later.push_back(g);
    ASSERT_GE(later.size(), 2u);
    // The change is taken at the next segment-0 boundary, with the flag toggled.
    const RdsGroup& seg0 = (later[0].blocks[1] & 1) == 0 ? later[0] : later[1];
    EXPECT_NE((seg0.blocks[1] >> 4) & 1, (ptyn[0].blocks[1] >> 4) & 1);
    EXPECT_EQ(seg0.blocks[2], ('N' << 8) | 'E');
}

TEST(GroupScheduler, TaAndPiCodeReachEveryGroup) {
    SchedulerRig rig;
    rig.content.ta = 1;
    rig.content.tp = 1;
    rig.content.pi = 0x1234;
    for (const RdsGroup& g : rig.take(23)) {
        EXPECT_EQ(g.blocks[0], 0x1234);
        EXPECT_EQ((g.blocks[1] >> 10) & 1, 1u);
        if (type_of(g) <= 1) {
            EXPECT_EQ((g.blocks[1] >> 4) & 1, 1u);
        }
    }
}

}  // namespace
}  // namespace torvalen::broadcast
