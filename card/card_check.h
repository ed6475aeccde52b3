// The check of a whole card and its repair. The check reads the header and
// table, finds what card_CheckTable finds and, over the card reader and the
// image file, where a title's first sector opens with neither an MPEG frame
// nor an ID3 tag. The repair mends what it can without losing a title: a
// title listed twice loses its later copy, a damaged entry leaves the table
// (its bytes stay on the card), byte 30 of an entry is cleared, and the
// header's count and table end are written as the table's; overlapping
// titles and titles that are not MPEG are kept as they are. Its one header
// write goes through card_WriteHeader, so a cut leaves no title unlisted.
// Prints nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/vexo_types.h"
#include "card/header_format.h"
#include "card/table_check.h"

struct CardCheck {
  CardHeader header;
  uint32_t storedCount = 0;          // titles the header's sector 0 counts
  std::vector<TitleEntry> entries;   // as loaded, in table order
  TableCheck table;
};

// Reads and checks the card; writes nothing. 0, -18 for a card without a
// valid header (header's cardSize and version filled), or the reader's or a
// sector read's result.
VexoResult card_CheckCard(int32_t kind, int32_t port, int32_t slot, CardCheck* check);

// What a repair changes, and what it keeps as it is. Title numbers from 1.
struct RepairPlan {
  std::vector<TableProblem> drops;      // Damaged or Duplicate: the entry leaves the table
  std::vector<uint32_t> clearByte30;    // titles whose byte 30 becomes 0
  std::vector<TableProblem> rewrites;   // CountPastHeaderArea, TableEndWrong
  std::vector<TableProblem> kept;       // everything else found, left as it is
  bool Empty() const { return drops.empty() && clearByte30.empty() && rewrites.empty(); }
};

// The plan for a checked card. Pure.
RepairPlan card_PlanRepair(const TableCheck& check);

// Checks the card as card_CheckCard does (a card without a valid header is
// refused as card_ReadHeaderForChange refuses it), hands check and plan to
// `shown` before anything is written, and then, unless dryRun or the plan is
// empty, writes the mended header and table. 0, or the first failure.
VexoResult card_Repair(int32_t kind, int32_t port, int32_t slot, bool dryRun,
                       const std::function<void(const CardCheck&, const RepairPlan&)>& shown);
