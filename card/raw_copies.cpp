// The raw copies between the whole card (or its used part) and a host
// image: the plain ones, the backup that resumes, and the restore that
// resumes and never leaves the card listing a title over half-written data.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/sector_math.h"
#include "card/header.h"
#include "card/playlist.h"
#include "host/comparing_target.h"
#include "host/copy_map.h"
#include "host/host_files.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kHeaderSectors = DATA_AREA_START / SECTOR_SIZE;

// The end of the title that lies highest: titles moved in the table need not
// be in card order; without titles the used part is the header area.
uint64_t UsedEnd(const std::vector<TitleEntry>& entries) {
  uint64_t used = DATA_AREA_START;
  for (const TitleEntry& entry : entries) {
    used = std::max<uint64_t>(used, static_cast<uint64_t>(entry.startAddress) + entry.size);
  }
  return used;
}

// The bytes a raw read copies: the whole card, or with usedPartOnly up to
// the end of the title that lies highest on it.
VexoResult RawReadLength(int32_t kind, int32_t port, int32_t slot, int usedPartOnly,
                         uint32_t* cardSize, uint32_t* length) {
  VexoResult result = vexo_Search(kind, port, slot, cardSize, 5);
  if (result != 0) return result;
  *length = *cardSize;
  if (usedPartOnly != 1) return 0;
  CardHeader header;
  result = card_ReadHeader(kind, port, slot, &header);
  // A card without a valid header has no used part to tell: it is copied
  // whole.
  if (result == -VEXO_ERROR_NO_VALID_HEADER) return 0;
  if (result != 0) return result;
  std::vector<TitleEntry> entries;
  for (uint16_t i = 0; i < card_LoadedCount(); ++i) entries.push_back(*card_LoadedTitle(i));
  *length = static_cast<uint32_t>(std::min<uint64_t>(UsedEnd(entries), *cardSize));
  card_ReleaseTitles();
  return 0;
}

// The first `bytes` bytes of a host file (up to the header area's size),
// zero-padded to whole sectors.
VexoResult ReadHostHead(const char* path, uint32_t bytes, std::vector<uint8_t>* head) {
  FILE* file = nullptr;
  uint32_t length = 0;
  vexo_ExpectHostSourceCut();
  VexoResult result = vexo_OpenHostSource(path, bytes, &file, &length);
  if (result != 0) return result;
  head->assign(static_cast<std::size_t>(BytesToSectors(length)) * SECTOR_SIZE, 0);
  const bool read = vexo_ReadHostBlocks(file, head->data(), BytesToSectors(length), length);
  std::fclose(file);
  return read ? 0 : -VEXO_ERROR_FILE_READ;
}

// What a restore and a verification start from: the card found (its size),
// the host file's size (an empty file is refused) and its header area.
VexoResult FindCardAndReadFileHead(int32_t kind, int32_t port, int32_t slot, const char* path,
                                   uint32_t* cardSize, uint32_t* fileSize, std::vector<uint8_t>* head) {
  VexoResult result = vexo_Search(kind, port, slot, cardSize, 5);
  if (result != 0) return result;
  result = vexo_MeasureHostFile(path, fileSize);
  if (result != 0) return result;
  if (*fileSize == 0) return -VEXO_ERROR_FILE_SIZE_ZERO;
  return ReadHostHead(path, DATA_AREA_START, head);
}

// The sectors from sector 0 that hold the header and its table as sector 0
// gives them (sector 0 alone when it holds no valid header).
uint32_t IdentitySectors(const uint8_t* sector0) {
  CardHeader header;
  card_DecodeHeaderFields(sector0, &header);
  if (!card_IsValidCardType(header.cardType)) return 1;
  const uint64_t end = card_TableEnd(header, card_TableCount(header));
  return std::max<uint32_t>(
      1, BytesToSectors(static_cast<uint32_t>(std::min<uint64_t>(end, DATA_AREA_START))));
}

// Reads card sector `sector` and compares it with 512 bytes.
bool CardSectorIs(int32_t kind, int32_t port, int32_t slot, uint32_t sector,
                  const uint8_t* expected) {
  SectorBuffer buffer{};
  if (vexo_ReadSector(kind, port, slot, sector, buffer, 1, 5) != 0) return false;
  return std::equal(buffer.begin(), buffer.begin() + SECTOR_SIZE, expected);
}

// The host file's bytes of sector `sector` (zeros past its end), or false.
bool HostSector(const char* path, uint32_t sector, uint8_t* bytes) {
  FILE* file = nullptr;
  uint32_t length = 0;
  if (vexo_OpenHostSource(path, UINT32_MAX, &file, &length) != 0) return false;
  const uint64_t offset = static_cast<uint64_t>(sector) * SECTOR_SIZE;
  vexo_SkipHostSource(file, offset, &length);
  const bool read = vexo_ReadHostBlock(file, bytes, std::min<uint32_t>(length, SECTOR_SIZE));
  std::fclose(file);
  return read;
}

// Whether the card is still as a stopped restore left it: its header area
// blank (or, once all data was written, already the file's sector 0), and
// the last sector the map claims holding the file's bytes.
bool CardAsLeft(int32_t kind, int32_t port, int32_t slot, const char* path,
                const VexoWriteMap& map, uint32_t total, const std::vector<uint8_t>& head) {
  const std::vector<uint8_t> blank(SECTOR_SIZE, 0);
  if (!CardSectorIs(kind, port, slot, 0, blank.data()) &&
      !(map.done >= total && CardSectorIs(kind, port, slot, 0, head.data()))) {
    return false;
  }
  if (map.done <= std::min(kHeaderSectors, total)) return true;
  uint8_t last[SECTOR_SIZE];
  return HostSector(path, map.done - 1, last) && CardSectorIs(kind, port, slot, map.done - 1, last);
}

// The sectors of the header area: blank ones from sector 0 on, so that the
// first write already takes the card's header away; those of `image` from
// sector 1 on with sector 0 last, so that the card lists nothing until the
// whole area is written.
std::vector<SectorWrite> HeaderAreaWrites(uint32_t sectors, const std::vector<uint8_t>* image) {
  std::vector<SectorWrite> writes;
  for (uint32_t i = 0; i < sectors; ++i) {
    SectorWrite write;
    write.sector = image == nullptr ? i : (i + 1) % sectors;
    if (image != nullptr) {
      std::copy_n(image->begin() + static_cast<std::ptrdiff_t>(write.sector) * SECTOR_SIZE,
                  SECTOR_SIZE, write.bytes.begin());
    }
    writes.push_back(write);
  }
  return writes;
}

}  // namespace

VexoResult card_RawWrite(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                         const char* path, int progress) {
  uint32_t cardSize = 0;
  const VexoResult result = vexo_Search(kind, port, slot, &cardSize, 5);
  if (result != 0) return result;
  const uint64_t startByte = static_cast<uint64_t>(startSector) * SECTOR_SIZE;
  const uint32_t space = startByte < cardSize ? cardSize - static_cast<uint32_t>(startByte) : 0;
  return vexo_WriteFile(kind, port, slot, startSector, path, space, progress, 1);
}

VexoResult card_RawRead(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                        const char* path, int progress, int usedPartOnly) {
  uint32_t cardSize = 0;
  uint32_t length = 0;
  const VexoResult result = RawReadLength(kind, port, slot, usedPartOnly, &cardSize, &length);
  if (result != 0) return result;
  return vexo_ReadFile(kind, port, slot, startSector, length, path, progress);
}

VexoResult card_BackUp(int32_t kind, int32_t port, int32_t slot, const char* path, int progress,
                       int usedPartOnly, VexoResumeNote* note, uint32_t* fromSector) {
  *note = VexoResumeNote::Fresh;
  *fromSector = 0;
  uint32_t cardSize = 0;
  uint32_t length = 0;
  VexoResult result = RawReadLength(kind, port, slot, usedPartOnly, &cardSize, &length);
  if (result != 0) return result;
  // A pipe or a device takes the copy as it comes.
  if (!vexo_CanResumeInto(path)) return vexo_ReadFile(kind, port, slot, 0, length, path, progress);
  // Sector 0 and the table sectors it names tell one card from another: a
  // resumed copy reads only them again. The rest of the header area is read
  // in the same stream when the copy still needs it.
  const uint32_t headBytes = std::min<uint32_t>(DATA_AREA_START, length);
  const uint32_t headSectors = BytesToSectors(headBytes);
  std::vector<uint8_t> head(static_cast<std::size_t>(headSectors) * SECTOR_SIZE);
  SectorBuffer buffer{};
  uint32_t held = 0;  // sectors of the header area read
  const auto readUpTo = [&](uint32_t end) {
    for (; held < end; ++held) {
      const VexoResult got = vexo_ReadSector(kind, port, slot, held, buffer, held == 0 ? 1 : 0, 5);
      if (got != 0) return got;
      std::copy(buffer.begin(), buffer.begin() + SECTOR_SIZE, head.begin() + held * SECTOR_SIZE);
    }
    return VexoResult{0};
  };
  result = readUpTo(1);
  if (result == 0) result = readUpTo(std::min(IdentitySectors(head.data()), headSectors));
  if (result != 0) return result;
  VexoCopyMap map;
  map.length = length;
  map.cardSize = cardSize;
  map.headerSum = vexo_MapChecksum(head.data(), std::min<std::size_t>(held * SECTOR_SIZE, headBytes));
  VexoCopyMap old;
  if (vexo_LoadCopyMap(path, &old)) {
    if (old.cardSize != cardSize) {
      *note = VexoResumeNote::CardSizeChanged;
    } else if (old.headerSum != map.headerSum) {
      *note = VexoResumeNote::HeaderChanged;
    } else if (old.length != length) {
      *note = VexoResumeNote::LengthChanged;
    } else {
      *note = VexoResumeNote::Resumed;
      map.done = old.done;
    }
  }
  *fromSector = map.done;
  if (map.done < headSectors) {
    result = readUpTo(headSectors);
    if (result != 0) return result;
  }
  head.resize(std::min<std::size_t>(held * SECTOR_SIZE, headBytes));
  // The driver goes on after the header area, or after the sectors done.
  const uint32_t from = std::max<uint32_t>(map.done, BytesToSectors(headBytes));
  vexo_ArmResumableTarget(path, map, head.data(), head.size());
  const uint64_t fromByte = static_cast<uint64_t>(from) * SECTOR_SIZE;
  if (fromByte >= length) {
    // Nothing left to read from the card: the part file is completed alone.
    FILE* file = nullptr;
    result = vexo_CreateHostTarget(path, &file);
    if (result != 0) {
      vexo_DisarmResumableTarget();
      return result;
    }
    return vexo_CloseHostTarget(file, 0);
  }
  result = vexo_ReadFile(kind, port, slot, from, length - static_cast<uint32_t>(fromByte), path,
                         progress);
  vexo_DisarmResumableTarget();
  return result;
}

VexoResult card_Restore(int32_t kind, int32_t port, int32_t slot, const char* path, int progress,
                        int usedPartOnly, VexoResumeNote* note, uint32_t* fromSector) {
  *note = VexoResumeNote::Fresh;
  *fromSector = 0;
  uint32_t cardSize = 0;
  uint32_t fileSize = 0;
  std::vector<uint8_t> head;
  VexoResult result = FindCardAndReadFileHead(kind, port, slot, path, &cardSize, &fileSize, &head);
  if (result != 0) return result;

  // What goes to the card: the file up to the card's end, or with
  // usedPartOnly up to the end of the file's highest title (the whole file
  // when its header is not valid).
  uint32_t length = std::min(fileSize, cardSize);
  bool cutByUse = false;
  CardHeader header;
  std::vector<TitleEntry> entries;
  if (usedPartOnly == 1 && card_DecodeHeaderArea(head.data(), head.size(), &header, &entries)) {
    const uint64_t used = UsedEnd(entries);
    cutByUse = used < length;
    length = static_cast<uint32_t>(std::min<uint64_t>(used, length));
  }
  // A file larger than the card is refused before the header area goes
  // blank: a cut image would be a broken card.
  if (length < fileSize && !cutByUse) return -VEXO_ERROR_CARD_FULL;
  const uint32_t total = BytesToSectors(length);
  const uint32_t headSectors = std::min(kHeaderSectors, total);
  head.resize(static_cast<std::size_t>(kHeaderSectors) * SECTOR_SIZE, 0);

  VexoWriteMap map;
  map.length = length;
  map.cardSize = cardSize;
  map.headerSum = vexo_MapChecksum(head.data(), head.size());
  if (!vexo_StampWriteMap(path, &map)) return -VEXO_ERROR_FILE_NOT_EXIST;
  VexoWriteMap old;
  if (vexo_LoadWriteMap(path, &old)) {
    if (old.cardSize != cardSize) {
      *note = VexoResumeNote::CardSizeChanged;
    } else if (old.fileSize != map.fileSize || old.fileTime != map.fileTime ||
               old.headerSum != map.headerSum) {
      *note = VexoResumeNote::FileChanged;
    } else if (old.length != length) {
      *note = VexoResumeNote::LengthChanged;
    } else if (!CardAsLeft(kind, port, slot, path, old, total, head)) {
      *note = VexoResumeNote::CardChanged;
    } else {
      *note = VexoResumeNote::Resumed;
      map.done = old.done;
    }
    // A map that does not fit is of no use from the first write on.
    if (*note != VexoResumeNote::Resumed) vexo_RemoveWriteMap(path);
  }
  *fromSector = map.done;

  // First the header area goes blank, so that from the first write on the
  // card lists no title until the file's own header area ends the restore.
  if (*note != VexoResumeNote::Resumed) {
    result = vexo_WriteSectors(kind, port, slot, HeaderAreaWrites(headSectors, nullptr));
    if (result != 0) return result;
    map.done = headSectors;
    vexo_SaveWriteMap(path, map);
    // The adapter's card takes a new multiple-block write after a fresh
    // bring-up.
    result = vexo_Search(kind, port, slot, &cardSize, 5);
    if (result != 0) return result;
  }
  // Then the data area, 1:1 from the file.
  if (map.done < total) {
    vexo_ArmWriteMap(path, map);
    if (cutByUse) vexo_ExpectHostSourceCut();
    result = vexo_WriteFile(kind, port, slot, map.done, path, length, progress, 1);
    map = vexo_DisarmWriteMap();
    if (result != 0) return result;
    map.done = total;
    vexo_SaveWriteMap(path, map);
  }
  // The file's header area last.
  result = vexo_WriteSectors(kind, port, slot, HeaderAreaWrites(headSectors, &head));
  if (result != 0) return result;
  vexo_RemoveWriteMap(path);
  return 0;
}

VexoResult card_PlanVerify(int32_t kind, int32_t port, int32_t slot, const char* path,
                           int usedPartOnly, VexoVerifyPlan* plan) {
  *plan = VexoVerifyPlan{};
  uint32_t cardSize = 0;
  uint32_t fileSize = 0;
  std::vector<uint8_t> head;
  const VexoResult result = FindCardAndReadFileHead(kind, port, slot, path, &cardSize, &fileSize, &head);
  if (result != 0) return result;
  uint32_t length = fileSize;
  CardHeader header;
  if (card_DecodeHeaderArea(head.data(), head.size(), &header, &plan->titles) && usedPartOnly == 1) {
    length = static_cast<uint32_t>(std::min<uint64_t>(UsedEnd(plan->titles), fileSize));
  }
  plan->length = std::min(length, cardSize);
  plan->beyondCard = length - plan->length;
  return 0;
}

namespace {

// Where sector `sector` of the file lies: its header area, the first of its
// titles that holds a byte of it, or none.
VexoDifference Locate(const VexoVerifyPlan& plan, uint32_t sector) {
  VexoDifference where;
  where.sector = sector;
  if (sector < kHeaderSectors) {
    where.title = 0;
    return where;
  }
  const uint64_t begin = static_cast<uint64_t>(sector) * SECTOR_SIZE;
  for (std::size_t i = 0; i < plan.titles.size(); ++i) {
    const TitleEntry& entry = plan.titles[i];
    const uint64_t start = entry.startAddress;
    if (begin < start + entry.size && start < begin + SECTOR_SIZE) {
      where.title = static_cast<int32_t>(i + 1);
      where.text = entry.title;
      where.text.back() = '\0';
      return where;
    }
  }
  return where;
}

}  // namespace

VexoResult card_Verify(int32_t kind, int32_t port, int32_t slot, const char* path,
                       const VexoVerifyPlan& plan, int progress, VexoVerifyReport* report) {
  *report = VexoVerifyReport{};
  vexo_ArmComparingTarget(path, VEXO_VERIFY_LISTED);
  VexoResult result = vexo_ReadFile(kind, port, slot, 0, plan.length, path, progress);
  VexoComparison found = vexo_DisarmComparingTarget();
  if (result != 0 && result != -VEXO_ERROR_CARD_DIFFERS) return result;
  // The file's sectors past the card's end are not on the card.
  if (plan.beyondCard != 0) {
    const uint32_t first = BytesToSectors(plan.length);
    const uint32_t end = BytesToSectors(plan.length + plan.beyondCard);  // the file's size
    found.differing += end - first;
    for (uint32_t s = first; s < end && found.first.size() < VEXO_VERIFY_LISTED; ++s) {
      found.first.push_back(s);
    }
    result = -VEXO_ERROR_CARD_DIFFERS;
  }
  report->differing = found.differing;
  for (uint32_t sector : found.first) report->first.push_back(Locate(plan, sector));
  return result;
}
