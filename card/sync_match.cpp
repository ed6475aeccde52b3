#include "card/sync_match.h"

#include <algorithm>
#include <cstring>

#include "card/table_check.h"
#include "host/host_files.h"
#include "transport/transport.h"

namespace {

constexpr int kReadTries = 4;
// Sectors compared at a time in a whole comparison.
constexpr uint32_t kWholeChunk = 128;

// Reads card sectors first..first+count-1 into `out` (count x 512 bytes), as
// one run where the port continues a run.
VexoResult ReadCardSectors(CardMatcher* m, uint32_t first, uint32_t count, std::vector<uint8_t>* out) {
  out->resize(static_cast<std::size_t>(count) * SECTOR_SIZE);
  SectorBuffer buffer{};
  for (uint32_t i = 0; i < count; ++i) {
    const VexoResult result = vexo_ReadSector(m->kind, m->port, m->slot, first + i, buffer, i == 0 ? 1 : 0, kReadTries);
    if (result != 0) return result;
    std::memcpy(out->data() + static_cast<std::size_t>(i) * SECTOR_SIZE, buffer.data(), SECTOR_SIZE);
    ++m->sectorsRead;
  }
  return 0;
}

// Bytes of the title's sector `s` (within the title) that belong to it.
std::size_t BytesIn(uint64_t size, uint32_t s) {
  const uint64_t from = static_cast<uint64_t>(s) * SECTOR_SIZE;
  return static_cast<std::size_t>(std::min<uint64_t>(SECTOR_SIZE, size - from));
}

VexoResult CompareWhole(CardMatcher* m, const TitleEntry& entry, const std::string& path, bool* same) {
  const uint32_t sectors = static_cast<uint32_t>((uint64_t{entry.size} + SECTOR_SIZE - 1) / SECTOR_SIZE);
  const uint32_t first = entry.startAddress / SECTOR_SIZE;
  std::vector<uint8_t> card, host;
  for (uint32_t at = 0; at < sectors; at += kWholeChunk) {
    const uint32_t count = std::min(kWholeChunk, sectors - at);
    const uint64_t offset = static_cast<uint64_t>(at) * SECTOR_SIZE;
    const std::size_t bytes = static_cast<std::size_t>(std::min<uint64_t>(uint64_t{count} * SECTOR_SIZE, entry.size - offset));
    if (!vexo_ReadHostRange(path.c_str(), offset, bytes, &host) || host.size() != bytes) {
      return -VEXO_ERROR_FILE_READ;
    }
    const VexoResult result = ReadCardSectors(m, first + at, count, &card);
    if (result != 0) return result;
    if (!std::equal(host.begin(), host.end(), card.begin())) return 0;
  }
  *same = true;
  return 0;
}

VexoResult CompareSampled(CardMatcher* m, uint16_t title, const std::string& path, bool* same) {
  const TitleEntry& entry = m->table[title];
  const uint32_t sectors = static_cast<uint32_t>((uint64_t{entry.size} + SECTOR_SIZE - 1) / SECTOR_SIZE);
  auto& kept = m->read[title];
  std::vector<uint8_t> host;
  for (const uint32_t s : card_SampleSectors(sectors)) {
    const std::size_t bytes = BytesIn(entry.size, s);
    if (!vexo_ReadHostRange(path.c_str(), uint64_t{s} * SECTOR_SIZE, bytes, &host) || host.size() != bytes) {
      return -VEXO_ERROR_FILE_READ;
    }
    if (kept.find(s) == kept.end()) {
      // The sectors of a small title are all sampled: they are read as one run.
      const uint32_t count = sectors <= 3 ? sectors - s : 1;
      std::vector<uint8_t> run;
      const VexoResult result = ReadCardSectors(m, entry.startAddress / SECTOR_SIZE + s, count, &run);
      if (result != 0) return result;
      for (uint32_t i = 0; i < count; ++i) {
        kept[s + i].assign(run.begin() + static_cast<std::ptrdiff_t>(i) * SECTOR_SIZE,
                           run.begin() + static_cast<std::ptrdiff_t>(i + 1) * SECTOR_SIZE);
      }
    }
    if (!std::equal(host.begin(), host.end(), kept[s].begin())) return 0;
  }
  *same = true;
  return 0;
}

}  // namespace

SyncMatch card_MatchWay(int32_t kind) {
  return kind == VEXO_PORT_ROS || kind == VEXO_PORT_READER ? SyncMatch::Whole : SyncMatch::Sampled;
}

std::vector<uint32_t> card_SampleSectors(uint32_t sectors) {
  if (sectors <= 3) {
    std::vector<uint32_t> all(sectors);
    for (uint32_t i = 0; i < sectors; ++i) all[i] = i;
    return all;
  }
  return {0, sectors / 2, sectors - 1};
}

CardMatcher card_NewMatcher(int32_t kind, int32_t port, int32_t slot, uint32_t cardSize,
                            const std::vector<TitleEntry>& table) {
  return {kind, port, slot, cardSize, table, card_MatchWay(kind), {}, 0};
}

VexoResult card_TitleHoldsFile(CardMatcher* matcher, uint16_t title, const std::string& path,
                               uint64_t size, bool* same) {
  *same = false;
  if (title >= matcher->table.size()) return 0;
  const TitleEntry& entry = matcher->table[title];
  if (entry.size != size || size == 0) return 0;
  if (card_TitleDamage(entry, matcher->cardSize) != TitleDamage::None) return 0;
  return matcher->way == SyncMatch::Whole ? CompareWhole(matcher, entry, path, same)
                                          : CompareSampled(matcher, title, path, same);
}

VexoResult card_FindTitleHolding(CardMatcher* matcher, const std::string& path, uint64_t size,
                                 int32_t* title) {
  *title = -1;
  for (std::size_t t = 0; t < matcher->table.size(); ++t) {
    bool same = false;
    const VexoResult result = card_TitleHoldsFile(matcher, static_cast<uint16_t>(t), path, size, &same);
    if (result != 0) return result;
    if (same) {
      *title = static_cast<int32_t>(t);
      return 0;
    }
  }
  return 0;
}

VexoResult card_HostFilesSame(const std::string& a, const std::string& b, bool* same) {
  *same = false;
  constexpr std::size_t kChunk = 1 << 20;
  std::vector<uint8_t> x, y;
  for (uint64_t offset = 0;; offset += kChunk) {
    if (!vexo_ReadHostRange(a.c_str(), offset, kChunk, &x) || !vexo_ReadHostRange(b.c_str(), offset, kChunk, &y)) {
      return -VEXO_ERROR_FILE_READ;
    }
    if (x != y) return 0;
    if (x.size() < kChunk) break;
  }
  *same = true;
  return 0;
}
