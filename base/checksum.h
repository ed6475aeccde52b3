// The program's checksums: CRC7 (x^7 + x^3 + 1) of MMC command tokens,
// responses and card registers, and the one CRC-16 (0x1021, initial 0, MSB
// first, no reflection: CRC-16/XMODEM) that protects data blocks on the MMC
// bus and on the serial link alike. Pure functions over bytes; no I/O and no
// state. The mmc_ helpers apply them to the bus's byte images, which are kept
// in reverse order of transmission (the first byte on the wire has the highest
// index): CRC7 runs from the top index down to index 1 and its result lives in
// byte 0, shifted left by one, with the end bit 1 in bit 0.
#pragma once

#include <array>
#include <cstdint>
#include <span>

// CRC-16 of the bytes.
uint16_t vexo_Crc16(std::span<const uint8_t> data);

// Stores the CRC7 of frame bytes 5..1 in byte 0 as (crc << 1) | 1.
void mmc_SetCmdCrc(std::array<uint8_t, 6>& frame);

// Same for a 16-byte card register image (bytes 15..1 covered).
void mmc_SetRegisterCrc(std::array<uint8_t, 16>& image);

// Returns 0 when image[0] equals (CRC7 of bytes n-1..1) << 1 | 1 as a whole
// byte, else VEXO_ERROR_PPA_WRONG_CMD_RESPONSE. n must be 2..image.size().
int32_t mmc_CheckCrc7(std::span<const uint8_t> image, std::size_t n);

// CRC-16 of the bytes written high byte first into out.
void mmc_Crc16(std::span<const uint8_t> data, std::array<uint8_t, 2>& out);

// Divides the first `length` bytes (data followed by its CRC, high byte
// first); 0 for remainder 0, else VEXO_ERROR_PPA_WRONG_DATA_CRC16.
int32_t mmc_CheckCrc16(std::span<const uint8_t> image, std::size_t length);
