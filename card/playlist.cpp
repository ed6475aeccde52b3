#include "card/playlist.h"

#include "base/sector_math.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "card/charset.h"
#include "card/header.h"
#include "card/loaded_table.h"
#include "card/table_check.h"
#include "host/host_files.h"
#include "host/pauses.h"
#include "host/trace.h"
#include "transport/transport.h"

namespace {

// -18 means a blank card to the operations that go on with a fresh header.
bool IsReadFailure(VexoResult result) {
  return result != 0 && result != -VEXO_ERROR_NO_VALID_HEADER;
}

// Reads the header for an operation on title sampleNumber (from 1), one
// that changes the card or not: every read failure is returned, a number out
// of range gives -22 with the table released.
VexoResult ReadHeaderForTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
                              bool change, CardHeader* header) {
  const VexoResult result = change ? card_ReadHeaderForChange(kind, port, slot, header)
                                   : card_ReadHeader(kind, port, slot, header);
  if (result != 0) return result;
  if (sampleNumber < 1 || sampleNumber > card_LoadedCount()) {
    card_ReleaseTitles();
    return -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER;
  }
  return 0;
}

}  // namespace

VexoResult card_ReadHeaderOrBlank(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                                  CardHeader* header) {
  const VexoResult result = card_ReadHeaderForChange(kind, port, slot, header);
  if (result == -VEXO_ERROR_NO_VALID_HEADER) {
    card_DefaultHeader(header, cardType);
    return 0;
  }
  return result;
}

VexoResult card_DeleteTitles(int32_t kind, int32_t port, int32_t slot, int lastOnly) {
  CardHeader header;
  VexoResult result = card_ReadHeaderForChange(kind, port, slot, &header);
  if (IsReadFailure(result)) return result;
  result = 0;
  if (card_LoadedCount() != 0) {
    if (lastOnly == 1) {
      card_RemoveLoadedTitle(static_cast<uint16_t>(card_LoadedCount() - 1));
    } else {
      card_DefaultHeader(&header, 0);
      card_ClearLoadedTitles();
    }
    result = card_WriteHeader(kind, port, slot, header, nullptr);
  }
  card_ReleaseTitles();
  return result;
}

VexoResult card_DeleteTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber) {
  CardHeader header;
  VexoResult result = ReadHeaderForTitle(kind, port, slot, sampleNumber, true, &header);
  if (result != 0) return result;
  result = card_DeleteLoaded(kind, port, slot, header, static_cast<uint16_t>(sampleNumber - 1));
  card_ReleaseTitles();
  return result;
}

VexoResult card_DeleteLoaded(int32_t kind, int32_t port, int32_t slot, const CardHeader& header,
                             uint16_t index) {
  if (index >= card_LoadedCount()) return -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER;
  // The data stays where it is; its sectors are free for the next title.
  card_RemoveLoadedTitle(index);
  return card_WriteHeader(kind, port, slot, header, nullptr);
}

namespace {

// True when entries a and b (and all between) lie in one table sector, so
// that one sector write reorders them.
bool InOneSector(const CardHeader& header, uint32_t a, uint32_t b) {
  const uint32_t low = std::min(a, b), high = std::max(a, b);
  return card_TableEnd(header, low) / SECTOR_SIZE == (card_TableEnd(header, high + 1) - 1) / SECTOR_SIZE;
}

}  // namespace

VexoResult card_MoveTitle(int32_t kind, int32_t port, int32_t slot, int32_t from, int32_t to) {
  CardHeader header;
  VexoResult result = ReadHeaderForTitle(kind, port, slot, from, true, &header);
  if (result != 0) return result;
  if (to < 1 || to > card_LoadedCount() || from == to) {
    card_ReleaseTitles();
    return from == to ? 0 : -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER;
  }
  result = card_MoveLoaded(kind, port, slot, header, static_cast<uint16_t>(from - 1),
                           static_cast<uint16_t>(to - 1));
  card_ReleaseTitles();
  return result;
}

VexoResult card_MoveLoaded(int32_t kind, int32_t port, int32_t slot, const CardHeader& header,
                           uint16_t f, uint16_t t) {
  if (f >= card_LoadedCount() || t >= card_LoadedCount()) return -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER;
  if (f == t) return 0;
  if (!InOneSector(header, f, t)) {
    // Across table sectors no order of sector writes keeps every title
    // listed while the count stays: the moving title is first listed twice,
    // at the table's end, so that the reordering writes can drop it from
    // its old place before they reach its new one.
    const TitleEntry moving = *card_LoadedTitle(f);
    const VexoResult result = card_WriteHeader(kind, port, slot, header, &moving);
    if (result != 0) return result;
    // The reordering writes list the titles once again: the copy at the end goes.
    card_RemoveLoadedTitle(static_cast<uint16_t>(card_LoadedCount() - 1));
  }
  card_MoveLoadedTitle(f, t);
  return card_WriteHeader(kind, port, slot, header, nullptr,
                          t < f ? TableOrder::TowardsEnd : TableOrder::TowardsStart);
}

namespace {

// Finds the card and writes the header of an empty card over it, without
// reading the old one: the old table sectors stay behind sampleCount 0.
VexoResult WriteFreshHeader(int32_t kind, int32_t port, int32_t slot, uint32_t pauseUnits,
                            bool release) {
  CardHeader header;
  VexoResult result = vexo_Search(kind, port, slot, &header.cardSize, 5);
  if (result != 0) return result;
  if (pauseUnits != 0) vexo_Delay(pauseUnits);
  card_DefaultHeader(&header, 0);
  card_ClearLoadedTitles();
  result = card_WriteHeader(kind, port, slot, header, nullptr);
  if (release) card_ReleaseTitles();
  return result;
}

}  // namespace

VexoResult card_WriteEmptyHeader(int32_t kind, int32_t port, int32_t slot) {
  return WriteFreshHeader(kind, port, slot, 0, true);
}

VexoResult card_ResetHeader(int32_t kind, int32_t port, int32_t slot) {
  return WriteFreshHeader(kind, port, slot, 10, false);
}

VexoResult card_AddTitle(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                         const char* cardName, const char* path, const char* title, int progress,
                         uint8_t fileType) {
  CardHeader header;
  VexoResult result = card_ReadHeaderOrBlank(kind, port, slot, cardType, &header);
  if (result != 0) return result;
  if (cardType != 0) header.cardType = cardType;
  if (cardName != nullptr && static_cast<uint8_t>(cardName[0]) != 0xFF) {
    card_SetCardName(&header, cardName);
  }
  TitleEntry entry;
  card_SetTitleText(&entry, title);
  entry.fileType = fileType;
  result = card_AddLoaded(kind, port, slot, header, path, entry, progress);
  card_ReleaseTitles();
  return result;
}

VexoResult card_AddLoaded(int32_t kind, int32_t port, int32_t slot, const CardHeader& header,
                          const char* path, TitleEntry entry, int progress) {
  // Each byte of the data area counts once, as the header reader counts it.
  const uint64_t data = header.cardSize > DATA_AREA_START ? header.cardSize - DATA_AREA_START : 0;
  const uint64_t covered = card_CoveredBytes(card_Loaded().table, header.cardSize);
  const uint64_t freeBytes = covered >= data ? 0 : data - covered;
  if (freeBytes == 0) return -VEXO_ERROR_CARD_FULL;
  if (card_LoadedCount() >= HEADER_MAX_TITLES ||
      card_TableEnd(header, card_LoadedCount() + 1u) > DATA_AREA_START) {
    return -VEXO_ERROR_TABLE_FULL;
  }

  VexoResult result = vexo_MeasureHostFile(path, &entry.size);
  if (result != 0) return result;
  vexo_Trace("File: %s, Size: %lu\n", path != nullptr ? path : "", static_cast<unsigned long>(entry.size));
  if (entry.size == 0) return -VEXO_ERROR_FILE_SIZE_ZERO;

  // Where the title goes, and whether it fits: the free space, but never
  // past the stretch it goes into (the next title or the card's end; the
  // padding between titles is not counted in the free space).
  uint64_t startSector = 0, stretch = 0;
  if (!card_FindTitleStretch(entry.size, &startSector, &stretch)) {
    startSector = card_NextTitleSector();
    const uint64_t startByte = startSector * SECTOR_SIZE;
    stretch = startByte < header.cardSize ? header.cardSize - startByte : 0;
  }
  const uint32_t space = static_cast<uint32_t>(std::min<uint64_t>(freeBytes, stretch));
  if (entry.size > space) return -VEXO_ERROR_CARD_FULL;
  entry.startAddress = static_cast<uint32_t>(startSector * SECTOR_SIZE);

  result = vexo_WriteFile(kind, port, slot, static_cast<uint32_t>(startSector), path, space,
                          progress, 0);
  // A host file that shrank after it was measured here was copied short: the
  // entry would list bytes that are not the file's.
  if (result == 0 && GetMP3FileSize(path) < entry.size) result = -VEXO_ERROR_FILE_READ;
  if (result == 0) result = card_WriteHeader(kind, port, slot, header, &entry);
  return result;
}

VexoResult card_ChangeCard(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                           const char* cardName) {
  CardHeader header;
  VexoResult result = card_ReadHeaderOrBlank(kind, port, slot, cardType, &header);
  if (result != 0) return result;
  if (cardType != 0) header.cardType = cardType;
  if (cardName != nullptr) card_SetCardName(&header, cardName);
  result = card_WriteHeader(kind, port, slot, header, nullptr);
  card_ReleaseTitles();
  return result;
}

VexoResult card_ChangeTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
                            const char* title) {
  CardHeader header;
  VexoResult result = ReadHeaderForTitle(kind, port, slot, sampleNumber, true, &header);
  if (result != 0) return result;
  if (title == nullptr) {
    card_ReleaseTitles();
    return -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER;
  }
  card_SetTitleText(card_LoadedTitle(static_cast<uint16_t>(sampleNumber - 1)), title);
  result = card_WriteHeader(kind, port, slot, header, nullptr);
  card_ReleaseTitles();
  return result;
}

std::string card_DefaultTitleFileName(const char* title23) {
  const std::string stored(title23, strnlen(title23, TITLE_TEXT_BYTES));
  std::string name = title_ToTerminal(stored.c_str());
  // The stored title names a file in the current folder, never a path.
  std::replace(name.begin(), name.end(), '/', '_');
  return name + ".mp3";
}

VexoResult card_ReadTitle(int32_t kind, int32_t port, int32_t slot, int32_t sampleNumber,
                          const char* outputPath, int progress) {
  CardHeader header;
  VexoResult result = ReadHeaderForTitle(kind, port, slot, sampleNumber, false, &header);
  if (result != 0) return result;
  const TitleEntry entry = *card_LoadedTitle(static_cast<uint16_t>(sampleNumber - 1));
  // An entry that points outside the card names no bytes of a title.
  if (card_TitleDamage(entry, header.cardSize) != TitleDamage::None) {
    card_ReleaseTitles();
    return -VEXO_ERROR_DAMAGED_TITLE;
  }
  const std::string defaultName = card_DefaultTitleFileName(entry.title.data());
  if (outputPath == nullptr) outputPath = defaultName.c_str();
  vexo_Delay(10);
  vexo_ResetCard(kind, port, slot);
  vexo_Delay(10);
  result = vexo_ReadFile(kind, port, slot, entry.startAddress / SECTOR_SIZE, entry.size,
                         outputPath, progress);
  card_ReleaseTitles();
  return result;
}

