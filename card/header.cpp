// Reading the header and title table, the edits of the loaded table, and
// the header write; the byte format, the write plan, the foreign-data check
// and the title placement live in files of their own.
#include "card/header.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "card/foreign_data.h"
#include "card/loaded_table.h"
#include "card/table_check.h"
#include "host/pauses.h"
#include "host/trace.h"
#include "transport/transport.h"

namespace {

CardLoaded& g_loaded = card_Loaded();
std::vector<TitleEntry>& g_table = g_loaded.table;
uint16_t& g_cursor = g_loaded.cursor;
std::vector<uint8_t>& g_onCard = g_loaded.onCard;
uint32_t& g_onCardCount = g_loaded.onCardCount;
uint64_t& g_onCardEnd = g_loaded.onCardEnd;
uint32_t& g_cardSize = g_loaded.cardSize;

}  // namespace

VexoResult card_ReadHeader(int32_t kind, int32_t port, int32_t slot, CardHeader* header) {
  card_ForgetLoaded();
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

  CardSectorReader reader{kind, port, slot};
  result = vexo_ReadSector(kind, port, slot, 0, reader.buffer, 1, CARD_SECTOR_TRIES);
  vexo_Trace("rc read first = %i\n", result);
  if (result != 0) return result;
  card_KeepSectorRead(reader.buffer);

  card_DecodeHeaderFields(reader.buffer.data(), header);
  g_loaded.storedCount = header->sampleCount;
  vexo_Trace("Card: %u, %s\n", header->sampleCount, header->cardName.data());

  if (!card_IsValidCardType(header->cardType)) {
    header->sampleCount = 0;
    header->cardName.fill('\0');
    return -VEXO_ERROR_NO_VALID_HEADER;
  }

  // Nothing is read or written beyond the header area, whatever the header
  // claims.
  const uint32_t count = card_TableCount(*header);
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
    card_ForgetLoaded();
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

  // Each byte of the data area counts once, whatever overlapping or damaged
  // entries claim.
  const uint64_t used = card_CoveredBytes(g_table, header->cardSize);
  header->freeBytes = used >= header->freeBytes ? 0 : header->freeBytes - static_cast<uint32_t>(used);
  g_cursor = 0;
  g_onCardCount = count;
  g_onCardEnd = card_TableEnd(*header, count);
  return 0;
}

VexoResult card_ReadHeaderForChange(int32_t kind, int32_t port, int32_t slot, CardHeader* header) {
  const VexoResult result = card_ReadHeader(kind, port, slot, header);
  if (result != -VEXO_ERROR_NO_VALID_HEADER) return result;
  const VexoResult blank = card_CheckHeaderAreaBlank(kind, port, slot, header->cardSize);
  return blank != 0 ? blank : result;
}

uint16_t card_StoredSampleCount() { return g_loaded.storedCount; }

int card_NextTitle(TitleEntry* entry) {
  if (g_cursor >= g_table.size()) return 1;
  *entry = g_table[g_cursor++];
  return 0;
}

void card_ReleaseTitles() {
  card_ForgetLoaded();
  vexo_Delay(10);
}

uint16_t card_LoadedCount() { return static_cast<uint16_t>(g_table.size()); }

TitleEntry* card_LoadedTitle(uint16_t index) {
  return index < g_table.size() ? &g_table[index] : nullptr;
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

VexoResult card_WriteHeader(int32_t kind, int32_t port, int32_t slot, CardHeader header,
                            const TitleEntry* newEntry, TableOrder order) {
  // The loaded table is the one count of titles: the header's sampleCount
  // is what the card said when it was read, never what is written.
  card_UseWritableLayout(&header);
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
  card_EncodeHeaderFields(header, static_cast<uint16_t>(count), static_cast<uint32_t>(tableEnd),
                          image.data());

  // A shrinking table that frees a sector: that sector is zeroed too (the
  // image holds one zero sector behind the table for it).
  const bool freesSector = g_onCardCount > count && (g_onCardEnd + SECTOR_SIZE - 1) / SECTOR_SIZE > sectors;
  const uint32_t written = freesSector ? sectors + 1 : sectors;
  const std::vector<SectorWrite> plan = card_PlanHeaderWrite(image, written, tableEnd, order, g_onCard, g_onCardEnd);
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
