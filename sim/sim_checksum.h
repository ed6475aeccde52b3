// The simulated devices' own CRC7 and CRC-16, table-driven and written
// independently of the program's checksums, so that a fault in those shows
// as a refused token or block instead of agreeing with itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace simcrc {

struct Tables {
  std::array<uint8_t, 256> crc7{};    // CRC7 kept in the top 7 bits of a byte
  std::array<uint16_t, 256> crc16{};  // 0x1021, MSB first
  Tables() {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c7 = i;
      unsigned c16 = i << 8;
      for (int k = 0; k < 8; ++k) {
        c7 = (c7 & 0x80u) != 0 ? ((c7 << 1) ^ 0x12u) : (c7 << 1);
        c16 = (c16 & 0x8000u) != 0 ? ((c16 << 1) ^ 0x1021u) : (c16 << 1);
      }
      crc7[i] = static_cast<uint8_t>(c7);
      crc16[i] = static_cast<uint16_t>(c16);
    }
  }
};
inline const Tables kTables;

}  // namespace simcrc

inline uint8_t SimCrc7(const uint8_t* bytes, std::size_t n) {
  uint8_t reg = 0;
  for (std::size_t i = 0; i < n; ++i) reg = simcrc::kTables.crc7[reg ^ bytes[i]];
  return static_cast<uint8_t>(reg >> 1);
}

inline uint16_t SimCrc16(const uint8_t* bytes, std::size_t n) {
  uint16_t reg = 0;
  for (std::size_t i = 0; i < n; ++i) {
    reg = static_cast<uint16_t>((reg << 8) ^ simcrc::kTables.crc16[((reg >> 8) ^ bytes[i]) & 0xFFu]);
  }
  return reg;
}
