#include "card/header.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "host/pauses.h"
#include "host/trace.h"
#include "transport/transport.h"

namespace {

// Byte offsets of the header fields in sector 0 (little-endian).
constexpr std::size_t HDR_CARD_TYPE = 0;     // 2 bytes
constexpr std::size_t HDR_BYTE2 = 2;         // 1
constexpr std::size_t HDR_BYTE3 = 3;         // 1
constexpr std::size_t HDR_SAMPLE_COUNT = 4;  // 2
constexpr std::size_t HDR_TABLE_OFFSET = 6;  // 4
constexpr std::size_t HDR_TABLE_END = 10;    // 4
constexpr std::size_t HDR_CARD_NAME = 14;    // 37
constexpr std::size_t HDR_ENTRY_SIZE = 51;   // 2

// Byte offsets inside a title entry.
constexpr std::size_t ENT_START = 0;   // 4
constexpr std::size_t ENT_SIZE = 4;    // 4
constexpr std::size_t ENT_TITLE = 8;   // 23
constexpr std::size_t ENT_TYPE = 31;   // 1

constexpr int kTries = 4;

std::vector<TitleEntry> g_table;
uint16_t g_cursor = 0;

// What the card held when its header was read (and after each header write
// since): the sectors from 0 on as they stand, the number of entries listed,
// where that table ended, and the card's size. A header write compares
// against these to write only the sectors that change.
std::vector<uint8_t> g_onCard;
uint32_t g_onCardCount = 0;
uint64_t g_onCardEnd = 0;
uint32_t g_cardSize = 0;

uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void ForgetTable() {
  g_table.clear();
  g_table.shrink_to_fit();
  g_cursor = 0;
  g_onCard.clear();
  g_onCardCount = 0;
  g_onCardEnd = 0;
  g_cardSize = 0;
}

void KeepSectorRead(const SectorBuffer& buffer) {
  g_onCard.insert(g_onCard.end(), buffer.begin(), buffer.begin() + SECTOR_SIZE);
}

// Copies at most maxChars characters of text, NUL-padding the whole field.
template <std::size_t N>
void SetText(std::array<char, N>* field, const char* text, std::size_t maxChars) {
  field->fill('\0');
  if (text == nullptr) return;
  const std::size_t length = strnlen(text, maxChars);
  std::memcpy(field->data(), text, length);
}

// Reads the table sectors of a header one after the other, as one run
// continuing the read of sector 0, and hands out bytes at card positions.
struct TableReader {
  int32_t kind, port, slot;
  SectorBuffer buffer{};
  uint32_t sector = 0;  // sector held in buffer

  VexoResult AdvanceTo(uint32_t wanted) {
    while (sector < wanted) {
      const VexoResult result = vexo_ReadSector(kind, port, slot, sector + 1, buffer, 0, kTries);
      vexo_Trace("rc read next = %i\n", result);
      if (result != 0) return result;
      ++sector;
      KeepSectorRead(buffer);
    }
    return 0;
  }
};

// A sector that holds nothing: all 0x00 (never written) or all 0xFF (erased).
bool IsBlankSector(const SectorBuffer& buffer) {
  const uint8_t first = buffer[0];
  if (first != 0x00 && first != 0xFF) return false;
  return std::all_of(buffer.begin(), buffer.begin() + SECTOR_SIZE,
                     [first](uint8_t b) { return b == first; });
}

// What the first sector that is not blank shows of well-known layouts, or
// nullptr: a boot sector (signature 0x55AA at byte 510) names its file system
// or is taken as a partition table; ext2/3/4 keep their magic 0xEF53 at byte
// 1080, in sector 2, behind an empty boot block.
const char* NameForeignData(uint32_t sector, const SectorBuffer& b) {
  const auto has = [&](std::size_t at, const char* text) {
    return std::memcmp(b.data() + at, text, std::strlen(text)) == 0;
  };
  if (sector == 0 && b[510] == 0x55 && b[511] == 0xAA) {
    if (has(3, "EXFAT")) return "an exFAT file system";
    if (has(3, "NTFS")) return "an NTFS file system";
    if (has(54, "FAT") || has(82, "FAT")) return "a FAT file system";
    return "a partition table";
  }
  if (sector == 2 && Load16(b.data() + 56) == 0xEF53) return "an ext2/3/4 file system";
  return nullptr;
}

const char* g_foreignName = nullptr;

// 0 when every sector of the header area on the card is blank, -FOREIGN_DATA
// at the first that is not (naming what it holds where it can), or the read's
// result. An image file reads as zeros past its end, so a new or short image
// is blank.
VexoResult CheckHeaderAreaBlank(int32_t kind, int32_t port, int32_t slot, uint32_t cardSize) {
  g_foreignName = nullptr;
  const uint32_t sectors = std::min<uint32_t>(DATA_AREA_START / SECTOR_SIZE,
                                              std::max<uint32_t>(1, cardSize / SECTOR_SIZE));
  TableReader reader{kind, port, slot};
  VexoResult result = vexo_ReadSector(kind, port, slot, 0, reader.buffer, 1, kTries);
  for (uint32_t s = 0; result == 0 && s < sectors; ++s) {
    result = reader.AdvanceTo(s);
    if (result == 0 && !IsBlankSector(reader.buffer)) {
      g_foreignName = NameForeignData(s, reader.buffer);
      result = -VEXO_ERROR_FOREIGN_DATA;
    }
  }
  return result;
}

}  // namespace

bool card_IsValidCardType(uint16_t cardType) {
  return cardType == 1 || cardType == 5 || cardType == 6 || cardType == 7;
}

void card_EncodeTitle(const TitleEntry& entry, uint8_t* bytes) {
  std::memset(bytes, 0, HEADER_ENTRY_SIZE);
  Store32(bytes + ENT_START, entry.startAddress);
  Store32(bytes + ENT_SIZE, entry.size);
  std::memcpy(bytes + ENT_TITLE, entry.title.data(), TITLE_TEXT_BYTES);
  bytes[ENT_TYPE] = entry.fileType;
}

TitleEntry card_DecodeTitle(const uint8_t* bytes) {
  TitleEntry entry;
  entry.startAddress = Load32(bytes + ENT_START);
  entry.size = Load32(bytes + ENT_SIZE);
  std::memcpy(entry.title.data(), bytes + ENT_TITLE, TITLE_TEXT_BYTES);
  entry.fileType = bytes[ENT_TYPE];
  return entry;
}

void card_SetTitleText(TitleEntry* entry, const char* text) {
  SetText(&entry->title, text, TITLE_MAX_CHARS);
}

void card_SetCardName(CardHeader* header, const char* name) {
  SetText(&header->cardName, name, CARD_NAME_MAX_CHARS);
}

uint64_t card_TableEnd(const CardHeader& header, uint32_t count) {
  return static_cast<uint64_t>(header.tableOffset) + static_cast<uint64_t>(count) * header.entrySize;
}

VexoResult card_ReadHeader(int32_t kind, int32_t port, int32_t slot, CardHeader* header) {
  ForgetTable();
  header->cardsInserted = 0;

  uint32_t otherSize = 0;
  if (vexo_SearchSecondCard(kind, port, slot, &otherSize, 2) == 0) header->cardsInserted += 1;

  uint32_t size = 0;
  VexoResult result = vexo_Search(kind, port, slot, &size, 5);
  if (result != 0) return result;
  header->cardsInserted += 1;
  header->cardSize = size;
  g_cardSize = size;
  header->freeBytes = size > DATA_AREA_START ? size - DATA_AREA_START : 0;
  header->version = static_cast<uint16_t>(vexo_GetVersion(kind, port));

  TableReader reader{kind, port, slot};
  result = vexo_ReadSector(kind, port, slot, 0, reader.buffer, 1, kTries);
  vexo_Trace("rc read first = %i\n", result);
  if (result != 0) return result;
  KeepSectorRead(reader.buffer);

  const uint8_t* b = reader.buffer.data();
  header->cardType = Load16(b + HDR_CARD_TYPE);
  header->headerByte2 = b[HDR_BYTE2];
  header->headerByte3 = b[HDR_BYTE3];
  header->sampleCount = Load16(b + HDR_SAMPLE_COUNT);
  header->tableOffset = Load32(b + HDR_TABLE_OFFSET);
  header->tableEnd = Load32(b + HDR_TABLE_END);
  std::memcpy(header->cardName.data(), b + HDR_CARD_NAME, CARD_NAME_BYTES);
  header->cardName[CARD_NAME_BYTES - 1] = '\0';  // a stored name may lack its NUL
  header->entrySize = Load16(b + HDR_ENTRY_SIZE);
  vexo_Trace("Card: %u, %s\n", header->sampleCount, header->cardName.data());

  if (!card_IsValidCardType(header->cardType)) {
    header->sampleCount = 0;
    header->cardName.fill('\0');
    return -VEXO_ERROR_NO_VALID_HEADER;
  }

  // Only entries that lie wholly inside the header area can be titles, and
  // it holds no more than HEADER_MAX_TITLES of them; a count that reaches
  // further is cut, so that nothing is read or written beyond the header
  // area, whatever the header claims.
  uint32_t count = std::min<uint32_t>(header->sampleCount, HEADER_MAX_TITLES);
  if (header->tableOffset >= DATA_AREA_START) {
    count = 0;
  } else if (header->entrySize > 0) {
    count = std::min<uint32_t>(count, (DATA_AREA_START - header->tableOffset) / header->entrySize);
  }
  header->sampleCount = static_cast<uint16_t>(count);

  // Sector 1 is read whenever the table lies behind sector 0, also for an
  // empty table, so that a failing sector 1 is reported.
  if (header->tableOffset >= SECTOR_SIZE) {
    result = reader.AdvanceTo(1);
    if (result != 0) return result;
  }

  try {
    g_table.assign(count, TitleEntry{});
  } catch (const std::bad_alloc&) {
    vexo_Trace("Memory alloc failed\n");
    ForgetTable();
    return -VEXO_ERROR_PPA_MEMORY_ALLOC;
  }

  // Entries of another size than 32 bytes keep their first 32 bytes (or are
  // zero-padded to 32); the table is walked in steps of entrySize.
  const uint32_t take = std::min<uint32_t>(header->entrySize, HEADER_ENTRY_SIZE);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t p = card_TableEnd(*header, i);
    uint8_t bytes[HEADER_ENTRY_SIZE] = {};
    for (uint32_t j = 0; j < take; ++j) {
      result = reader.AdvanceTo(static_cast<uint32_t>((p + j) / SECTOR_SIZE));
      if (result != 0) {
        card_ReleaseTitles();
        return result;
      }
      bytes[j] = reader.buffer[(p + j) % SECTOR_SIZE];
    }
    // An entry that ends exactly on a sector's end moves the run on to the
    // next sector, as the player's own reader does.
    const uint64_t end = p + header->entrySize;
    if (header->entrySize > 0 && end % SECTOR_SIZE == 0 && end / SECTOR_SIZE > reader.sector) {
      result = reader.AdvanceTo(static_cast<uint32_t>(end / SECTOR_SIZE));
      if (result != 0) {
        card_ReleaseTitles();
        return result;
      }
    }
    g_table[i] = card_DecodeTitle(bytes);
    char title[TITLE_TEXT_BYTES + 1] = {};
    std::memcpy(title, g_table[i].title.data(), TITLE_TEXT_BYTES);
    vexo_Trace("%lu, %s\n", static_cast<unsigned long>(g_table[i].size), title);
  }

  uint64_t used = 0;
  for (const TitleEntry& entry : g_table) used += entry.size;
  header->freeBytes = used >= header->freeBytes ? 0 : header->freeBytes - static_cast<uint32_t>(used);
  g_cursor = 0;
  g_onCardCount = count;
  g_onCardEnd = card_TableEnd(*header, count);
  return 0;
}

VexoResult card_ReadHeaderForChange(int32_t kind, int32_t port, int32_t slot, CardHeader* header) {
  const VexoResult result = card_ReadHeader(kind, port, slot, header);
  if (result != -VEXO_ERROR_NO_VALID_HEADER) return result;
  const VexoResult blank = CheckHeaderAreaBlank(kind, port, slot, header->cardSize);
  return blank != 0 ? blank : result;
}

const char* card_ForeignDataName() { return g_foreignName; }

int card_NextTitle(TitleEntry* entry) {
  if (g_cursor >= g_table.size()) return 1;
  *entry = g_table[g_cursor++];
  return 0;
}

void card_ReleaseTitles() {
  ForgetTable();
  vexo_Delay(10);
}

uint16_t card_LoadedCount() { return static_cast<uint16_t>(g_table.size()); }

TitleEntry* card_LoadedTitle(uint16_t index) {
  return index < g_table.size() ? &g_table[index] : nullptr;
}

void card_DefaultHeader(CardHeader* header, uint16_t cardType) {
  header->cardType = cardType != 0 ? cardType : 1;
  header->headerByte2 = 1;
  header->headerByte3 = 1;
  header->sampleCount = 0;
  header->tableOffset = HEADER_TABLE_OFFSET;
  header->tableEnd = HEADER_TABLE_OFFSET;
  header->cardName.fill('\0');
  header->entrySize = HEADER_ENTRY_SIZE;
}

void card_ClearLoadedTitles() {
  g_table.clear();
  g_cursor = 0;
}

void card_RemoveLoadedTitle(uint16_t index) {
  if (index < g_table.size()) g_table.erase(g_table.begin() + index);
}

void card_MoveLoadedTitle(uint16_t from, uint16_t to) {
  if (from >= g_table.size() || to >= g_table.size()) return;
  const auto first = g_table.begin();
  if (from < to) {
    std::rotate(first + from, first + from + 1, first + to + 1);
  } else {
    std::rotate(first + to, first + from, first + from + 1);
  }
}

namespace {

// The sectors every loaded entry covers, as [first, end) pairs in order of
// their first sector, clipped to the data area. Entries of no bytes cover none.
std::vector<std::pair<uint64_t, uint64_t>> CoveredSectors() {
  std::vector<std::pair<uint64_t, uint64_t>> covered;
  for (const TitleEntry& entry : g_table) {
    if (entry.size == 0) continue;
    const uint64_t first = std::max<uint64_t>(entry.startAddress / SECTOR_SIZE, DATA_AREA_START / SECTOR_SIZE);
    const uint64_t end = (static_cast<uint64_t>(entry.startAddress) + entry.size + SECTOR_SIZE - 1) / SECTOR_SIZE;
    if (first < end) covered.emplace_back(first, end);
  }
  std::sort(covered.begin(), covered.end());
  return covered;
}

}  // namespace

bool card_FindTitleStretch(uint64_t bytes, uint64_t* startSector, uint64_t* stretchBytes) {
  const uint64_t needed = std::max<uint64_t>(1, (bytes + SECTOR_SIZE - 1) / SECTOR_SIZE);
  uint64_t candidate = DATA_AREA_START / SECTOR_SIZE;
  uint64_t limit = g_cardSize / SECTOR_SIZE;  // behind every title: the card's end
  for (const auto& [first, end] : CoveredSectors()) {
    if (first >= candidate + needed) {
      limit = first;
      break;
    }
    candidate = std::max(candidate, end);
  }
  *startSector = candidate;
  *stretchBytes = limit > candidate ? (limit - candidate) * SECTOR_SIZE : 0;
  return candidate + needed <= limit;
}

bool card_FindTitlePlace(uint64_t bytes, uint64_t* startSector) {
  uint64_t stretch = 0;
  if (card_FindTitleStretch(bytes, startSector, &stretch)) return true;
  *startSector = card_NextTitleSector();
  return false;
}

uint64_t card_NextTitleSector() {
  // Behind every entry, not only the last: a foreign or damaged table may be
  // out of order or point into the header area, and a new title must never
  // land on the header or on a listed title.
  uint64_t end = DATA_AREA_START;
  for (const TitleEntry& entry : g_table) {
    end = std::max(end, static_cast<uint64_t>(entry.startAddress) + entry.size);
  }
  return (end + SECTOR_SIZE - 1) / SECTOR_SIZE;
}

namespace {

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
std::vector<SectorWrite> PlanHeaderWrite(const std::vector<uint8_t>& image, uint32_t sectors,
                                         uint64_t newEnd, TableOrder order) {
  const auto onCard = [](uint32_t s) -> const uint8_t* {
    return (static_cast<std::size_t>(s) + 1) * SECTOR_SIZE <= g_onCard.size()
               ? g_onCard.data() + static_cast<std::size_t>(s) * SECTOR_SIZE
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
    for (uint64_t b = std::max<uint64_t>(newEnd, base); b < g_onCardEnd && b < base + SECTOR_SIZE; ++b) {
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

}  // namespace

VexoResult card_WriteHeader(int32_t kind, int32_t port, int32_t slot, CardHeader header,
                            const TitleEntry* newEntry, TableOrder order) {
  // The loaded table is the one count of titles: the header's sampleCount
  // is what the card said when it was read, never what is written.
  uint32_t count = static_cast<uint32_t>(g_table.size());
  if (newEntry != nullptr) count += 1;
  if (count > 0xFFFF) return -VEXO_ERROR_TABLE_FULL;

  const uint64_t tableEnd = card_TableEnd(header, count);
  if (tableEnd > DATA_AREA_START) return -VEXO_ERROR_TABLE_FULL;
  const uint32_t sectors = std::max<uint32_t>(
      1, static_cast<uint32_t>((tableEnd + SECTOR_SIZE - 1) / SECTOR_SIZE));

  std::vector<uint8_t> image;
  try {
    image.assign((static_cast<std::size_t>(sectors) + 1) * SECTOR_SIZE, 0);
  } catch (const std::bad_alloc&) {
    return -VEXO_ERROR_PPA_MEMORY_ALLOC;
  }

  const uint32_t put = std::min<uint32_t>(header.entrySize, HEADER_ENTRY_SIZE);
  for (uint32_t i = 0; i < count; ++i) {
    const TitleEntry& entry = (newEntry != nullptr && i == count - 1) ? *newEntry : g_table[i];
    uint8_t bytes[HEADER_ENTRY_SIZE];
    card_EncodeTitle(entry, bytes);
    std::memcpy(image.data() + card_TableEnd(header, i), bytes, put);
  }

  // The header fields go in last, so that a table placed over sector 0 never
  // overwrites them.
  uint8_t* b = image.data();
  std::memset(b, 0, HDR_ENTRY_SIZE + 2);
  Store16(b + HDR_CARD_TYPE, header.cardType);
  b[HDR_BYTE2] = header.headerByte2;
  b[HDR_BYTE3] = header.headerByte3;
  Store16(b + HDR_SAMPLE_COUNT, static_cast<uint16_t>(count));
  Store32(b + HDR_TABLE_OFFSET, header.tableOffset);
  Store32(b + HDR_TABLE_END, static_cast<uint32_t>(tableEnd));
  std::memcpy(b + HDR_CARD_NAME, header.cardName.data(), CARD_NAME_BYTES);
  b[HDR_CARD_NAME + CARD_NAME_BYTES - 1] = '\0';
  Store16(b + HDR_ENTRY_SIZE, header.entrySize);

  // A shrinking table that frees a sector: that sector is zeroed too (the
  // image holds one zero sector behind the table for it).
  const bool freesSector = g_onCardCount > count && (g_onCardEnd + SECTOR_SIZE - 1) / SECTOR_SIZE > sectors;
  const uint32_t written = freesSector ? sectors + 1 : sectors;
  const std::vector<SectorWrite> plan = PlanHeaderWrite(image, written, tableEnd, order);
  const VexoResult result = plan.empty() ? 0 : vexo_WriteSectors(kind, port, slot, plan);
  if (result != 0) return result;

  // The card now holds the new header: later writes compare against it.
  if (g_onCard.size() < static_cast<std::size_t>(written) * SECTOR_SIZE) {
    g_onCard.resize(static_cast<std::size_t>(written) * SECTOR_SIZE);
  }
  std::memcpy(g_onCard.data(), image.data(), static_cast<std::size_t>(written) * SECTOR_SIZE);
  g_table.resize(newEntry != nullptr ? count - 1 : count);
  if (newEntry != nullptr) g_table.push_back(*newEntry);
  g_onCardCount = count;
  g_onCardEnd = tableEnd;
  return 0;
}
