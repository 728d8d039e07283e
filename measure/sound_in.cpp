#include "measure/sound_in.h"

#include <cmath>
#include <new>

namespace torvalen::measure {

std::unique_ptr<SoundIn> SoundIn::create(const SettingsKey& instance_key, uint32_t& error) {
    const auto key = instance_key.create(sound_in_key_name);
    if (!key) {
        error |= 1u;
        return nullptr;
    }
    try {
        return std::unique_ptr<SoundIn>(new SoundIn(*key));
    } catch (const std::bad_alloc&) {
        // Allocation failure at creation is reported through the error word.
        error |= 1u;
        return nullptr;
    }
}

void SoundIn::measure(std::span<const float> bus0, uint32_t rate_Hz, bool tick) {
    if (!shown_.load(std::memory_order_relaxed)) return;
    dsp::LevelDetector* detector = rate_Hz == 48000 ? &meter_48_ : rate_Hz == 192000 ? &meter_192_ : nullptr;
    if (detector) {
        for (std::size_t i = 0; i + 1 < bus0.size(); i += 2) {
            // A non-finite sample from the device would stick in the detector's filters.
            const float l = std::isfinite(bus0[i]) ? bus0[i] : 0.0f;
            const float r = std::isfinite(bus0[i + 1]) ? bus0[i + 1] : 0.0f;
            detector->push(l, r, holders_);
        }
        detector->flush(holders_);
    }
    if (tick) {
        SoundInMeters& m = meters_.back();
        for (int k = 0; k < 6; ++k) m[k] = static_cast<float>(dsp::level_dBFS(holders_[k]));
        meters_.publish();
        holders_.fill(1.0f);
    }
}

void SoundIn::clear_meters() { holders_.fill(1.0f); }

}  // namespace torvalen::measure
