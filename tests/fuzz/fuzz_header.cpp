// The header and table reader over any header area: the entries decoded, the
// table's check, the repair's plan, the free space and the placement of a
// new title. The first four bytes give the card's size, the rest is the
// card from byte 0.
#include <cstdint>
#include <cstring>
#include <vector>

#include "card/card_check.h"
#include "card/header.h"
#include "card/table_check.h"
#include "target_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  uint32_t cardSize = 0;
  std::memcpy(&cardSize, data, 4);
  CardHeader header;
  std::vector<TitleEntry> entries;
  if (!card_DecodeHeaderArea(data + 4, size - 4, &header, &entries)) return 0;
  header.cardSize = cardSize;
  FUZZ_CHECK(entries.size() <= HEADER_MAX_TITLES, "more entries than the header area holds");

  const uint64_t dataBytes = cardSize > DATA_AREA_START ? cardSize - DATA_AREA_START : 0;
  FUZZ_CHECK(card_CoveredBytes(entries, cardSize) <= dataBytes, "titles cover more than the data area");

  const TableCheck check = card_CheckTable(header, header.sampleCount, entries);
  for (const TableProblem& p : check.problems) {
    FUZZ_CHECK(p.title <= entries.size(), "finding names a title the table lacks");
  }
  uint64_t freeBytes = 0;
  for (const FreeStretch& f : check.free) {
    FUZZ_CHECK(f.start >= DATA_AREA_START && f.start % SECTOR_SIZE == 0, "free stretch outside the data area");
    FUZZ_CHECK(f.start + f.bytes <= cardSize, "free stretch past the card");
    freeBytes += f.bytes;
  }
  FUZZ_CHECK(freeBytes <= dataBytes, "more free than the data area");

  const RepairPlan plan = card_PlanRepair(check);
  FUZZ_CHECK(plan.drops.size() <= entries.size(), "the plan drops more titles than listed");

  // A new title is placed inside the card, behind the header area, over no
  // listed title's sectors.
  const uint64_t wanted = data[size - 1] * 4099ull + 1;
  uint64_t start = 0, stretch = 0;
  if (card_FindTitleStretchIn(entries, cardSize, wanted, &start, &stretch)) {
    const uint64_t first = start * SECTOR_SIZE, end = first + wanted;
    FUZZ_CHECK(first >= DATA_AREA_START && end <= cardSize, "placed outside the data area");
    for (const TitleEntry& e : entries) {
      if (card_TitleDamage(e, cardSize) != TitleDamage::None || e.size == 0) continue;
      const uint64_t a = e.startAddress / SECTOR_SIZE * SECTOR_SIZE;
      const uint64_t b = (static_cast<uint64_t>(e.startAddress) + e.size + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
      FUZZ_CHECK(end <= a || first >= b, "placed over a listed title");
    }
  }
  return 0;
}
