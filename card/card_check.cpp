#include "card/card_check.h"

#include <algorithm>
#include <span>

#include "card/header.h"
#include "card/loaded_table.h"
#include "media/mpeg_frames.h"
#include "transport/transport.h"

namespace {

bool HasProblem(const TableCheck& check, TableProblemKind kind, uint32_t title) {
  return std::any_of(check.problems.begin(), check.problems.end(),
                     [&](const TableProblem& p) { return p.kind == kind && p.title == title; });
}

// Only where sectors come quickly and by address is every title's first
// sector read.
bool ReadsFirstSectors(int32_t kind) { return kind == VEXO_PORT_ROS || kind == VEXO_PORT_READER; }

// Each MP3 title that names bytes of the card (neither damaged nor a later
// copy, not empty) must open with a frame or a tag.
VexoResult CheckFirstSectors(int32_t kind, int32_t port, int32_t slot, CardCheck* check) {
  for (uint32_t i = 0; i < check->entries.size(); ++i) {
    const TitleEntry& entry = check->entries[i];
    const uint32_t title = i + 1;
    if (entry.fileType != 1 || entry.size == 0 || HasProblem(check->table, TableProblemKind::Damaged, title) ||
        HasProblem(check->table, TableProblemKind::Duplicate, title)) {
      continue;
    }
    SectorBuffer buffer{};
    const VexoResult result =
        vexo_ReadSector(kind, port, slot, entry.startAddress / SECTOR_SIZE, buffer, 1, CARD_SECTOR_TRIES);
    if (result != 0) return result;
    const std::size_t bytes = std::min<std::size_t>(entry.size, SECTOR_SIZE);
    if (!mpeg_StartsWithFrameOrTag(std::span<const uint8_t>(buffer.data(), bytes))) {
      check->table.problems.push_back({TableProblemKind::NotMpeg, title});
    }
  }
  return 0;
}

// Reads the header (for a change or not) and checks it; on success the table
// stays loaded for the caller.
VexoResult ReadAndCheck(int32_t kind, int32_t port, int32_t slot, bool forChange, CardCheck* check) {
  const VexoResult read = forChange ? card_ReadHeaderForChange(kind, port, slot, &check->header)
                                    : card_ReadHeader(kind, port, slot, &check->header);
  if (read != 0) return read;
  check->storedCount = card_StoredSampleCount();
  check->entries.clear();
  for (uint16_t i = 0; i < card_LoadedCount(); ++i) check->entries.push_back(*card_LoadedTitle(i));
  check->table = card_CheckTable(check->header, check->storedCount, check->entries);
  const VexoResult result = ReadsFirstSectors(kind) ? CheckFirstSectors(kind, port, slot, check) : 0;
  if (result != 0) card_ReleaseTitles();
  return result;
}

}  // namespace

VexoResult card_CheckCard(int32_t kind, int32_t port, int32_t slot, CardCheck* check) {
  const VexoResult result = ReadAndCheck(kind, port, slot, false, check);
  if (result == 0) card_ReleaseTitles();
  return result;
}

RepairPlan card_PlanRepair(const TableCheck& check) {
  RepairPlan plan;
  for (const TableProblem& p : check.problems) {
    if (p.kind == TableProblemKind::Damaged || p.kind == TableProblemKind::Duplicate) plan.drops.push_back(p);
  }
  const auto dropped = [&](uint32_t title) {
    return std::any_of(plan.drops.begin(), plan.drops.end(), [&](const TableProblem& d) { return d.title == title; });
  };
  for (const TableProblem& p : check.problems) {
    switch (p.kind) {
      case TableProblemKind::Damaged:
      case TableProblemKind::Duplicate:
        break;
      case TableProblemKind::Byte30:
        if (!dropped(p.title)) plan.clearByte30.push_back(p.title);
        break;
      case TableProblemKind::CountPastHeaderArea:
      case TableProblemKind::TableEndWrong:
        plan.rewrites.push_back(p);
        break;
      case TableProblemKind::Overlap:
      case TableProblemKind::NotDisplayCode:
      case TableProblemKind::NotMpeg:
        if (!dropped(p.title)) plan.kept.push_back(p);
        break;
    }
  }
  return plan;
}

VexoResult card_Repair(int32_t kind, int32_t port, int32_t slot, bool dryRun,
                       const std::function<void(const CardCheck&, const RepairPlan&)>& shown) {
  CardCheck check;
  VexoResult result = ReadAndCheck(kind, port, slot, true, &check);
  if (result != 0) return result;
  const RepairPlan plan = card_PlanRepair(check.table);
  shown(check, plan);
  if (!dryRun && !plan.Empty()) {
    for (const uint32_t title : plan.clearByte30) {
      card_LoadedTitle(static_cast<uint16_t>(title - 1))->title[TITLE_TEXT_BYTES - 1] = '\0';
    }
    std::vector<uint32_t> drops;
    for (const TableProblem& p : plan.drops) drops.push_back(p.title);
    std::sort(drops.rbegin(), drops.rend());
    for (const uint32_t title : drops) card_RemoveLoadedTitle(static_cast<uint16_t>(title - 1));
    result = card_WriteHeader(kind, port, slot, check.header, nullptr);
  }
  card_ReleaseTitles();
  return result;
}
