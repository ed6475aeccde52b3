// The simulated card's storage and registers: the sizes a CSD can express
// (the geometry), the CID and CSD built for it, and the sectors kept in
// memory or in an image file. The bus, its timing and the departure count
// are not here.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>

namespace mmcsim {

using Register = std::array<uint8_t, 16>;  // wire order: byte 0 holds bits 127..120

struct Geometry {
  uint32_t readBlLen = 9;
  uint32_t cSizeMult = 7;
  uint32_t cSize = 506;
  uint64_t bytes = 132907008;
};

// The largest size not above the request that the CSD fields can express.
Geometry FitGeometry(uint64_t requested);
// Whole sectors of a geometry (at most 0xFFFFFFFF).
uint32_t SectorsOf(const Geometry& geometry);

struct CardRegisters {
  Register cid{};
  Register csd{};
};
// The CID and the CSD of a card of this geometry, CRC7 sealed.
CardRegisters BuildRegisters(const Geometry& geometry);

// The sectors: an image file (flat 512-byte sectors, zeros past its end)
// when fd is open, otherwise memory (unwritten sectors read as zeros).
struct Storage {
  int fd = -1;
  std::unordered_map<uint32_t, std::array<uint8_t, 512>> memory;
};

// Opens an image file (created when missing) as storage and protects it
// from copies off the card; false when it cannot be opened.
bool OpenImageStorage(const char* path, Storage* storage);
// Closes an image file and lifts its protection; memory storage stays.
void CloseStorage(Storage& storage);

// False when the image file fails; the card then fails as a real one with a
// bad block does.
bool StorageRead(const Storage& storage, uint32_t sector, uint8_t* out);
bool StorageWrite(Storage& storage, uint32_t sector, const uint8_t* in);

}  // namespace mmcsim
