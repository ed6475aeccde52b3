// The small arithmetic of sectors and card registers: whole sectors of a byte
// count, the bytes of a copy's last sector, and powers of two. Pure functions;
// no state, no input or output.
#pragma once

#include <cstdint>

// n / 512, plus 1 when n is not a multiple of 512.
uint32_t BytesToSectors(uint32_t bytes);

// 1 doubled n times (0 gives 1); 64-bit so that no doubling overflows for
// any exponent a card register can hold (n up to 63).
uint64_t PowerOfTwo(uint32_t n);

// Bytes of the last sector of a copy from the card: 512, or length mod 512
// for the last sector when that is not 0.
uint32_t vexo_BytesOfSector(uint32_t index, uint32_t total, uint32_t length);
