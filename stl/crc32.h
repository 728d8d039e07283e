// CRC-32/MPEG-2 of the link's packets: polynomial 0x04C11DB7, initial value
// 0xFFFFFFFF, most significant bit first, no reflection, no final XOR.
#pragma once

#include <cstdint>
#include <span>

namespace torvalen::stl {

uint32_t crc32_mpeg2(std::span<const uint8_t> data, uint32_t crc = 0xFFFFFFFFu);

}  // namespace torvalen::stl
