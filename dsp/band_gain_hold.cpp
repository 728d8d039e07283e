#include "dsp/band_gain_hold.h"

namespace torvalen::dsp {

namespace {
constexpr std::uint32_t band_lanes_mask = 0x1F1F;  // lanes 0-4 (left) and 8-12 (right)
}

BandGainHold::BandGainHold(std::size_t length) : ring_((length == 0 ? 1 : length) + 1), length_(ring_.size() - 1) {
    for (Entry& e : ring_) {
        for (float& g : e.gain) g = empty;
        for (float& s : e.sample) s = 0.0f;
    }
    for (float& a : st_.applied) a = 1.0f;
    for (float& g : st_.smooth) g = 1.0f;
    st_.length = static_cast<std::int32_t>(length_);
    set_active_lanes(band_lanes_mask);
}

void BandGainHold::set_active_lanes(std::uint32_t mask) {
    active_count_ = 0;
    st_.active_mask = mask & 0xFFFFu;
    for (std::size_t lane = 0; lane < lanes; ++lane)
        if (mask & (1u << lane)) active_list_[active_count_++] = static_cast<std::uint8_t>(lane);
}

}  // namespace torvalen::dsp
