#include "card/table_check.h"

#include <algorithm>
#include <utility>

#include "card/charset.h"

TitleDamage card_TitleDamage(const TitleEntry& entry, uint32_t cardSize) {
  const uint64_t start = entry.startAddress;
  if (start < DATA_AREA_START) return TitleDamage::StartsInHeaderArea;
  if (start % SECTOR_SIZE != 0) return TitleDamage::StartNotAligned;
  if (start >= cardSize) return TitleDamage::StartsPastCard;
  if (start + entry.size > cardSize) return TitleDamage::EndsPastCard;
  return TitleDamage::None;
}

const char* card_DamageText(TitleDamage damage) {
  switch (damage) {
    case TitleDamage::StartsInHeaderArea: return "starts in the header area";
    case TitleDamage::StartNotAligned: return "starts off a sector boundary";
    case TitleDamage::StartsPastCard: return "starts past the card";
    case TitleDamage::EndsPastCard: return "ends past the card";
    case TitleDamage::None: break;
  }
  return nullptr;
}

uint64_t card_CoveredBytes(const std::vector<TitleEntry>& entries, uint32_t cardSize) {
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  for (const TitleEntry& entry : entries) {
    const uint64_t first = std::max<uint64_t>(entry.startAddress, DATA_AREA_START);
    const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(entry.startAddress) + entry.size, cardSize);
    if (first < end) spans.emplace_back(first, end);
  }
  std::sort(spans.begin(), spans.end());
  uint64_t covered = 0, reached = 0;
  for (const auto& [first, end] : spans) {
    const uint64_t from = std::max(first, reached);
    if (end > from) covered += end - from;
    reached = std::max(reached, end);
  }
  return covered;
}

namespace {

bool IsCopy(const TitleEntry& a, const TitleEntry& b) {
  return a.startAddress == b.startAddress && a.size == b.size;
}

void CheckHeaderFields(const CardHeader& header, uint32_t storedCount, uint32_t loaded,
                       TableCheck* check) {
  if (storedCount > loaded) {
    check->problems.push_back({TableProblemKind::CountPastHeaderArea, 0, loaded, storedCount});
    return;  // the table end follows from the count a repair writes
  }
  const uint64_t end = static_cast<uint64_t>(header.tableOffset) + static_cast<uint64_t>(loaded) * header.entrySize;
  if (header.tableEnd != end) {
    check->problems.push_back({TableProblemKind::TableEndWrong, 0, static_cast<uint32_t>(end), header.tableEnd});
  }
}

void FindFreeStretches(const std::vector<TitleEntry>& entries, uint32_t cardSize, TableCheck* check) {
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  const uint64_t cardEnd = cardSize / SECTOR_SIZE * static_cast<uint64_t>(SECTOR_SIZE);
  for (const TitleEntry& entry : entries) {
    if (entry.size == 0) continue;
    const uint64_t first = std::max<uint64_t>(entry.startAddress / SECTOR_SIZE * SECTOR_SIZE, DATA_AREA_START);
    const uint64_t end = std::min<uint64_t>(
        (static_cast<uint64_t>(entry.startAddress) + entry.size + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE, cardEnd);
    if (first < end) spans.emplace_back(first, end);
  }
  std::sort(spans.begin(), spans.end());
  uint64_t at = DATA_AREA_START;
  for (const auto& [first, end] : spans) {
    if (first > at) check->free.push_back({at, first - at});
    at = std::max(at, end);
  }
  if (cardEnd > at) check->free.push_back({at, cardEnd - at});
}

}  // namespace

TableCheck card_CheckTable(const CardHeader& header, uint32_t storedCount,
                           const std::vector<TitleEntry>& entries) {
  TableCheck check;
  const auto count = static_cast<uint32_t>(entries.size());
  std::vector<bool> sound(count), copy(count, false);
  for (uint32_t i = 0; i < count; ++i) {
    const TitleEntry& entry = entries[i];
    const TitleDamage damage = card_TitleDamage(entry, header.cardSize);
    sound[i] = damage == TitleDamage::None;
    if (!sound[i]) check.problems.push_back({TableProblemKind::Damaged, i + 1, 0, 0, damage});
    if (entry.title[TITLE_TEXT_BYTES - 1] != '\0') {
      check.problems.push_back({TableProblemKind::Byte30, i + 1});
    }
    if (!title_IsDisplayCode(entry.title.data(), TITLE_TEXT_BYTES - 1)) {
      check.problems.push_back({TableProblemKind::NotDisplayCode, i + 1});
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t j = 0; j < i && sound[i]; ++j) {
      if (sound[j] && !copy[j] && IsCopy(entries[i], entries[j])) {
        check.problems.push_back({TableProblemKind::Duplicate, i + 1, j + 1});
        copy[i] = true;
        break;
      }
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!sound[i] || copy[i]) continue;
    for (uint32_t j = i + 1; j < count; ++j) {
      if (!sound[j] || copy[j]) continue;
      const uint64_t a = entries[i].startAddress, b = entries[j].startAddress;
      const uint64_t shared = std::min(a + entries[i].size, b + entries[j].size);
      const uint64_t from = std::max(a, b);
      if (shared > from) check.problems.push_back({TableProblemKind::Overlap, i + 1, j + 1, shared - from});
    }
  }
  CheckHeaderFields(header, storedCount, count, &check);
  FindFreeStretches(entries, header.cardSize, &check);
  return check;
}
