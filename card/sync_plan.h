// The plan of a sync: what turns the card's playlist into a list of songs,
// in their order, each once. From the loaded table and the songs (the bytes
// vexo stores for each: their size, and a comparison of a title's bytes with
// a song's that the caller supplies), the steps in the order they run:
//  1. keep: every title that holds a song's bytes, the first of several
//     that hold the same song;
//  2. delete: every other title, from the table's end towards its start, so
//     that each step's title number is its number before the sync;
//  3. add (or skip, with the reason) every song not on the card, in the
//     songs' order, each into the first free stretch that holds it whole
//     after the deletes (the placement of a new title), appended to the table;
//  4. move: the fewest moves that put the table into the songs' order (the
//     titles of the longest run already in order stay where they are).
// Pure: it reads nothing itself and writes nothing; the comparisons are the
// caller's, asked only where the sizes agree.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/vexo_types.h"
#include "card/header_format.h"

// A song as the sync sees it.
struct SyncSong {
  std::string name;        // as the sources name it, for the plan's lines
  std::string title;       // display code, as a new title stores it
  uint8_t fileType = 1;
  uint64_t size = 0;       // bytes stored for the song
  VexoResult refusal = 0;  // not 0: the song cannot go on the card (it is skipped with this reason)
};

// How a title was found to hold a song's bytes.
enum class SyncMatch { None, Whole, Sampled };

struct SyncCompare {
  // Whether title `title` (index in the table) holds song `song`'s bytes;
  // asked only when their sizes agree. A failure (a read) ends the plan.
  std::function<VexoResult(uint16_t title, std::size_t song, bool* same)> titleIsSong;
  // Whether two songs have the same bytes (the same song named twice);
  // asked only when their sizes agree, a before b.
  std::function<VexoResult(std::size_t a, std::size_t b, bool* same)> songsSame;
  SyncMatch by = SyncMatch::Whole;  // how titleIsSong compares
};

enum class SyncStepKind { Keep, Delete, Add, Skip, Move };

// Why a song is skipped beyond its own refusal.
enum class SyncSkip { Refused, NamedTwice, NoRoom, TableFull };

struct SyncStep {
  SyncStepKind kind = SyncStepKind::Keep;
  // Keep, delete: the title's number (from 1) before the sync. Add: the
  // number it gets. Move: its number when the move starts; `to` its place.
  uint32_t title = 0;
  uint32_t to = 0;
  uint64_t size = 0;          // the title's or the song's bytes
  int64_t song = -1;          // index into the songs; -1 for a title no song holds
  uint64_t startSector = 0;   // add: where the title goes
  SyncMatch matchedBy = SyncMatch::None;  // keep
  uint32_t duplicateOf = 0;   // delete: the kept title (from 1) with the same bytes, else 0
  SyncSkip skip = SyncSkip::Refused;      // skip
  VexoResult reason = 0;      // skip: the result code that says why
  int64_t sameSong = -1;      // skip of a song named twice: the song it repeats
  std::string text;           // keep, delete, move: the title's stored text
};

struct SyncPlan {
  std::vector<SyncStep> steps;
  uint64_t bytesToSend = 0;
  uint32_t titlesBefore = 0;
  uint32_t deletes = 0, adds = 0, moves = 0, keeps = 0, skips = 0;
  uint32_t songsOnCard = 0;  // titles afterwards: the songs the card then holds
  uint32_t songCount = 0;    // different songs the sources name
  // Every title of a card that holds some goes: the sync needs --force.
  bool deletesAll() const { return titlesBefore != 0 && deletes == titlesBefore; }
};

// Plans the sync of `table` (the loaded table, on a card of cardSize bytes)
// to `songs`. 0, or the first failure of a comparison.
VexoResult card_PlanSync(const std::vector<TitleEntry>& table, uint32_t cardSize,
                         const std::vector<SyncSong>& songs, const SyncCompare& compare,
                         SyncPlan* plan);

// The moves that put `entries` (a table, in its order) into the order of
// their songs' places among the songs (`ranks`, one for each entry, each
// rank once), appended to the plan's steps.
void card_PlanMoves(std::vector<TitleEntry> entries, std::vector<std::size_t> ranks, SyncPlan* plan);
