#include "stl/crc32.h"

#include <array>

namespace torvalen::stl {
namespace {

// Slicing by 8: table k gives the CRC of a byte followed by k zero bytes, so eight
// bytes are folded in with eight look-ups and no dependency between them.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}

constexpr Tables tables = make_tables();

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

uint32_t crc32_mpeg2(std::span<const uint8_t> data, uint32_t crc) {
    const uint8_t* p = data.data();
    std::size_t n = data.size();
    const auto& t = tables;
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t a = crc ^ be32(p);
        const uint32_t b = be32(p + 4);
        crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^ t[3][b >> 24] ^
              t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
    }
    for (; n > 0; --n, ++p) crc = (crc << 8) ^ t[0][((crc >> 24) ^ *p) & 0xFF];
    return crc;
}

}  // namespace torvalen::stl
