// Whether a title on the card holds a song's stored bytes (a host file), for
// the sync and for an import that skips what is already there. On an image
// file and a card reader the whole title is compared; over the adapter and
// the player, where reading a title costs its transfer time, sampled sectors
// of it (the first, one in the middle, the last: every sector of a shorter
// title) against the same sectors of the song. Sizes are compared first:
// nothing is read for a title whose size is not the song's. The sectors read
// of a title are kept for the next song of the same size.
//
// Reads the card through the transport and host files; writes nothing,
// prints nothing.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/vexo_types.h"
#include "card/header_format.h"
#include "card/sync_plan.h"

// The way titles are compared on this port kind.
SyncMatch card_MatchWay(int32_t kind);

// The sectors (from 0, within a title of `sectors` sectors) that a sampled
// comparison reads, in increasing order: every one of a title of up to three
// sectors, else the first, the middle and the last.
std::vector<uint32_t> card_SampleSectors(uint32_t sectors);

struct CardMatcher {
  int32_t kind = 0, port = 0, slot = 0;
  uint32_t cardSize = 0;
  std::vector<TitleEntry> table;  // the titles compared
  SyncMatch way = SyncMatch::Whole;
  // Per title: its sectors read so far (sector within the title -> bytes).
  std::map<uint16_t, std::map<uint32_t, std::vector<uint8_t>>> read;
  uint64_t sectorsRead = 0;
};

// A matcher for the table as loaded, on the open port.
CardMatcher card_NewMatcher(int32_t kind, int32_t port, int32_t slot, uint32_t cardSize,
                            const std::vector<TitleEntry>& table);

// Whether title `title` (index into the matcher's table) holds the `size`
// bytes of the host file at `path`. A damaged entry holds no song. 0, the
// card read's failure, or -FILE_READ when the host file cannot be read.
VexoResult card_TitleHoldsFile(CardMatcher* matcher, uint16_t title, const std::string& path,
                               uint64_t size, bool* same);

// The first title that holds the file's bytes: its index, or -1.
VexoResult card_FindTitleHolding(CardMatcher* matcher, const std::string& path, uint64_t size,
                                 int32_t* title);

// Whether two host files hold the same bytes (read whole). -FILE_READ when
// either cannot be read.
VexoResult card_HostFilesSame(const std::string& a, const std::string& b, bool* same);
