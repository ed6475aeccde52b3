// Checks of the loaded title table against the card it came from: whether an
// entry can be a title of this card at all (its start in the data area, on a
// sector boundary, its bytes inside the card), and how many bytes of the data
// area the listed titles cover, each byte counted once. Pure functions over
// entries and the card's size; the header reader and the placement of new
// titles use them, so that no byte read from a card is trusted unchecked.
// Prints nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "card/header.h"

enum class TitleDamage : uint8_t { None, StartsInHeaderArea, StartNotAligned, StartsPastCard, EndsPastCard };

// What is wrong with an entry on a card of cardSize bytes (None when nothing).
TitleDamage card_TitleDamage(const TitleEntry& entry, uint32_t cardSize);
// The reason as the listing names it ("ends past the card"); nullptr for None.
const char* card_DamageText(TitleDamage damage);

// Bytes of the data area (DATA_AREA_START to cardSize) that at least one
// entry covers: overlapping titles count once, and what an entry claims
// outside the data area counts not at all.
uint64_t card_CoveredBytes(const std::vector<TitleEntry>& entries, uint32_t cardSize);

// What a check of the whole table finds. Title numbers count from 1 in table
// order.
enum class TableProblemKind : uint8_t {
  Damaged,             // title: its entry cannot be a title of this card (damage)
  Overlap,             // title and other share `bytes` bytes of the card
  Duplicate,           // title lists the same start and size as the earlier `other`
  Byte30,              // title: byte 30 of its entry is not 0
  NotDisplayCode,      // title: its text holds bytes the display does not show
  NotMpeg,             // title: its first sector holds no MPEG frame or ID3 tag
  CountPastHeaderArea, // the header counts `bytes` titles; the header area holds `other`
  TableEndWrong,       // the header's table end is `bytes`; the table ends at `other`
};

struct TableProblem {
  TableProblemKind kind;
  uint32_t title = 0;
  uint32_t other = 0;
  uint64_t bytes = 0;
  TitleDamage damage = TitleDamage::None;
};

struct FreeStretch {
  uint64_t start = 0;  // byte address, on a sector boundary
  uint64_t bytes = 0;
};

struct TableCheck {
  std::vector<TableProblem> problems;
  std::vector<FreeStretch> free;  // whole sectors of the data area no entry covers
};

// Checks the loaded entries of a header read from a card whose sector 0
// counted storedCount entries. Sound entries only are compared for overlaps
// and copies; a copy is not reported as an overlap too.
TableCheck card_CheckTable(const CardHeader& header, uint32_t storedCount,
                           const std::vector<TitleEntry>& entries);
