// RDS content: coding helpers, PS rotation and scrolling, radiotext messages and
// the "RDS_ENCODE" storage.
#include <gtest/gtest.h>

#include <cstring>

#include "broadcast/rds_content.h"
#include "broadcast/rds_charset.h"
#include "tests/broadcast/mpx_rig.h"

namespace torvalen::broadcast {
namespace {

using testing::TestClock;

std::string on_air(const RdsContent& c) {
    return std::string(reinterpret_cast<const char*>(c.ps_on_air.data()) + c.ps_offset, 8);
}

TEST(RdsCoding, HexAndProgrammeItemNumber) {
    EXPECT_EQ(parse_hex("C000"), 0xC000u);
    EXPECT_EQ(parse_hex("c0a1h"), 0xC0A1u);
    EXPECT_EQ(parse_hex("E1H"), 0xE1u);
    EXPECT_EQ(parse_hex("12G4"), 0u);
    EXPECT_EQ(parse_hex("0x12"), 0u);
    EXPECT_EQ(format_hex(0xc0a1), "C0A1");
    EXPECT_EQ(pin_code(0x1F, 0x17, 0x3B), 0x1F * 2048 + 23 * 64 + 59);
    EXPECT_EQ(pin_code(1, 0x25, 0x45), 2048 + 5 * 64 + 5);  // fields are masked
}

TEST(RdsCoding, AlternativeFrequencyLists) {
    EXPECT_EQ(af_fm_code(87.6), 1);
    EXPECT_EQ(af_fm_code(107.9), 204);
    EXPECT_EQ(af_fm_code(108.0), 0);
    EXPECT_EQ(af_am_code(153, false), 1);
    EXPECT_EQ(af_am_code(279, false), 15);
    EXPECT_EQ(af_am_code(531, false), 16);
    EXPECT_EQ(af_am_code(1602, false), 135);
    EXPECT_EQ(af_am_code(540, true), 17);
    EXPECT_EQ(af_am_code(1700, true), 133);
    EXPECT_EQ(af_am_code(545, true), 0);
    std::array<uint8_t, rds_text_bytes> list{};
    const AfEntry fm_am[] = {{false, 88.0}, {true, 999.0}};
    ASSERT_TRUE(encode_af_list(fm_am, false, list));
    EXPECT_EQ(list[0], 226);
    EXPECT_EQ(list[1], af_fm_code(88.0));
    EXPECT_EQ(list[2], 250);
    EXPECT_EQ(list[3], 999 / 9 - 43);
    EXPECT_EQ(list[4], 0);  // even: no filler
    const AfEntry two_fm[] = {{false, 88.0}, {false, 99.9}};
    ASSERT_TRUE(encode_af_list(two_fm, false, list));
    EXPECT_EQ(list[0], 226);
    EXPECT_EQ(list[3], 205);
    EXPECT_EQ(list[4], 0);
    const auto back = decode_af_list(list, false);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_NEAR(back[1].frequency, 99.9, 1e-9);
    std::vector<AfEntry> many(26, AfEntry{false, 90.0});
    EXPECT_FALSE(encode_af_list(many, false, list));
    EXPECT_EQ(list[0], 0);
    EXPECT_FALSE(encode_af_list({}, false, list));
}

TEST(RdsCoding, PtyNames) {
    EXPECT_EQ(pty_name(10, false), "Pop Music");
    EXPECT_EQ(pty_name(25, true), "Spanich Music");
    EXPECT_EQ(pty_name(31, false), "Alarm! - Alarm!");
    EXPECT_EQ(pty_name(31, true), "Alert! Alert!");
}

TEST(RdsContentPs, TwelveCharacterTextScrollsThroughFiveOffsets) {
    TestClock clock;
    RdsContent c(&clock);
    c.ps_mode = 1;
    c.items = {3, 4};
    c.item_count = 2;
    c.user_texts[0] = "ABCDEFGHIJKL";
    c.user_texts[1] = "SHORT";
    c.ps_scroll_rate = 4;
    c.ps_hold_time = 8;
    uint32_t groups = 0;
    std::vector<std::string> shown;
    for (int step = 0; step < 200 && shown.size() < 8; ++step) {
        c.ps_step(groups);
        const std::string s = on_air(c);
        if (shown.empty() || shown.back() != s) shown.push_back(s);
        groups += 4;  // one PS cycle of four segments
    }
    ASSERT_GE(shown.size(), 7u);
    EXPECT_EQ(shown[0], "ABCDEFGH");
    EXPECT_EQ(shown[4], "EFGHIJKL");  // the last 8 characters before the next item
    EXPECT_EQ(shown[5], std::string("SHORT\0\0\0", 8));
    EXPECT_EQ(shown[6], "ABCDEFGH");
}

TEST(RdsContentPs, DateAndTimeItems) {
    TestClock clock;
    setenv("TZ", "UTC", 1);
    tzset();
    clock.t = 1735732800 + 3600 * 9 + 60 * 7;  // 2025-01-01 21:07 UTC
    RdsContent c(&clock);
    c.ps_mode = 1;
    c.items = {2, 1};
    c.item_count = 2;
    c.ps_hold_time = 1;
    uint32_t groups = 0;
    c.ps_step(groups);
    EXPECT_EQ(on_air(c), std::string("  21:07\0", 8));  // seven characters, the eighth a 0 byte
    groups = 1;
    c.ps_step(groups);
    clock.t = 1735732800 + 86400 * 40;  // 10 February 2025
    EXPECT_EQ(on_air(c), "01/01/25");
    c.rbds = 1;
    groups = 1;
    c.ps_step(groups);
    groups = 1;
    c.ps_step(groups);
    EXPECT_EQ(on_air(c), "02/10/25");  // RBDS: month first
}

TEST(RdsContentPs, FixedPsAndEmptyRotation) {
    RdsContent c;
    uint32_t groups = 0;
    c.ps_step(groups);
    EXPECT_EQ(on_air(c), "Torvalen");
    c.fixed_ps = "NEWS";
    c.ps_step(groups);
    EXPECT_EQ(on_air(c), "NEWS    ");
    c.ps_mode = 1;
    c.item_count = 0;
    c.ps_started = false;
    c.ps_step(groups);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.ps_on_air.data())), "No PS String Rotation");
    EXPECT_TRUE(c.ps_scrolls);
}

TEST(RdsContentRt, MessagesAndTheirEnd) {
    RdsContent c;
    c.items = {0};
    c.item_count = 1;
    EXPECT_TRUE(c.next_rt());
    EXPECT_EQ(c.rt_display, "Empty Now Playing String");
    EXPECT_FALSE(c.next_rt());  // the same message again
    c.now_playing = "Artist - Title";
    EXPECT_TRUE(c.next_rt());
    EXPECT_EQ(c.rt[14], rds_carriage_return);
    EXPECT_EQ(c.rt[63], rds_carriage_return);
    c.item_count = 0;
    c.next_rt();
    EXPECT_EQ(c.rt_display, "Program Service Name Not Setup");
}

TEST(RdsContentStore, SavesAndLoadsUnderRdsEncode) {
    testing::Store s;
    const SettingsKey key = *s.instance.create("Sound Out-v2.0.0");
    {
        RdsContent c;
        c.load(key);  // nothing stored: defaults
        EXPECT_EQ(c.pi, 0xC000);
        EXPECT_EQ(c.ecc, 0x00E1);
        EXPECT_EQ(c.ptyn, "PTYName ");
        EXPECT_EQ(c.ta_port, 8181u);
        c.pi = 0xABCD;
        c.fixed_ps = "ABC";
        c.items = {3, 1, 2};
        c.item_count = 3;
        c.user_texts[5] = "Fifth";
        c.user_names[5] = "Name5";
        c.af_list = {0xE1, 0x10};
        c.ta = 1;  // run time only
        ASSERT_TRUE(c.save(key));
    }
    const auto rds = key.open("RDS_ENCODE");
    ASSERT_TRUE(rds);
    uint32_t pi = 0;
    EXPECT_TRUE(rds->read_dword("PI", pi));
    EXPECT_EQ(pi, 0xABCDu);
    EXPECT_TRUE(rds->open("PS_STRINGS"));
    RdsContent c;
    c.load(key);
    EXPECT_EQ(c.pi, 0xABCD);
    EXPECT_EQ(c.fixed_ps, "ABC     ");
    EXPECT_EQ(c.item_count, 3u);
    EXPECT_EQ(c.items[2], 2u);
    EXPECT_EQ(c.user_texts[5], "Fifth");
    EXPECT_EQ(c.user_names[5], "Name5");
    EXPECT_EQ(c.af_list[1], 0x10);
    EXPECT_EQ(c.ta.load(), 0u);
}

}  // namespace
}  // namespace torvalen::broadcast

namespace torvalen::broadcast {
namespace {

TEST(RdsCharacters, LettersOfTheTableAreCarriedOthersBecomeSpaces) {
    bool replaced = false;
    const std::string on_air = to_rds_characters("Motörhead ☃ $5 Ñ", &replaced);
    EXPECT_TRUE(replaced);
    EXPECT_EQ(on_air, std::string("Mot\x97rhead   \xAB" "5 \x8A"));
    EXPECT_EQ(rds_characters_to_utf8(on_air), "Motörhead   $5 Ñ");
    replaced = false;
    EXPECT_EQ(rds_displayable("Édith Piaf", &replaced), "Édith Piaf");
    EXPECT_FALSE(replaced);
    // A broken UTF-8 sequence is one uncarried character.
    EXPECT_EQ(to_rds_characters("a\xC3(b"), "a (b");
}

}  // namespace
}  // namespace torvalen::broadcast
