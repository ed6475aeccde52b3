// What the card layer holds of the card between reading its header and
// releasing it: the loaded title table with its cursor, and the sectors from
// 0 on as they stand on the card (after each header write too), with the
// number of entries listed, where that table ended, and the card's size.
// Shared by the card layer's own files only; everything above uses header.h.
#pragma once

#include <cstdint>
#include <vector>

#include "card/header_format.h"

struct CardLoaded {
  std::vector<TitleEntry> table;
  uint16_t cursor = 0;
  std::vector<uint8_t> onCard;
  uint32_t onCardCount = 0;
  uint64_t onCardEnd = 0;
  uint32_t cardSize = 0;
  uint16_t storedCount = 0;  // sampleCount as sector 0 holds it
};

CardLoaded& card_Loaded();
// Forgets all of it.
void card_ForgetLoaded();

// Reads the sectors of the header area one after the other, as one run
// continuing the read of sector 0 (which the caller makes into `buffer`), and
// keeps each sector read in card_Loaded().onCard.
struct CardSectorReader {
  int32_t kind, port, slot;
  SectorBuffer buffer{};
  uint32_t sector = 0;  // sector held in buffer

  VexoResult AdvanceTo(uint32_t wanted);
};

// Keeps a sector read in card_Loaded().onCard, behind those kept before.
void card_KeepSectorRead(const SectorBuffer& buffer);

// Tries of every sector read of the header area.
constexpr int CARD_SECTOR_TRIES = 4;
