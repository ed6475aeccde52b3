#include "sim/mmc_card_storage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "sim/sim_checksum.h"
#include "host/host_files.h"

namespace mmcsim {

namespace {

void SetBits(Register& reg, int high, int low, uint32_t value) {
  for (int bit = low; bit <= high; ++bit) {
    const int byte = 15 - bit / 8;
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    if (((value >> (bit - low)) & 1u) != 0) {
      reg[byte] = static_cast<uint8_t>(reg[byte] | mask);
    } else {
      reg[byte] = static_cast<uint8_t>(reg[byte] & ~mask);
    }
  }
}

void SealRegister(Register& reg) { reg[15] = static_cast<uint8_t>((SimCrc7(reg.data(), 15) << 1) | 1u); }

}  // namespace

Geometry FitGeometry(uint64_t requested) {
  Geometry best{9, 0, 0, 2048};
  for (uint32_t bl = 9; bl <= 15; ++bl) {
    for (uint32_t mult = 0; mult <= 7; ++mult) {
      const uint64_t unit = 1ull << (bl + mult + 2);
      uint64_t count = requested / unit;
      if (count == 0) continue;
      if (count > 4096) count = 4096;
      if (unit * count > best.bytes) best = Geometry{bl, mult, static_cast<uint32_t>(count - 1), unit * count};
    }
  }
  return best;
}

uint32_t SectorsOf(const Geometry& geometry) {
  const uint64_t sectors = geometry.bytes / 512u;
  return sectors > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(sectors);
}

CardRegisters BuildRegisters(const Geometry& geometry) {
  CardRegisters r;
  SetBits(r.cid, 127, 120, 0x56);        // manufacturer
  SetBits(r.cid, 119, 104, 0x5658);      // OEM "VX"
  const char* name = "SIMMMC";           // product name, 6 characters
  for (int i = 0; i < 6; ++i) SetBits(r.cid, 103 - 8 * i, 96 - 8 * i, static_cast<uint8_t>(name[i]));
  SetBits(r.cid, 55, 48, 0x10);          // revision
  SetBits(r.cid, 47, 16, 0x12345678u);   // serial number
  SetBits(r.cid, 15, 8, 0x31);           // manufacturing date
  SealRegister(r.cid);

  SetBits(r.csd, 127, 126, 1);           // CSD structure 1.1
  SetBits(r.csd, 125, 122, 3);           // system version 3
  SetBits(r.csd, 119, 112, 0x26);        // TAAC
  SetBits(r.csd, 103, 96, 0x2A);         // 20 MHz
  SetBits(r.csd, 95, 84, 0x0F5);         // command classes
  SetBits(r.csd, 83, 80, geometry.readBlLen);
  SetBits(r.csd, 79, 79, 1);             // partial reads
  SetBits(r.csd, 73, 62, geometry.cSize);
  SetBits(r.csd, 61, 50, 0xFFF);         // supply currents
  SetBits(r.csd, 49, 47, geometry.cSizeMult);
  SetBits(r.csd, 28, 26, 2);             // R2W factor
  SetBits(r.csd, 25, 22, 9);             // 512-byte write blocks
  SealRegister(r.csd);
  return r;
}

bool OpenImageStorage(const char* path, Storage* storage) {
  if (path == nullptr) return false;
  const int fd = open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0) return false;
  storage->fd = fd;
  vexo_ProtectHostFile(fd);  // no copy from the card may overwrite the card itself
  return true;
}

void CloseStorage(Storage& storage) {
  if (storage.fd < 0) return;
  vexo_UnprotectHostFile(storage.fd);
  close(storage.fd);
  storage.fd = -1;
}

bool StorageRead(const Storage& storage, uint32_t sector, uint8_t* out) {
  std::memset(out, 0, 512);
  if (storage.fd >= 0) {
    std::size_t done = 0;
    const off_t offset = static_cast<off_t>(static_cast<uint64_t>(sector) * 512u);
    while (done < 512) {
      const ssize_t got = pread(storage.fd, out + done, 512 - done, offset + static_cast<off_t>(done));
      if (got < 0) return false;
      if (got == 0) break;  // past the file's end the card reads zeros
      done += static_cast<std::size_t>(got);
    }
    return true;
  }
  const auto found = storage.memory.find(sector);
  if (found != storage.memory.end()) std::memcpy(out, found->second.data(), 512);
  return true;
}

bool StorageWrite(Storage& storage, uint32_t sector, const uint8_t* in) {
  if (storage.fd >= 0) {
    std::size_t done = 0;
    const off_t offset = static_cast<off_t>(static_cast<uint64_t>(sector) * 512u);
    while (done < 512) {
      const ssize_t put = pwrite(storage.fd, in + done, 512 - done, offset + static_cast<off_t>(done));
      if (put <= 0) return false;
      done += static_cast<std::size_t>(put);
    }
    return true;
  }
  std::memcpy(storage.memory[sector].data(), in, 512);
  return true;
}

}  // namespace mmcsim
