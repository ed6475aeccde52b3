// The card's header sector and title table. The card layout: sector 0 holds
// the header, the title table follows from tableOffset (512) in entries of
// entrySize (32) bytes, and title data starts at byte 0x10000 (sector 128),
// each title on a sector boundary: a new title goes into the first free
// stretch that holds it, else behind every listed title.
//
// This module reads the header and table into memory (one loaded table per
// process), lets callers walk and edit the loaded entries, builds a header
// image and writes it back. It reaches the card only through the transport.
// It prints nothing.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/vexo_types.h"

constexpr uint32_t DATA_AREA_START = 0x10000;
constexpr uint32_t HEADER_TABLE_OFFSET = 512;
constexpr uint16_t HEADER_ENTRY_SIZE = 32;  // bytes of an entry as this system stores it
constexpr std::size_t TITLE_TEXT_BYTES = 23;  // 22 characters and a NUL
constexpr std::size_t TITLE_MAX_CHARS = 22;
constexpr std::size_t CARD_NAME_BYTES = 37;   // 36 characters and a NUL
constexpr std::size_t CARD_NAME_MAX_CHARS = 36;
// Entries the header area (up to DATA_AREA_START) can hold; never more are loaded.
constexpr uint32_t HEADER_MAX_TITLES = (DATA_AREA_START - HEADER_TABLE_OFFSET) / HEADER_ENTRY_SIZE;

struct TitleEntry {
  uint32_t startAddress = 0;  // byte address of the title's first byte
  uint32_t size = 0;          // length in bytes
  std::array<char, TITLE_TEXT_BYTES> title{};  // display code; may lack a NUL on foreign cards
  uint8_t fileType = 0;       // 1 MP3, 2 other
};

struct CardHeader {
  uint32_t cardSize = 0;
  uint32_t freeBytes = 0;
  uint16_t cardsInserted = 0;
  uint16_t version = 0;
  uint16_t cardType = 0;
  uint8_t headerByte2 = 0;
  uint8_t headerByte3 = 0;
  uint16_t sampleCount = 0;
  uint32_t tableOffset = 0;
  uint32_t tableEnd = 0;
  std::array<char, CARD_NAME_BYTES> cardName{};  // always NUL-terminated in memory
  uint16_t entrySize = 0;
};

// A header is valid only for these card types.
bool card_IsValidCardType(uint16_t cardType);

// Encoding of one entry as its 32 bytes stand on the card, and back.
void card_EncodeTitle(const TitleEntry& entry, uint8_t* bytes32);
TitleEntry card_DecodeTitle(const uint8_t* bytes32);

// Sets text fields: the first max characters of text, NUL-padded, with a NUL
// behind them.
void card_SetTitleText(TitleEntry* entry, const char* text);
void card_SetCardName(CardHeader* header, const char* name);

// Finds the card, fills the header, loads the title table. 0, -18 for a
// header whose card type is not valid (then cardSize, freeBytes, cardsInserted
// and version are filled, sampleCount 0, cardName empty), -34, or the
// transport's result.
VexoResult card_ReadHeader(int32_t kind, int32_t port, int32_t slot, CardHeader* header);

// card_ReadHeader for an operation that changes the card: a card without a
// valid header gives -18 only when its header area is blank (every sector
// all 0x00 or all 0xFF, as on a new card or image); one that holds other data
// (a file system, a partition table, a file) gives -FOREIGN_DATA, so that
// nothing is written over it.
VexoResult card_ReadHeaderForChange(int32_t kind, int32_t port, int32_t slot, CardHeader* header);
// What the card last refused with -FOREIGN_DATA holds, where a well-known
// layout tells it ("a partition table", "a FAT file system", ...); nullptr
// when unknown.
const char* card_ForeignDataName();

// Copies the entry at the cursor and advances: 0, or 1 at the end.
int card_NextTitle(TitleEntry* entry);

// Frees the loaded table (cursor and count 0), then pauses 100 ms.
void card_ReleaseTitles();

// The loaded table, for the playlist operations that edit or inspect it.
uint16_t card_LoadedCount();
TitleEntry* card_LoadedTitle(uint16_t index);  // nullptr when out of range

// Header fields of an empty card (type 1 when cardType is 0).
void card_DefaultHeader(CardHeader* header, uint16_t cardType);

// Empties the loaded table; what the card holds stays known, so that a header
// write after it still writes only the sectors that change.
void card_ClearLoadedTitles();

// Edits of the loaded table: an entry taken out (those behind it move up),
// or moved to another place (those between shift by one). Out-of-range
// indexes change nothing.
void card_RemoveLoadedTitle(uint16_t index);
void card_MoveLoadedTitle(uint16_t from, uint16_t to);

// Which way entries move in a header write that changes several table
// sectors: towards the table's start (a delete, a move to a later place) or
// towards its end (a move to an earlier place).
enum class TableOrder { TowardsStart, TowardsEnd };

// Builds the header image from the header (a copy) and the loaded table, with
// newEntry appended when given: the loaded table alone says how many titles
// the card lists (the header's sampleCount is not used), and writes the sectors whose bytes change,
// for a shrinking table with the freed sector zeroed behind it. A write cut
// off after any sector leaves the old playlist, the new one, or (where
// several table sectors change) a list in which every new title stands at
// least once and every entry is an old one. On success the loaded table is
// the one written.
// 0, -34, -42 when the table would run past the header area, or the write's result.
VexoResult card_WriteHeader(int32_t kind, int32_t port, int32_t slot, CardHeader header,
                            const TitleEntry* newEntry,
                            TableOrder order = TableOrder::TowardsStart);

// Where a title of `bytes` bytes goes: the first free stretch of whole
// sectors at or behind DATA_AREA_START, outside every loaded entry's sectors
// and before the card's end, that holds it all. True when one does; false
// otherwise, with startSector then behind the end of every loaded entry
// (card_NextTitleSector), where the title is cut to what fits.
bool card_FindTitlePlace(uint64_t bytes, uint64_t* startSector);
// The same search, also giving the stretch's length in bytes from
// startSector (to the next title or the card's end; 0 when none).
bool card_FindTitleStretch(uint64_t bytes, uint64_t* startSector, uint64_t* stretchBytes);

// Sector behind every loaded entry: the first sector boundary at or behind
// DATA_AREA_START and the end of every loaded entry (64-bit: a foreign entry
// may point anywhere).
uint64_t card_NextTitleSector();

// Where the table of a header with `count` entries ends (64-bit).
uint64_t card_TableEnd(const CardHeader& header, uint32_t count);
