// Folder card/: the card's contents: the header's byte format
// (header_format.h), the loaded table (here; its state in loaded_table.h),
// the write plan (write_plan.h), the foreign-data check (foreign_data.h), the
// placement of a new title, the playlist operations (playlist.h), the title
// character set (charset.h) and the settings record (settings.h). Reaches
// the card only through transport/; prints nothing. May include: base/,
// host/, transport/ and media/.
//
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

#include <cstdint>
#include <vector>

#include "base/vexo_types.h"
#include "card/foreign_data.h"
#include "card/header_format.h"
#include "card/write_plan.h"

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
// What the card last refused with -FOREIGN_DATA holds: card_ForeignDataName
// (card/foreign_data.h).

// sampleCount as the card's sector 0 held it when the header was last read
// (the header's field holds the number of entries loaded: never more than the
// header area holds).
uint16_t card_StoredSampleCount();

// Copies the entry at the cursor and advances: 0, or 1 at the end.
int card_NextTitle(TitleEntry* entry);

// Frees the loaded table (cursor and count 0), then pauses 100 ms.
void card_ReleaseTitles();

// The loaded table, for the playlist operations that edit or inspect it.
uint16_t card_LoadedCount();
TitleEntry* card_LoadedTitle(uint16_t index);  // nullptr when out of range

// Empties the loaded table; what the card holds stays known, so that a header
// write after it still writes only the sectors that change.
void card_ClearLoadedTitles();

// Edits of the loaded table: an entry taken out (those behind it move up),
// or moved to another place (those between shift by one). Out-of-range
// indexes change nothing.
void card_RemoveLoadedTitle(uint16_t index);
void card_MoveLoadedTitle(uint16_t from, uint16_t to);

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
// The same search over any table, on a card of cardSize bytes.
bool card_FindTitleStretchIn(const std::vector<TitleEntry>& table, uint32_t cardSize,
                             uint64_t bytes, uint64_t* startSector, uint64_t* stretchBytes);
// Whether titles of these sizes, added in this order, each go whole into a
// place the search above finds on a card holding `table`.
bool card_TitlesFitIn(std::vector<TitleEntry> table, uint32_t cardSize, const std::vector<uint64_t>& sizes);

// Sector behind every loaded entry: the first sector boundary at or behind
// DATA_AREA_START and the end of every loaded entry (64-bit: a foreign entry
// may point anywhere).
uint64_t card_NextTitleSector();
