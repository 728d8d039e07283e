// Stored settings of the link's two modules: STL TX ("STL_TX TX-v1.0.0"\"STL_TX")
// and STL RX ("STL_RX RX-v1.0.0"\"STL_RX"), with their defaults, the limits the
// settings dialogs apply, and the process-wide port counters that give every new
// module without a stored port the next port from 9000.
#pragma once

#include <cstdint>
#include <string>

#include "engine/settings_store.h"

namespace torvalen::stl {

inline constexpr const char* tx_key_name = "STL_TX TX-v1.0.0";
inline constexpr const char* tx_subkey_name = "STL_TX";
inline constexpr const char* rx_key_name = "STL_RX RX-v1.0.0";
inline constexpr const char* rx_subkey_name = "STL_RX";
inline constexpr const char* default_link_password = "Vexor##5150Kappa";
inline constexpr uint32_t min_receive_timeout_ms = 1000;
inline constexpr uint32_t min_send_timeout_ms = 2;

struct PcmSettings {
    uint32_t channels = 2;       // 1 or 2 (192 kHz is always mono)
    uint32_t sample_rate = 48000;  // 48000 or 192000
    uint32_t mono_mode = 0;      // 0 sum, 1 left, 2 right
};

struct AacSettings {
    uint32_t bit_rate = 128000;
    uint32_t channels = 2;
    uint64_t vbr = 1;
    uint64_t sbr_ps = 0;
};

struct TxSettings {
    std::string url = "127.0.0.1";
    std::string port;  // filled from the counter when none is stored
    std::string password = default_link_password;
    uint32_t timeout_ms = 1000;
    uint32_t send_timeout_ms = 10;
    bool enable_now = false;
    bool enable = false;
    bool ipv6 = false;
    bool connect_at_startup = false;
    uint32_t encoder_type = 1;  // 0 PCM, 1 AAC
    PcmSettings pcm;
    AacSettings aac;
};

struct RxSettings {
    std::string port;
    std::string password = default_link_password;
    uint32_t timeout_ms = 1000;
    uint32_t send_timeout_ms = 10;
    bool enable = false;
    bool listen_at_startup = false;
    uint32_t buffer_time_ms = 500;  // 100, 200, 500 or 1000
};

// Reads the settings from the module's "STL_TX" / "STL_RX" subkey; missing values
// take their defaults, a missing port the next one from the counter.
TxSettings load_tx_settings(const SettingsKey& module_key);
bool save_tx_settings(const SettingsKey& module_key, const TxSettings& s);
RxSettings load_rx_settings(const SettingsKey& module_key);
bool save_rx_settings(const SettingsKey& module_key, const RxSettings& s);

// The dialogs' rules: time-outs raised to their minimum, PCM at 192 kHz mono, a
// buffer time other than the four offered becomes 500 ms.
void normalise(TxSettings& s);
void normalise(RxSettings& s);

// The listening port of a "Port" text: decimal digits only (any other character
// gives 0); a value beyond 32 bits gives 65535; others are taken modulo 65536.
uint16_t parse_listen_port(const std::string& text);

// The next default port of each module kind (9000, 9001, ...).
std::string next_tx_port();
std::string next_rx_port();

}  // namespace torvalen::stl
