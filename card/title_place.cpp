// Where a new title goes: the free stretches of the data area between the
// loaded entries' sectors.
#include <algorithm>

#include "card/header.h"
#include "card/loaded_table.h"

namespace {

// The card's end as a sector number, never inside the header area.
uint64_t CardEndSector(uint32_t cardSize) {
  return std::max<uint64_t>(cardSize / SECTOR_SIZE, DATA_AREA_START / SECTOR_SIZE);
}

// The sectors every entry covers, as [first, end) pairs in order of their
// first sector, clipped to the data area and the card: a damaged entry keeps
// what it covers of the card from new titles, and what it claims past the
// card's end counts for nothing. Entries of no bytes cover none.
std::vector<std::pair<uint64_t, uint64_t>> CoveredSectors(const std::vector<TitleEntry>& table,
                                                          uint32_t cardSize) {
  std::vector<std::pair<uint64_t, uint64_t>> covered;
  for (const TitleEntry& entry : table) {
    if (entry.size == 0) continue;
    const uint64_t first = std::max<uint64_t>(entry.startAddress / SECTOR_SIZE, DATA_AREA_START / SECTOR_SIZE);
    const uint64_t end = std::min(
        (static_cast<uint64_t>(entry.startAddress) + entry.size + SECTOR_SIZE - 1) / SECTOR_SIZE,
        CardEndSector(cardSize));
    if (first < end) covered.emplace_back(first, end);
  }
  std::sort(covered.begin(), covered.end());
  return covered;
}

}  // namespace

bool card_FindTitleStretch(uint64_t bytes, uint64_t* startSector, uint64_t* stretchBytes) {
  return card_FindTitleStretchIn(card_Loaded().table, card_Loaded().cardSize, bytes, startSector,
                                 stretchBytes);
}

bool card_FindTitleStretchIn(const std::vector<TitleEntry>& table, uint32_t cardSize,
                             uint64_t bytes, uint64_t* startSector, uint64_t* stretchBytes) {
  const uint64_t needed = std::max<uint64_t>(1, (bytes + SECTOR_SIZE - 1) / SECTOR_SIZE);
  uint64_t candidate = DATA_AREA_START / SECTOR_SIZE;
  uint64_t limit = cardSize / SECTOR_SIZE;  // behind every title: the card's end
  for (const auto& [first, end] : CoveredSectors(table, cardSize)) {
    if (first >= candidate + needed) {
      limit = first;
      break;
    }
    candidate = std::max(candidate, end);
  }
  *startSector = candidate;
  *stretchBytes = limit > candidate ? (limit - candidate) * SECTOR_SIZE : 0;
  return candidate + needed <= limit;
}

bool card_TitlesFitIn(std::vector<TitleEntry> table, uint32_t cardSize, const std::vector<uint64_t>& sizes) {
  for (const uint64_t size : sizes) {
    uint64_t startSector = 0, stretch = 0;
    if (size > UINT32_MAX || !card_FindTitleStretchIn(table, cardSize, size, &startSector, &stretch)) return false;
    TitleEntry entry;
    entry.startAddress = static_cast<uint32_t>(startSector * SECTOR_SIZE);
    entry.size = static_cast<uint32_t>(size);
    table.push_back(entry);
  }
  return true;
}

bool card_FindTitlePlace(uint64_t bytes, uint64_t* startSector) {
  uint64_t stretch = 0;
  if (card_FindTitleStretch(bytes, startSector, &stretch)) return true;
  *startSector = card_NextTitleSector();
  return false;
}

uint64_t card_NextTitleSector() {
  // Behind every entry, not only the last: a foreign or damaged table may be
  // out of order or point into the header area, and a new title must never
  // land on the header or on a listed title.
  // What a damaged entry claims past the card's end is not taken as used.
  uint64_t end = DATA_AREA_START / SECTOR_SIZE;
  for (const auto& [first, last] : CoveredSectors(card_Loaded().table, card_Loaded().cardSize)) {
    end = std::max(end, last);
  }
  return end;
}

