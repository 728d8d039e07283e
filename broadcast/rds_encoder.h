// RDS block coding and the group scheduler.
//
// A group is four 16-bit information words; each goes on air as a 26-bit block,
// the word followed by its 10-bit checkword XOR the block's offset word. The
// scheduler decides group by group what to send (0A/0B programme service, 1A
// programme item number and ECC, 2A radiotext, 4A clock time, 10A programme type
// name) from the content record. It runs on the RDS modulator thread only.
#pragma once

#include <array>
#include <cstdint>

#include "broadcast/rds_content.h"

namespace torvalen::broadcast {

inline constexpr uint16_t offset_a = 0x0FC;
inline constexpr uint16_t offset_b = 0x198;
inline constexpr uint16_t offset_c = 0x168;
inline constexpr uint16_t offset_c_prime = 0x350;
inline constexpr uint16_t offset_d = 0x1B4;
inline constexpr uint32_t rds_block_bits = 26;
inline constexpr uint32_t rds_group_bits = 104;

// Checkword of an information word: the remainder of m(x) x^10 divided by
// g(x) = x^10 + x^8 + x^7 + x^5 + x^4 + x^3 + 1 (a table look-up).
uint16_t rds_checkword(uint16_t word);
// The 26-bit block: word << 10 | (checkword XOR offset).
inline uint32_t rds_block(uint16_t word, uint16_t offset) {
    return (static_cast<uint32_t>(word) << 10) | (rds_checkword(word) ^ offset);
}

enum class GroupType : uint8_t { g0A, g0B, g1A, g2A, g4A, g10A };

struct RdsGroup {
    std::array<uint16_t, 4> blocks{};
    bool version_b = false;
    GroupType type = GroupType::g0A;
};

// The four 26-bit blocks of a group, in sending order.
std::array<uint32_t, 4> encode_group(const RdsGroup& group);

// The 23-slot sequence; spare slots send 0A.
enum class Slot : uint8_t { ps, rt, pin, ptyn, spare };
inline constexpr std::array<Slot, 23> group_sequence = {
    Slot::ps, Slot::rt, Slot::pin, Slot::ps, Slot::rt,   Slot::spare, Slot::ps, Slot::rt,
    Slot::spare, Slot::ps, Slot::ptyn, Slot::ps, Slot::rt, Slot::spare, Slot::pin, Slot::ps,
    Slot::rt, Slot::ps, Slot::ptyn, Slot::spare, Slot::ps, Slot::rt, Slot::spare};

// Modified Julian Day of a UTC date, the RDS standard's formula.
uint32_t modified_julian_day(int year, int month, int day);

class GroupScheduler {
public:
    explicit GroupScheduler(RdsContent& content) : content_(content) {}

    // Builds the next group (takes the content lock).
    RdsGroup next();

    uint32_t sequence_position() const { return slot_; }

private:
    RdsGroup ps_group();
    RdsGroup pin_group();
    RdsGroup rt_group();
    RdsGroup ptyn_group();
    RdsGroup clock_group(std::time_t t);
    uint16_t block2(GroupType type, uint16_t low_bits) const;
    void reload_af();

    RdsContent& content_;
    uint32_t slot_ = 0;
    int last_second_ = 0;
    uint32_t ps_segment_ = 0;
    std::array<uint8_t, rds_text_bytes + 1> af_work_{};
    uint32_t af_length_ = 0;
    uint32_t af_position_ = 0;
    uint32_t rt_position_ = 0;
    bool rt_in_progress_ = false;
    bool rt_disabled_shown_ = false;
    bool rt_sent_ = false;
    uint32_t rt_ab_ = 0;
    uint32_t ptyn_segment_ = 2;  // the first 10A group takes the configured name
    uint32_t ptyn_ab_ = 0;
    std::array<uint8_t, 8> ptyn_on_air_{};
    uint32_t ps_groups_ = 0;
    uint32_t rt_groups_ = 0;
};

}  // namespace torvalen::broadcast
