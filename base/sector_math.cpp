#include "base/sector_math.h"

#include "base/vexo_types.h"

uint32_t BytesToSectors(uint32_t bytes) {
  return bytes / SECTOR_SIZE + (bytes % SECTOR_SIZE != 0 ? 1u : 0u);
}

uint64_t PowerOfTwo(uint32_t n) {
  uint64_t value = 1;
  for (uint32_t i = 0; i < n && i < 63; ++i) value *= 2;
  return value;
}

uint32_t vexo_BytesOfSector(uint32_t index, uint32_t total, uint32_t length) {
  const uint32_t remainder = length % SECTOR_SIZE;
  return (index + 1 == total && remainder != 0) ? remainder : SECTOR_SIZE;
}
