// Sound-card settings records as they are kept in the settings store.
#pragma once

#include <cstdint>
#include <string>

#include "engine/settings_store.h"

namespace torvalen {

// One device's settings: the shared device's (`Persist`\`ASIO_Settings`) or an
// instance's own (`ASIO2_Audio_Settings` in the instance key). Channels are 1-based;
// 0 everywhere means "not configured".
struct DeviceSettings {
    std::string device;
    uint32_t input_l = 0;
    uint32_t input_r = 0;
    uint32_t output_l = 0;
    uint32_t output_r = 0;
    uint32_t frame_size = 0;   // frames per block
    uint32_t sample_rate = 0;  // 48000 or 192000

    // An instance's own device record under `ASIO2_Audio_Settings`.
    void load_instance_device(SettingsKey instance_key);
    bool save_instance_device(SettingsKey instance_key) const;

    // The shared device record under `Persist`\`ASIO_Settings` (device, rate, frame size).
    void load_shared_device(SettingsKey persist_key);
    bool save_shared_device(SettingsKey persist_key) const;
};

// The channel pair an instance uses on the shared device (`ASIOSingle` in the
// instance key), 1-based.
struct ChannelMap {
    uint32_t l_in = 1;
    uint32_t r_in = 2;
    uint32_t l_out = 1;
    uint32_t r_out = 2;

    void load(SettingsKey instance_key);
    bool save(SettingsKey instance_key) const;
    bool operator==(const ChannelMap&) const = default;
};

}  // namespace torvalen
