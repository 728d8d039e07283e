#include "stl/link_settings.h"

#include <array>
#include <atomic>
#include <cstring>

namespace torvalen::stl {
namespace {

std::atomic<uint32_t> tx_port_counter{9000};
std::atomic<uint32_t> rx_port_counter{9000};

bool read_flag(const SettingsKey& k, const char* name, bool fallback) {
    uint64_t v = 0;
    return k.read_qword(name, v) ? v != 0 : fallback;
}

template <size_t N>
bool read_words(const SettingsKey& k, const char* name, std::array<uint32_t, N>& words) {
    std::array<std::byte, 4 * N> raw{};
    if (!k.read_binary(name, raw)) return false;
    std::memcpy(words.data(), raw.data(), raw.size());
    return true;
}

}  // namespace

std::string next_tx_port() { return std::to_string(tx_port_counter.fetch_add(1)); }
std::string next_rx_port() { return std::to_string(rx_port_counter.fetch_add(1)); }

void normalise(TxSettings& s) {
    if (s.timeout_ms < min_receive_timeout_ms) s.timeout_ms = min_receive_timeout_ms;
    if (s.send_timeout_ms < min_send_timeout_ms) s.send_timeout_ms = min_send_timeout_ms;
    if (s.pcm.sample_rate != 192000) s.pcm.sample_rate = 48000;
    if (s.pcm.channels != 1) s.pcm.channels = 2;
    if (s.pcm.sample_rate == 192000) s.pcm.channels = 1;
    if (s.pcm.mono_mode > 2) s.pcm.mono_mode = 0;
    if (s.aac.channels != 1) s.aac.channels = 2;
    // VBR and SBR + PS exclude each other, and neither is offered from 128 kB/s up.
    if (s.aac.bit_rate >= 128000) s.aac.sbr_ps = 0;
    if (s.aac.vbr && s.aac.sbr_ps) s.aac.sbr_ps = 0;
}

void normalise(RxSettings& s) {
    if (s.timeout_ms < min_receive_timeout_ms) s.timeout_ms = min_receive_timeout_ms;
    if (s.send_timeout_ms < min_send_timeout_ms) s.send_timeout_ms = min_send_timeout_ms;
    if (s.buffer_time_ms != 100 && s.buffer_time_ms != 200 && s.buffer_time_ms != 1000) s.buffer_time_ms = 500;
}

TxSettings load_tx_settings(const SettingsKey& module_key) {
    TxSettings s;
    std::optional<SettingsKey> k = module_key.create(tx_subkey_name);
    if (k) {
        k->read_text("URL", s.url);
        k->read_text("Port", s.port);
        k->read_text("Password", s.password);
        k->read_dword("TimeOut", s.timeout_ms);
        k->read_dword("SendTimeOut", s.send_timeout_ms);
        s.enable_now = read_flag(*k, "EnableNow", false);
        s.enable = read_flag(*k, "Enable", false);
        s.ipv6 = read_flag(*k, "IPv6", false);
        s.connect_at_startup = read_flag(*k, "ConnectAtStartup", false);
        k->read_dword("EncoderType", s.encoder_type);
        std::array<uint32_t, 3> pcm{};
        if (read_words(*k, "PCM Settings", pcm)) s.pcm = {pcm[0], pcm[1], pcm[2]};
        std::array<uint32_t, 6> aac{};
        if (read_words(*k, "AAC Settings", aac)) {
            s.aac.bit_rate = aac[0];
            s.aac.channels = aac[1];
            s.aac.vbr = aac[2] | uint64_t(aac[3]) << 32;
            s.aac.sbr_ps = aac[4] | uint64_t(aac[5]) << 32;
        }
    }
    if (s.port.empty()) s.port = next_tx_port();
    if (s.encoder_type > 1) s.encoder_type = 1;
    normalise(s);
    return s;
}

bool save_tx_settings(const SettingsKey& module_key, const TxSettings& s) {
    std::optional<SettingsKey> k = module_key.create(tx_subkey_name);
    if (!k) return false;
    const uint32_t pcm[3] = {s.pcm.channels, s.pcm.sample_rate, s.pcm.mono_mode};
    struct {
        uint32_t bit_rate, channels;
        uint64_t vbr, sbr_ps;
    } aac{s.aac.bit_rate, s.aac.channels, s.aac.vbr, s.aac.sbr_ps};
    static_assert(sizeof aac == 24);
    return k->write_text("URL", s.url) && k->write_text("Port", s.port) && k->write_text("Password", s.password) &&
           k->write_dword("TimeOut", s.timeout_ms) && k->write_dword("SendTimeOut", s.send_timeout_ms) &&
           k->write_qword("EnableNow", s.enable_now) && k->write_qword("Enable", s.enable) &&
           k->write_qword("IPv6", s.ipv6) && k->write_qword("ConnectAtStartup", s.connect_at_startup) &&
           k->write_dword("EncoderType", s.encoder_type) &&
           k->write_binary("PCM Settings", std::as_bytes(std::span(pcm))) &&
           k->write_binary("AAC Settings", std::as_bytes(std::span(&aac, 1)));
}

RxSettings load_rx_settings(const SettingsKey& module_key) {
    RxSettings s;
    std::optional<SettingsKey> k = module_key.create(rx_subkey_name);
    if (k) {
        k->read_text("Port", s.port);
        k->read_text("Password", s.password);
        k->read_dword("TimeOut", s.timeout_ms);
        k->read_dword("SendTimeOut", s.send_timeout_ms);
        s.enable = read_flag(*k, "Enable", false);
        s.listen_at_startup = read_flag(*k, "ListenAtStartup", false);
        k->read_dword("Buffer_Time", s.buffer_time_ms);
    }
    if (s.port.empty()) s.port = next_rx_port();
    normalise(s);
    return s;
}

bool save_rx_settings(const SettingsKey& module_key, const RxSettings& s) {
    std::optional<SettingsKey> k = module_key.create(rx_subkey_name);
    if (!k) return false;
    return k->write_text("Port", s.port) && k->write_text("Password", s.password) &&
           k->write_dword("TimeOut", s.timeout_ms) && k->write_dword("SendTimeOut", s.send_timeout_ms) &&
           k->write_qword("Enable", s.enable) && k->write_qword("ListenAtStartup", s.listen_at_startup) &&
           k->write_dword("Buffer_Time", s.buffer_time_ms);
}

uint16_t parse_listen_port(const std::string& text) {
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > 0xFFFFFFFFull) return 65535;
    }
    return static_cast<uint16_t>(v % 65536);
}

}  // namespace torvalen::stl
