// The six audio buses of an instance and the block arithmetic that sizes them.
//
// Audio is 32-bit float, interleaved stereo, at 32-bit-integer scale (full scale is
// 2^31). Counts are counts of floats: two per stereo frame.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace torvalen {

inline constexpr unsigned bus_count = 6;

enum BusIndex : unsigned {
    bus_sound_in = 0,  // copy of the device input, device rate
    bus_player = 1,    // player mix, 48 kHz
    bus_stl_rx = 2,    // link receiver, 192 kHz
    bus_sig_gen = 3,   // signal generator, 192 kHz
    bus_proc = 4,      // processor output, 48 kHz
    bus_sound_out = 5  // output stage, device rate; becomes the device output
};

// The labels of every "Input Select" list, in bus order.
inline constexpr std::array<const char*, bus_count> bus_labels = {
    "Sound In", "Player", "STL RX", "Sig Gen", "Proc", "Sound Out"};

inline constexpr uint32_t chain_rate_Hz = 48000;
inline constexpr uint32_t mpx_rate_Hz = 192000;

// Full scale of the engine's sample format: a float of +-2^31 is 0 dBFS.
inline constexpr float full_scale = 2147483648.0f;

inline constexpr bool is_device_rate(uint32_t rate_Hz) {
    return rate_Hz == chain_rate_Hz || rate_Hz == mpx_rate_Hz;
}

// Float count of a bus running at `bus_rate_Hz` when the device block holds `n`
// floats at `device_rate_Hz`. A bus at rate 0 (its producer is absent) is sized
// like a 48 kHz bus.
inline constexpr uint32_t bus_float_count(uint32_t device_rate_Hz, uint32_t n,
                                          uint32_t bus_rate_Hz) {
    if (device_rate_Hz == chain_rate_Hz) return bus_rate_Hz == mpx_rate_Hz ? 4 * n : n;
    return bus_rate_Hz == mpx_rate_Hz ? n : n / 4;
}

static_assert(bus_float_count(48000, 512, 192000) == 2048);
static_assert(bus_float_count(192000, 2048, 48000) == 512);

// The three parallel arrays handed to every module's per-block call. Written only
// by the engine between cycles (EngineStart/EngineStop); read by modules inside
// the cycle on the engine thread.
struct Buses {
    std::array<float*, bus_count> data{};
    std::array<uint32_t, bus_count> rate{};
    std::array<uint32_t, bus_count> count{};

    std::span<float> bus(unsigned index) const { return {data[index], count[index]}; }
};

}  // namespace torvalen
