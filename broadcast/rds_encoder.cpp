#include "broadcast/rds_encoder.h"

#include "broadcast/rds_charset.h"

#include <cstring>
#include <mutex>

namespace torvalen::broadcast {

namespace {

constexpr uint32_t generator = 0x5B9;  // x^10 + x^8 + x^7 + x^5 + x^4 + x^3 + 1

constexpr uint16_t compute_checkword(uint32_t word) {
    uint32_t reg = word << 10;
    for (int bit = 25; bit >= 10; --bit)
        if (reg & (1u << bit)) reg ^= generator << (bit - 10);
    return static_cast<uint16_t>(reg & 0x3FF);
}

// The checkword is linear over GF(2): a word's checkword is the checkword of the
// word without its lowest set bit, XOR the checkword of that bit. One XOR per entry
// keeps the compile-time evaluation small.
constexpr std::array<uint16_t, 65536> make_checkwords() {
    std::array<uint16_t, 16> bit_words{};
    for (int b = 0; b < 16; ++b) bit_words[b] = compute_checkword(1u << b);
    std::array<uint16_t, 65536> t{};
    for (uint32_t m = 1; m < t.size(); ++m)
        t[m] = static_cast<uint16_t>(t[m & (m - 1)] ^ bit_words[__builtin_ctz(m)]);
    return t;
}
static_assert(make_checkwords()[0x1234] == compute_checkword(0x1234));

constexpr std::array<uint16_t, 65536> checkwords = make_checkwords();
static_assert(checkwords[0x0001] == 0x1B9);
static_assert(checkwords[0xC000] == 0x290);

// Bits 15..11 of block 2 by group type and version.
constexpr uint16_t type_bits(GroupType type) {
    switch (type) {
        case GroupType::g0A: return 0x0000;
        case GroupType::g0B: return 0x0800;
        case GroupType::g1A: return 0x1000;
        case GroupType::g2A: return 0x2000;
        case GroupType::g4A: return 0x4000;
        case GroupType::g10A: return 0xA000;
    }
    return 0;
}

constexpr uint16_t pair(uint8_t high, uint8_t low) { return static_cast<uint16_t>((high << 8) | low); }

}  // namespace

uint16_t rds_checkword(uint16_t word) { return checkwords[word]; }

std::array<uint32_t, 4> encode_group(const RdsGroup& g) {
    return {rds_block(g.blocks[0], offset_a), rds_block(g.blocks[1], offset_b),
            rds_block(g.blocks[2], g.version_b ? offset_c_prime : offset_c), rds_block(g.blocks[3], offset_d)};
}

uint32_t modified_julian_day(int year, int month, int day) {
    const int l = (month == 1 || month == 2) ? 1 : 0;
    // The 365.25 product is formed in single precision, as receivers' reference code does.
    const float years = static_cast<float>(year - 1900 - l) * 365.25f;
    const double months = (month + 1 + 12 * l) * 30.6001;
    return static_cast<uint32_t>(14956 + day + static_cast<int>(years) + static_cast<int>(months));
}

uint16_t GroupScheduler::block2(GroupType type, uint16_t low_bits) const {
    return static_cast<uint16_t>(type_bits(type) | ((content_.tp & 1) << 10) | ((content_.pty & 31) << 5) |
                                 (low_bits & 31));
}

RdsGroup GroupScheduler::next() {
    std::lock_guard guard(content_.lock);
    RdsGroup group;
    bool done = false;
    if (content_.clock_on) {
        const std::time_t t = content_.clock().now();
        std::tm utc{};
        gmtime_r(&t, &utc);
        const int second = utc.tm_sec;
        if (second < last_second_) {  // the minute has just changed
            group = clock_group(t);
            done = true;
        }
        last_second_ = second;
    }
    if (!done) {
        const Slot slot = group_sequence[slot_];
        slot_ = (slot_ + 1) % group_sequence.size();
        switch (slot) {
            case Slot::pin: group = pin_group(); break;
            case Slot::rt: group = rt_group(); break;
            case Slot::ptyn: group = content_.ptyn_enable ? ptyn_group() : ps_group(); break;
            case Slot::ps:
            case Slot::spare: group = ps_group(); break;
        }
    }
    ++ps_groups_;
    ++rt_groups_;
    return group;
}

void GroupScheduler::reload_af() {
    af_work_.fill(0);
    std::memcpy(af_work_.data(), content_.af_list.data(), rds_text_bytes);
    af_length_ = static_cast<uint32_t>(strnlen(reinterpret_cast<const char*>(af_work_.data()), rds_text_bytes));
    af_position_ = 0;
}

RdsGroup GroupScheduler::ps_group() {
    RdsContent& c = content_;
    if (ps_segment_ == 0) c.ps_step(ps_groups_);
    const uint32_t seg = ps_segment_;
    std::array<uint8_t, 2> ch{};
    for (uint32_t i = 0; i < 2; ++i) {
        const uint32_t at = c.ps_offset + 2 * seg + i;
        uint8_t v = at < rds_text_bytes ? c.ps_on_air[at] : 0;
        if (c.strip_underscores && v == '_') v = ' ';
        ch[i] = v;
        c.ps_display[2 * seg + i] = static_cast<char>(v);
    }
    if (seg == 3 && c.ps_mode == 1) c.status_version.fetch_add(1, std::memory_order_release);
    // Decoder identification, one bit per segment: d3, d2, d1, d0.
    const uint32_t di[4] = {c.dynamic_pty, c.compressed, c.artificial_head, c.stereo};
    const uint16_t low = static_cast<uint16_t>(((c.ta.load(std::memory_order_relaxed) & 1) << 4) |
                                               ((c.music & 1) << 3) | ((di[seg] & 1) << 2) | seg);
    RdsGroup g;
    g.blocks[0] = c.pi;
    g.blocks[3] = pair(ch[0], ch[1]);
    if (af_length_ < 2) {
        g.type = GroupType::g0B;
        g.version_b = true;
        g.blocks[2] = c.pi;
        reload_af();
    } else {
        g.type = GroupType::g0A;
        g.blocks[2] = pair(af_work_[af_position_], af_work_[af_position_ + 1]);
        af_position_ += 2;
        if (af_position_ >= af_length_) reload_af();
    }
    g.blocks[1] = block2(g.type, low);
    ps_segment_ = (ps_segment_ + 1) & 3;
    return g;
}

RdsGroup GroupScheduler::pin_group() {
    RdsGroup g;
    g.type = GroupType::g1A;
    g.blocks = {content_.pi, block2(GroupType::g1A, 0), content_.ecc, content_.pin};
    return g;
}

RdsGroup GroupScheduler::rt_group() {
    RdsContent& c = content_;
    if (!c.rt_enable) {
        if (!rt_disabled_shown_) {
            rt_disabled_shown_ = true;
            c.status_version.fetch_add(1, std::memory_order_release);
        }
        rt_in_progress_ = false;
        rt_position_ = 0;
        return ps_group();
    }
    rt_disabled_shown_ = false;
    if (!rt_in_progress_) {
        if (rt_groups_ <= c.ps_hold_time) return ps_group();
        rt_groups_ = 0;
        // A new message that differs from the last one toggles the text A/B flag,
        // so receivers clear their display instead of merging the two.
        const bool changed = c.next_rt();
        if (changed && rt_sent_) rt_ab_ ^= 1;
        rt_sent_ = true;
        rt_in_progress_ = true;
        rt_position_ = 0;
    }
    const uint32_t p = rt_position_;
    RdsGroup g;
    g.type = GroupType::g2A;
    g.blocks = {c.pi, block2(GroupType::g2A, static_cast<uint16_t>((rt_ab_ << 4) | (p / 4))),
                pair(c.rt[p], c.rt[p + 1]), pair(c.rt[p + 2], c.rt[p + 3])};
    if (c.rt[p + 3] == rds_carriage_return || p + 4 >= rds_text_bytes) {
        rt_in_progress_ = false;
        rt_position_ = 0;
    } else {
        rt_position_ += 4;
    }
    return g;
}

RdsGroup GroupScheduler::ptyn_group() {
    RdsContent& c = content_;
    if (ptyn_segment_ >= 2) {
        ptyn_segment_ = 0;
        std::array<uint8_t, 8> configured{};
        const std::string name = to_rds_characters(c.ptyn);
        std::memcpy(configured.data(), name.data(), std::min<std::size_t>(8, name.size()));
        if (configured != ptyn_on_air_) {
            ptyn_on_air_ = configured;
            ptyn_ab_ ^= 1;
        }
    }
    const uint32_t seg = ptyn_segment_;
    const uint8_t* p = ptyn_on_air_.data() + 4 * seg;
    RdsGroup g;
    g.type = GroupType::g10A;
    g.blocks = {c.pi, block2(GroupType::g10A, static_cast<uint16_t>((ptyn_ab_ << 4) | seg)), pair(p[0], p[1]),
                pair(p[2], p[3])};
    ++ptyn_segment_;
    return g;
}

RdsGroup GroupScheduler::clock_group(std::time_t t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    const uint32_t mjd = modified_julian_day(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    const uint32_t hour = static_cast<uint32_t>(utc.tm_hour), minute = static_cast<uint32_t>(utc.tm_min);
    // Bias in minutes west of UTC; the offset goes out in half hours.
    const long bias = -content_.clock().utc_offset_seconds(t) / 60;
    const uint32_t offset = static_cast<uint32_t>((bias < 0 ? -bias : bias) / 30) & 31;
    const uint32_t sign = bias >= 0 ? 1 : 0;
    RdsGroup g;
    g.type = GroupType::g4A;
    g.blocks = {content_.pi, block2(GroupType::g4A, static_cast<uint16_t>((mjd >> 15) & 3)),
                static_cast<uint16_t>(((mjd & 0x7FFF) << 1) | (hour >> 4)),
                static_cast<uint16_t>(((hour & 15) << 12) | (minute << 6) | (sign << 5) | offset)};
    return g;
}

}  // namespace torvalen::broadcast
