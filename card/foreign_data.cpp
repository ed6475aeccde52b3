#include "card/foreign_data.h"

#include <algorithm>
#include <cstring>

#include "card/header_format.h"
#include "card/loaded_table.h"
#include "transport/transport.h"

namespace {

// A sector that holds nothing: all 0x00 (never written) or all 0xFF (erased).
bool IsBlankSector(const SectorBuffer& buffer) {
  const uint8_t first = buffer[0];
  if (first != 0x00 && first != 0xFF) return false;
  return std::all_of(buffer.begin(), buffer.begin() + SECTOR_SIZE,
                     [first](uint8_t b) { return b == first; });
}

// What the first sector that is not blank shows of well-known layouts, or
// nullptr: a boot sector (signature 0x55AA at byte 510) names its file system
// or is taken as a partition table; ext2/3/4 keep their magic 0xEF53 at byte
// 1080, in sector 2, behind an empty boot block.
const char* NameForeignData(uint32_t sector, const SectorBuffer& b) {
  const auto has = [&](std::size_t at, const char* text) {
    return std::memcmp(b.data() + at, text, std::strlen(text)) == 0;
  };
  if (sector == 0 && b[510] == 0x55 && b[511] == 0xAA) {
    if (has(3, "EXFAT")) return "an exFAT file system";
    if (has(3, "NTFS")) return "an NTFS file system";
    if (has(54, "FAT") || has(82, "FAT")) return "a FAT file system";
    return "a partition table";
  }
  if (sector == 2 && (b[56] | (b[57] << 8)) == 0xEF53) return "an ext2/3/4 file system";
  return nullptr;
}

const char* g_foreignName = nullptr;

// 0 when every sector of the header area on the card is blank, -FOREIGN_DATA
// at the first that is not (naming what it holds where it can), or the read's
// result. An image file reads as zeros past its end, so a new or short image
// is blank.
}  // namespace

VexoResult card_CheckHeaderAreaBlank(int32_t kind, int32_t port, int32_t slot, uint32_t cardSize) {
  g_foreignName = nullptr;
  const uint32_t sectors = std::min<uint32_t>(DATA_AREA_START / SECTOR_SIZE,
                                              std::max<uint32_t>(1, cardSize / SECTOR_SIZE));
  CardSectorReader reader{kind, port, slot};
  VexoResult result = vexo_ReadSector(kind, port, slot, 0, reader.buffer, 1, CARD_SECTOR_TRIES);
  for (uint32_t s = 0; result == 0 && s < sectors; ++s) {
    result = reader.AdvanceTo(s);
    if (result == 0 && !IsBlankSector(reader.buffer)) {
      g_foreignName = NameForeignData(s, reader.buffer);
      result = -VEXO_ERROR_FOREIGN_DATA;
    }
  }
  return result;
}


const char* card_ForeignDataName() { return g_foreignName; }
