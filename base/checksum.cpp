#include "base/checksum.h"

#include "base/vexo_types.h"

namespace {

uint8_t Crc7Step(uint8_t crc, uint8_t byte) {
  for (int bit = 7; bit >= 0; --bit) {
    const bool feedback = (((crc >> 6) & 1u) ^ ((byte >> bit) & 1u)) != 0;
    crc = static_cast<uint8_t>((crc << 1) & 0x7Fu);
    if (feedback) crc ^= 0x09u;
  }
  return crc;
}

uint16_t Crc16Step(uint16_t crc, uint8_t byte) {
  crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(byte) << 8));
  for (int bit = 0; bit < 8; ++bit) {
    crc = (crc & 0x8000u) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021u)
                               : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

// CRC7 over image[n-1] down to image[1] (the wire order of a reversed image).
uint8_t Crc7Reversed(std::span<const uint8_t> image, std::size_t n) {
  if (n > image.size()) n = image.size();
  uint8_t crc = 0;
  for (std::size_t i = n; i-- > 1;) crc = Crc7Step(crc, image[i]);
  return crc;
}

}  // namespace

uint16_t vexo_Crc16(std::span<const uint8_t> data) {
  uint16_t crc = 0;
  for (const uint8_t byte : data) crc = Crc16Step(crc, byte);
  return crc;
}

void mmc_SetCmdCrc(std::array<uint8_t, 6>& frame) {
  frame[0] = static_cast<uint8_t>((Crc7Reversed(frame, 6) << 1) | 1u);
}

void mmc_SetRegisterCrc(std::array<uint8_t, 16>& image) {
  image[0] = static_cast<uint8_t>((Crc7Reversed(image, 16) << 1) | 1u);
}

int32_t mmc_CheckCrc7(std::span<const uint8_t> image, std::size_t n) {
  if (n < 2 || n > image.size()) return VEXO_ERROR_PPA_WRONG_CMD_RESPONSE;
  const uint8_t expected = static_cast<uint8_t>((Crc7Reversed(image, n) << 1) | 1u);
  return image[0] == expected ? 0 : VEXO_ERROR_PPA_WRONG_CMD_RESPONSE;
}

void mmc_Crc16(std::span<const uint8_t> data, std::array<uint8_t, 2>& out) {
  const uint16_t crc = vexo_Crc16(data);
  out[0] = static_cast<uint8_t>(crc >> 8);
  out[1] = static_cast<uint8_t>(crc & 0xFFu);
}

int32_t mmc_CheckCrc16(std::span<const uint8_t> image, std::size_t length) {
  if (length > image.size()) return VEXO_ERROR_PPA_WRONG_DATA_CRC16;
  return vexo_Crc16(image.first(length)) == 0 ? 0 : VEXO_ERROR_PPA_WRONG_DATA_CRC16;
}
