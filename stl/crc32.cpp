#include "stl/crc32.h"

#include <array>

namespace torvalen::stl {
namespace {

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}

constexpr auto table = make_table();

}  // namespace

uint32_t crc32_mpeg2(std::span<const uint8_t> data, uint32_t crc) {
    for (uint8_t byte : data) crc = (crc << 8) ^ table[((crc >> 24) ^ byte) & 0xFF];
    return crc;
}

}  // namespace torvalen::stl
