#include "card/loaded_table.h"

#include "host/trace.h"
#include "transport/transport.h"

CardLoaded& card_Loaded() {
  static CardLoaded loaded;
  return loaded;
}

void card_ForgetLoaded() {
  CardLoaded& l = card_Loaded();
  l.table.clear();
  l.table.shrink_to_fit();
  l.cursor = 0;
  l.onCard.clear();
  l.onCardCount = 0;
  l.onCardEnd = 0;
  l.cardSize = 0;
  l.storedCount = 0;
}

void card_KeepSectorRead(const SectorBuffer& buffer) {
  std::vector<uint8_t>& onCard = card_Loaded().onCard;
  onCard.insert(onCard.end(), buffer.begin(), buffer.begin() + SECTOR_SIZE);
}

VexoResult CardSectorReader::AdvanceTo(uint32_t wanted) {
  while (sector < wanted) {
    const VexoResult result =
        vexo_ReadSector(kind, port, slot, sector + 1, buffer, 0, CARD_SECTOR_TRIES);
    vexo_Trace("rc read next = %i\n", result);
    if (result != 0) return result;
    ++sector;
    card_KeepSectorRead(buffer);
  }
  return 0;
}
