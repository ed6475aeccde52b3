#include "card/write_plan.h"

#include <algorithm>
#include <cstring>

// The order of a header write that keeps the promise of an interrupted one:
// the card lists the old playlist, the new one, or (while several table
// sectors change) a list in which every new title stands at least once and
// every entry is an old one.
//  1. Table sectors whose entries change, in their "between" form: new bytes,
//     except that bytes the old table still counts beyond the new table's end
//     keep their old value. While sector 0 still counts the old entries they
//     list every old title but at most the one deleted, some twice. Entries
//     moving towards the table's start are written from the first sector on,
//     entries moving towards its end from the last one, so that an entry is
//     written at its new place before its old place is overwritten.
//  2. Sector 0, which starts counting the new table.
//  3. The sectors whose bytes behind the new table are zeroed.
// A table that only grows writes its new entries first and sector 0 last;
// one that only shrinks writes sector 0 first. Sectors whose bytes do not
// change are not written.
std::vector<SectorWrite> card_PlanHeaderWrite(const std::vector<uint8_t>& image, uint32_t sectors,
                                              uint64_t newEnd, TableOrder order,
                                              const std::vector<uint8_t>& held,
                                              uint64_t onCardEnd) {
  const auto onCard = [&](uint32_t s) -> const uint8_t* {
    return (static_cast<std::size_t>(s) + 1) * SECTOR_SIZE <= held.size()
               ? held.data() + static_cast<std::size_t>(s) * SECTOR_SIZE
               : nullptr;
  };
  const auto differs = [&](uint32_t s, const uint8_t* bytes) {
    return onCard(s) == nullptr || std::memcmp(onCard(s), bytes, SECTOR_SIZE) != 0;
  };
  std::vector<SectorWrite> between(sectors), final(sectors);
  for (uint32_t s = 0; s < sectors; ++s) {
    const std::size_t base = static_cast<std::size_t>(s) * SECTOR_SIZE;
    final[s].sector = s;
    std::memcpy(final[s].bytes.data(), image.data() + base, SECTOR_SIZE);
    between[s] = final[s];
    if (onCard(s) == nullptr) continue;
    for (uint64_t b = std::max<uint64_t>(newEnd, base); b < onCardEnd && b < base + SECTOR_SIZE; ++b) {
      between[s].bytes[b - base] = onCard(s)[b - base];
    }
  }
  std::vector<SectorWrite> plan;
  for (uint32_t i = 1; i < sectors; ++i) {
    const uint32_t s = order == TableOrder::TowardsEnd ? sectors - i : i;
    if (differs(s, between[s].bytes.data())) plan.push_back(between[s]);
  }
  if (differs(0, final[0].bytes.data())) plan.push_back(final[0]);
  for (uint32_t s = 1; s < sectors; ++s) {
    if (final[s].bytes != between[s].bytes) plan.push_back(final[s]);
  }
  return plan;
}

